// Defaults for the sanitizers, read by their runtimes at start-up of a sanitized build and unused
// in any other build. PAPPL is not built with the sanitizers: ThreadSanitizer sees its locks
// (through the pthread calls) but not the rule that orders them, and reports the system and
// printer locks taken in both orders inside PAPPL as a possible deadlock, and a job's message,
// which papplJobSetMessage replaces under the job's lock while PAPPL reads it elsewhere without
// that lock, as a race; so is a new job's file name, which _papplJobSubmitFile writes on the
// client's thread while the main loop compares it. fontconfig is not built with it either
// (see cli/sanitizer_defaults.cpp).
extern "C" __attribute__((used, weak)) const char* __tsan_default_suppressions() {
  return "deadlock:libpappl.so\nrace:papplJobSetMessage\nrace:_papplJobSubmitFile\n"
         "called_from_lib:libfontconfig.so\nrace:AsyncCalls::CallData\n";
}

extern "C" __attribute__((used, weak)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libpappl.so\nleak:libcups.so\n";
}

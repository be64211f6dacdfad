// Defaults for the sanitizers, read by their runtimes at start-up of a sanitized build and unused
// in any other build. fontconfig is not built with the sanitizers. ThreadSanitizer cannot see
// the atomic operations with which it publishes its shared name tables, which `quill demo` uses
// from two threads at once (the library's host-font drawing and the virtual printer's fonts,
// each under its own lock). And it loses a few hundred bytes while it parses the system's
// configuration, once per process, with no pointer left to free them.
extern "C" __attribute__((used, weak)) const char* __tsan_default_suppressions() {
  return "called_from_lib:libfontconfig.so\nrace:AsyncCalls::CallData\n";
}

extern "C" __attribute__((used, weak)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

// Standard error carries only the command's own lines, also in a sanitized build.
extern "C" __attribute__((used, weak)) const char* __lsan_default_options() {
  return "print_suppressions=0";
}

// fontconfig 2.14 loses a few hundred bytes while it parses the system's
// configuration files, once per process, with no pointer left to free them.
// Tests that load the system font configuration include this header so that
// LeakSanitizer ignores allocations made inside libfontconfig; it has no
// effect in builds without the sanitizer.
#pragma once

extern "C" __attribute__((used, weak)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

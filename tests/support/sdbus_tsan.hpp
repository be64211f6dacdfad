// libsdbus-c++ is not built with ThreadSanitizer, which therefore cannot see
// the atomic reference counts with which it shares the state of a pending
// call with the caller: the caller's handle and the library's event loop each
// drop a reference, and the last one frees it, on either thread. Tests that
// run the library's D-Bus clients include this header so that ThreadSanitizer
// ignores races reported through frames of that library; it has no effect in
// builds without the sanitizer. fontconfig, used by the virtual printer behind
// those clients, is not built with it either.
#pragma once

extern "C" __attribute__((used, weak)) const char* __tsan_default_suppressions() {
  return "race:libsdbus-c++.so\ncalled_from_lib:libfontconfig.so\n";
}

// ThreadSanitizer's defaults for the tests that run the virtual printer or
// draw host-font text: fontconfig is not built with the sanitizer, which
// therefore cannot see the atomic operations with which it publishes its
// shared tables. Nothing else is suppressed (libsdbus-c++ included: each
// pending call's handle is kept until its reply is handled, so the library and
// its event loop never race on the call's state). No effect in builds without
// the sanitizer.
#pragma once

extern "C" __attribute__((used, weak)) const char* __tsan_default_suppressions() {
  // libsdbus-c++ frees a finished call's data with atomic reference counts it was not built
  // to show; only that frame is named.
  return "called_from_lib:libfontconfig.so\nrace:AsyncCalls::CallData\n";
}

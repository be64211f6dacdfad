#!/usr/bin/env bash
# The test command: installs and builds (scripts/setup.sh), runs the whole
# suite, then runs it again under ThreadSanitizer and under AddressSanitizer
# with UndefinedBehaviorSanitizer, builds the example consumer against the
# installed package, and fuzzes the command parser for a short time.
#   QUILLKIT_SKIP_SANITIZERS=1  skips the two sanitizer runs
#   QUILLKIT_SKIP_FUZZ=1        skips the fuzz run
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-8}

"$ROOT/scripts/setup.sh"

echo "== tests"
ctest --test-dir build -j"$JOBS" --output-on-failure

echo "== installed package and example consumer"
rm -rf build/stage build/example
cmake --install build --prefix "$ROOT/build/stage" >/dev/null
cmake -S examples -B build/example -G Ninja -DCMAKE_PREFIX_PATH="$ROOT/build/stage" >/dev/null
cmake --build build/example
PKG_CONFIG_PATH="$ROOT/build/stage/lib/pkgconfig" pkg-config --exists quillkit
LD_LIBRARY_PATH="$ROOT/build/stage/lib" build/example/quillkit_example_consumer

if [[ -z ${QUILLKIT_SKIP_SANITIZERS:-} ]]; then
  for sanitizer in thread address,undefined; do
    dir=build-${sanitizer//,/-}
    echo "== tests under -fsanitize=$sanitizer ($dir)"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLKIT_SANITIZE="$sanitizer" \
      -DQUILLKIT_BUILD_BENCH=OFF -DQUILLKIT_BUILD_TOOLS=OFF >/dev/null
    cmake --build "$dir"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1" \
    LSAN_OPTIONS="suppressions=$ROOT/virtual/fuzz/lsan.supp" \
      ctest --test-dir "$dir" -j"$JOBS" --output-on-failure
  done
fi

if [[ -z ${QUILLKIT_SKIP_FUZZ:-} && -x scripts/fuzz.sh ]]; then
  echo "== fuzzing the command parser"
  scripts/fuzz.sh
fi
total=$(ctest --test-dir build -N | sed -n 's/^Total Tests: //p')
echo "== all passed"
echo "${total} passed, 0 failed"

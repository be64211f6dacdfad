#!/usr/bin/env bash
# The test command: installs and builds (scripts/setup.sh), runs the whole suite, builds the
# example consumer against the installed package, runs the suite again under ThreadSanitizer and
# under AddressSanitizer with UndefinedBehaviorSanitizer, cross-builds the library and its tests
# for 32-bit and 64-bit ARM and runs them under qemu, and fuzzes the command parser briefly.
# Each configuration's counts come from its own ctest run; the closing line holds the totals.
#   QUILLKIT_SKIP_SANITIZERS=1  skips the two sanitizer runs
#   QUILLKIT_SKIP_ARM=1         skips the ARM builds and runs (and their packages in setup.sh)
#   QUILLKIT_SKIP_FUZZ=1        skips the fuzz run
#   JOBS=N                      parallel build and test jobs (default: the number of cores)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER-ccache}
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-ccache}
export CMAKE_BUILD_PARALLEL_LEVEL=$JOBS

# Each stage's wall time, printed at the end.
stage_name="" stage_start=$SECONDS times=()
stage() {
  [[ -n $stage_name ]] && times+=("$(printf '%6d s  %s' $((SECONDS - stage_start)) "$stage_name")")
  stage_name=$1 stage_start=$SECONDS
  [[ -n $stage_name ]] && echo "== $stage_name"
  return 0
}

summary=()
total_passed=0 total_failed=0 total_skipped=0 broken=0

# Runs one configuration's tests: run_suite NAME BUILD_DIR [ctest arguments]. Counts come from
# ctest's own summary: "N% tests passed, F tests failed out of T" (T holds the skipped tests,
# which ctest lists under "did not run" with disabled ones). A failing run does not stop the
# script, so every configuration reports; a configuration that runs no test is a failure.
run_suite() {
  local name=$1 dir=$2
  shift 2
  local log="$ROOT/$dir/ctest-summary.log" rc=0
  ctest --test-dir "$dir" -j"$JOBS" --output-on-failure "$@" 2>&1 | tee "$log" || rc=$?
  local listed failed skipped_run skipped_all passed
  listed=$(sed -n 's/^[0-9]*% tests passed, [0-9]* tests\? failed out of \([0-9]*\)$/\1/p' "$log" | tail -1)
  failed=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\? failed out of [0-9]*$/\1/p' "$log" | tail -1)
  listed=${listed:-0} failed=${failed:-0}
  skipped_run=$(awk '/^The following tests did not run:/{on=1;next} on&&!/^\t/{on=0} on&&/\(Skipped\)$/{n++} END{print n+0}' "$log")
  skipped_all=$(awk '/^The following tests did not run:/{on=1;next} on&&!/^\t/{on=0} on{n++} END{print n+0}' "$log")
  passed=$((listed - failed - skipped_run))
  if ((rc != 0 && failed == 0)); then
    failed=1 # ctest failed without a failing test: count the run itself
  fi
  if ((passed + failed == 0)); then
    echo "!! $name ran no test"
    broken=1
  fi
  summary+=("$(printf '%-24s %5d passed, %d failed, %d skipped' "$name:" "$passed" "$failed" "$skipped_all")")
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  total_skipped=$((total_skipped + skipped_all))
}

stage "setup and native build"
"$ROOT/scripts/setup.sh"

stage "tests (native)"
run_suite native build

stage "installed package and example consumer"
rm -rf build/stage build/example
cmake --install build --prefix "$ROOT/build/stage" >/dev/null
cmake -S examples -B build/example -G Ninja -DCMAKE_PREFIX_PATH="$ROOT/build/stage" >/dev/null
cmake --build build/example
PKG_CONFIG_PATH="$ROOT/build/stage/lib/pkgconfig" pkg-config --exists quillkit
LD_LIBRARY_PATH="$ROOT/build/stage/lib" build/example/quillkit_example_consumer
# The installed Python package loads the installed library through its own run path.
python_dir=$(sed -n 's/^QUILLKIT_PYTHON_INSTALL_DIR:[A-Z]*=//p' build/CMakeCache.txt)
if [[ -n $python_dir ]]; then
  [[ $python_dir == /* ]] || python_dir=$ROOT/build/stage/$python_dir
  (cd / && PYTHONPATH="$python_dir" /usr/bin/python3 -c 'import quillkit; print("quillkit", quillkit.__version__)')
fi

if [[ -z ${QUILLKIT_SKIP_SANITIZERS:-} ]]; then
  for sanitizer in thread address,undefined; do
    dir=build-${sanitizer//,/-}
    stage "build with -fsanitize=$sanitizer ($dir)"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLKIT_SANITIZE="$sanitizer" \
      -DQUILLKIT_BUILD_BENCH=OFF >/dev/null
    cmake --build "$dir"
    stage "tests under -fsanitize=$sanitizer"
    # Threads run several times slower here: the test clock waits longer for quiet.
    QUILLKIT_TEST_CLOCK_SETTLE_MS=60 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1" \
    LSAN_OPTIONS="suppressions=$ROOT/virtual/fuzz/lsan.supp" \
      run_suite "$sanitizer" "$dir"
  done
fi

# The ARM builds leave out the tools and the virtual printer's tests (zint is installed for the
# host only).
if [[ -z ${QUILLKIT_SKIP_ARM:-} ]]; then
  for triplet in arm-linux-gnueabihf aarch64-linux-gnu; do
    dir=build-$triplet
    stage "cross build for $triplet ($dir)"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/$triplet.cmake" \
      -DQUILLKIT_BUILD_TOOLS=OFF -DQUILLKIT_BUILD_BENCH=OFF >/dev/null
    cmake --build "$dir"
    stage "tests for $triplet under qemu"
    # Two cases need more than user-mode emulation gives: one re-runs its own binary in a
    # private mount namespace (without binfmt, an emulated binary cannot), the other reads with
    # another user's file rights.
    QUILLKIT_TEST_CLOCK_SETTLE_MS=60 run_suite "$triplet" "$dir" -E 'Unreadable|NameResolution'
  done
fi

if [[ -z ${QUILLKIT_SKIP_FUZZ:-} && -x scripts/fuzz.sh ]]; then
  stage "fuzzing the command parser"
  scripts/fuzz.sh
fi
stage ""

echo "== stage times (total $SECONDS s)"
printf '%s\n' "${times[@]}"
echo "== counts"
printf '%s\n' "${summary[@]}"
if ((total_failed || broken)); then
  echo "== FAILED"
else
  echo "== all passed"
fi
echo "${total_passed} passed, ${total_failed} failed, ${total_skipped} skipped"
((total_failed == 0 && broken == 0))

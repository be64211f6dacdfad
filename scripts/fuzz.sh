#!/usr/bin/env bash
# Fuzzes the virtual printer's command parser for a bounded time with libFuzzer (clang-14,
# AddressSanitizer and UndefinedBehaviorSanitizer) in its own build folder, build-fuzz.
# Exits non-zero when the fuzzer finds a crash, a leak or a sanitizer error.
#   FUZZ_SECONDS  run time (default 60)
#   FUZZ_DIR      build folder (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${FUZZ_SECONDS:-60}
DIR=${FUZZ_DIR:-build-fuzz}

CC=clang-14 CXX=clang++-14 cmake -S . -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLKIT_BUILD_FUZZ=ON -DQUILLKIT_BUILD_TESTS=OFF -DQUILLKIT_BUILD_BENCH=OFF \
  -DQUILLKIT_SANITIZE=address,undefined >/dev/null
cmake --build "$DIR" -j2 --target virtual_parser_fuzz

# A few seeds in the printer's language so the fuzzer starts from real commands.
corpus="$DIR/fuzz-corpus"
mkdir -p "$corpus"
printf 'XSIZE 60 mm,40 mm\r\nCLS\r\nTEXT 10,10,"3",0,1,1,"Hi"\r\nPRINT 1,1\r\n' >"$corpus/text"
printf '\x07BARCODE 10,50,"128",40,1,0,2,2,"AB-12"\r\nQRCODE 1,1,M,3,A,0,"q"\r\nPRINT 1\r\n' \
  >"$corpus/barcode"
printf '\x03BITMAP 1,2,2,2,2,\xff\x00\r\n\xf0DOWNLOAD F,"A",3,a\r\n\r\n~!F\r\nKILL "*"\r\n' \
  >"$corpus/binary"
printf '\x01~!T\r\n~!I\r\n\x1b!?OUT _SERIAL$\r\nDIAGNOSTIC REPORT SMBSOH\r\n' >"$corpus/queries"

# The committed seeds (virtual/fuzz/seeds) add payload commands: BITMAP rasters, DOWNLOAD data
# and lines at the parser's 16 KiB line cap. -max_len stays above the longest of them (33 KB);
# libFuzzer reads the seed folder and writes new inputs only to the first folder.
SEEDS=virtual/fuzz/seeds

# llvm-14's symbolizer turns a crash's stack into source lines.
SYMBOLIZER=/usr/lib/llvm-14/bin/llvm-symbolizer
[[ -x $SYMBOLIZER ]] || echo "fuzz: $SYMBOLIZER missing (Debian llvm-14); stacks stay unsymbolized" >&2
export ASAN_SYMBOLIZER_PATH=$SYMBOLIZER PATH="/usr/lib/llvm-14/bin:$PATH"

ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:symbolize=1" \
  UBSAN_OPTIONS="print_stacktrace=1:symbolize=1" \
  LSAN_OPTIONS="suppressions=$PWD/virtual/fuzz/lsan.supp" \
  "$DIR/virtual/virtual_parser_fuzz" -max_total_time="$SECONDS_TO_RUN" -rss_limit_mb=2048 \
  -max_len=65536 -timeout=20 -print_final_stats=1 -artifact_prefix="$DIR/" "$corpus" "$SEEDS"

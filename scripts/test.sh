#!/usr/bin/env bash
# Set-up, then the whole test suite: the normal build, the same tests built
# with AddressSanitizer and UndefinedBehaviorSanitizer, and a one-minute run
# of the parser fuzz target seeded with the sample streams.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
JOBS=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

"$ROOT/scripts/setup.sh"

echo "== tests"
(cd "$ROOT/build" && xvfb-run -a ctest --output-on-failure)

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$ROOT" -B "$ROOT/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DTOOLS_SANITIZE=ON
cmake --build "$ROOT/build-sanitize" -j"$JOBS"
(cd "$ROOT/build-sanitize" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
   xvfb-run -a ctest --output-on-failure)

echo "== parser fuzzing for ${FUZZ_SECONDS} s"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$ROOT/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOOLS_BUILD_FUZZERS=ON -DTOOLS_BUILD_TESTS=OFF
cmake --build "$ROOT/build-fuzz" -j"$JOBS" --target parser_fuzz
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$ROOT"/tests/data/*.mpg "$ROOT"/tests/data/*.vob "$corpus"/ 2>/dev/null || true
"$ROOT/build-fuzz/tests/fuzz/parser_fuzz" -max_total_time="$FUZZ_SECONDS" -max_len=65536 \
  -print_final_stats=1 "$corpus" 2>&1 | tail -n 20
echo "fuzz: no crash in ${FUZZ_SECONDS} s"

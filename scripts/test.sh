#!/usr/bin/env bash
# Set-up, then the whole test suite: the normal build, the same tests built
# with AddressSanitizer and UndefinedBehaviorSanitizer, a one-minute run of
# the program-stream reader's fuzz target seeded with the sample streams, and
# half-minute runs of the transport-stream reader's and the T-STD replay's,
# seeded with a short stream ffmpeg makes.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

"$ROOT/scripts/setup.sh"

# As many tests at a time as there are cores: every test with windows
# starts an X server of its own (tests/support/own_display.sh).
echo "== tests"
(cd "$ROOT/build" && ctest -j"$JOBS" --output-on-failure)

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$ROOT" -B "$ROOT/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DTOOLS_SANITIZE=ON
cmake --build "$ROOT/build-sanitize" -j"$JOBS"
(cd "$ROOT/build-sanitize" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
   ctest -j"$JOBS" --output-on-failure)

echo "== parser fuzzing for ${FUZZ_SECONDS} s"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$ROOT/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOOLS_BUILD_FUZZERS=ON -DTOOLS_BUILD_TESTS=OFF
cmake --build "$ROOT/build-fuzz" -j"$JOBS" --target parser_fuzz ts_reader_fuzz tstd_fuzz
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$ROOT"/tests/data/*.mpg "$ROOT"/tests/data/*.vob "$corpus"/ 2>/dev/null || true
"$ROOT/build-fuzz/tests/fuzz/parser_fuzz" -max_total_time="$FUZZ_SECONDS" -max_len=65536 \
  -print_final_stats=1 "$corpus" 2>&1 | tail -n 20
echo "fuzz: no crash in ${FUZZ_SECONDS} s"

TS_FUZZ_SECONDS=${TS_FUZZ_SECONDS:-30}
echo "== transport-stream reader fuzzing for ${TS_FUZZ_SECONDS} s"
ts_corpus="$corpus/ts"
mkdir -p "$ts_corpus"
ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine -t 1 \
  -c:v mpeg2video -c:a mp2 -f mpegts "$ts_corpus/seed.ts"
"$ROOT/build-fuzz/tests/fuzz/ts_reader_fuzz" -max_total_time="$TS_FUZZ_SECONDS" -max_len=65536 \
  -print_final_stats=1 "$ts_corpus" 2>&1 | tail -n 20
echo "fuzz: no crash in ${TS_FUZZ_SECONDS} s"

echo "== T-STD replay fuzzing for ${TS_FUZZ_SECONDS} s"
"$ROOT/build-fuzz/tests/fuzz/tstd_fuzz" -max_total_time="$TS_FUZZ_SECONDS" -max_len=65536 \
  -print_final_stats=1 "$ts_corpus" 2>&1 | tail -n 20
echo "fuzz: no crash in ${TS_FUZZ_SECONDS} s"

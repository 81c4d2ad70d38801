#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time on its
# committed seed corpus. Any crash or sanitizer report fails the run.
#   scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh tools
seconds=${1:-30}
# Every parser of untrusted input: printer replies, typed numbers, PCX files of
# any depth, the emulator's command stream, the settings file, kivo-send's
# command line.
targets=(reply_read numbers pcx printer_stream settings send_options)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DKIVO_FUZZ=ON -DKIVO_BENCH=OFF -DKIVO_EMULATOR=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export QT_QPA_PLATFORM=offscreen
for target in "${targets[@]}"; do
  work=$(mktemp -d)
  cp -r fuzz/corpus/$target/. "$work/"
  echo "== fuzz_$target for ${seconds}s"
  build-fuzz/bin/fuzz_$target -max_total_time="$seconds" -max_len=70000 -timeout=10 \
    -rss_limit_mb=4096 -print_final_stats=1 "$work" 2>&1 | tail -n 12
  rm -rf "$work"
done
echo "fuzzing passed"

#!/usr/bin/env bash
# Builds the tool and runs every test headless.
#   scripts/test.sh              Release-with-debug-info build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
# KIVO_WERROR=ON in the environment makes every warning an error (CI sets it).
# The tests run in parallel, one job a core; each waits for events, not for time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh tests

dir=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DKIVO_SANITIZE=ON -DKIVO_BENCH=OFF)
fi

if [ -n "${KIVO_WERROR:-}" ]; then flags+=(-DKIVO_WERROR="$KIVO_WERROR"); fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}"
cmake --build "$dir" -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
cd "$dir" && ctest --output-on-failure --timeout 600 -j"$(nproc)"

#!/usr/bin/env bash
# Builds the tool and starts it.
#   scripts/run.sh               the window, with the printer emulator on 127.0.0.1:9100
#   scripts/run.sh --no-emulator the window alone, for a real printer
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kivo-socket-test kivo-printer-emulator kivo_tickets

if [ "${1:-}" != "--no-emulator" ]; then
  mkdir -p build/emulator-out
  build/bin/kivo-printer-emulator --listen 127.0.0.1:9100 \
    --tickets-dir build/emulator-out --pcx-dir build/emulator-out &
  emulator=$!
  trap 'kill $emulator 2>/dev/null; wait $emulator 2>/dev/null' EXIT
  echo "Printer emulator on 127.0.0.1:9100 (tickets and images in build/emulator-out)."
  echo "In the window, type 127.0.0.1 into the address field and click Connect."
fi
build/bin/kivo-socket-test

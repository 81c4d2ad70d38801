#!/usr/bin/env bash
# Takes a screenshot of the real window under Xvfb into docs/window.png.
# Needs: xvfb, imagemagick (scripts/setup.sh tools).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/bin/kivo-socket-test}
out=${2:-docs/window.png}
mkdir -p "$(dirname "$out")"
# A settings folder of its own: the picture shows the window as it first starts.
export XDG_CONFIG_HOME=$(mktemp -d)
display=:97
Xvfb $display -screen 0 1024x768x24 -nolisten tcp &
xvfb=$!
trap 'kill $app $xvfb 2>/dev/null || true; rm -rf "$XDG_CONFIG_HOME"' EXIT
sleep 1
DISPLAY=$display QT_QPA_PLATFORM=xcb "$bin" &
app=$!
sleep 3
DISPLAY=$display import -window root -crop 731x552+0+0 "$out"
echo "wrote $out"

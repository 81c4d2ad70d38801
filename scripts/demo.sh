#!/usr/bin/env bash
# A scripted session of the real window under Xvfb, against the printer emulator
# on loopback: ping 127.0.0.1, connect, send the VEK test ticket in 3 copies.
# Leaves docs/demo.png and prints the emulator's lines. The window runs from
# /opt/kivo-socket-test in a mount namespace of its own (a tmpfs over /opt that
# only it sees), so its lines name that folder and not this checkout.
# Needs: xvfb, xdotool, imagemagick (scripts/setup.sh tools), unshare (util-linux).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
out=${1:-docs/demo.png}
display=:96
work=$(mktemp -d)
# A settings folder of its own, inside the scratch folder: the session starts as a
# first start does and leaves nothing behind.
export XDG_CONFIG_HOME=$work/config
Xvfb $display -screen 0 1024x768x24 -nolisten tcp &
xvfb=$!
"$bin/kivo-printer-emulator" --listen 127.0.0.1:9100 --tickets-dir "$work" > "$work/emulator.log" &
emulator=$!
trap 'kill $app $emulator $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT
sleep 1
export DISPLAY=$display
stage() {  # the program and its two test tickets, in a neutral folder
  mount -t tmpfs tmpfs /opt && mkdir /opt/kivo-socket-test &&
    cp "$bin/kivo-socket-test" "$bin/vek_test.txt" "$bin/hp_id.prn" /opt/kivo-socket-test/
}
export -f stage
export bin
unshare_as=(-m); [ "$(id -u)" = 0 ] || unshare_as=(-r -m)
unshare "${unshare_as[@]}" --propagation private \
  bash -c 'stage && QT_QPA_PLATFORM=xcb exec /opt/kivo-socket-test/kivo-socket-test' &
app=$!
win=$(xdotool search --sync --name "Kivo Systems Socket Test Program V2.0" | head -1)
sleep 1
# A click in the middle of a control, by its name, from the window's own table
# of controls; then a pause of $2 seconds (default 1).
controls=$("$bin/kivo-socket-test" --list-controls)
click() {
  local place
  place=$(awk -v name="$1" '$1 == name { print $2 + int($4 / 2), $3 + int($5 / 2) }' <<<"$controls")
  [ -n "$place" ] || { echo "the window has no control $1" >&2; exit 1; }
  # shellcheck disable=SC2086 # x and y
  xdotool mousemove --window "$win" $place click 1
  sleep "${2:-1}"
}
# The address field: select all and type the loopback address.
click IP_Address 0.3
xdotool key --window "$win" ctrl+a
xdotool type --window "$win" "127.0.0.1"
click Cmdping 3
click CmdConnect 1
click TxtCount 0.3
xdotool key --window "$win" ctrl+a
xdotool type --window "$win" "3"
click CmdVEKTest 2
import -window root -crop 731x552+0+0 "$out"
kill $emulator; wait $emulator 2>/dev/null || true
cat "$work/emulator.log"
echo "wrote $out"

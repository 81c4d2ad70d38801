#!/usr/bin/env bash
# Checks the Debian package as Debian would and as a technician would use it:
#   1. lintian (no errors or warnings), desktop-file-validate, appstreamcli
#      validate, and every manual rendered by man without a warning;
#   2. unpacked with dpkg -x into a scratch root: the installed programs print
#      the package's version; the installed kivo-send, which needs no Qt Widgets,
#      sends the installed VEK ticket to the installed emulator on a random
#      loopback address, port 9100, and exits 1 on the jam that follows; and
#      the installed window, driven under Xvfb with xdotool, sends both test
#      tickets from the installed data folder to the same emulator.
# Everything it starts stops with it.
#   scripts/check-package.sh [path/to/kivo-socket-test_VERSION_ARCH.deb]
# Needs: scripts/setup.sh packaging
set -euo pipefail
cd "$(dirname "$0")/.."
deb=${1:-$(ls -t build-package/kivo-socket-test_*.deb 2>/dev/null | head -1)}
[ -f "$deb" ] || { echo "no package: run scripts/package.sh first" >&2; exit 1; }
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
# Waits up to $1 seconds for a command to succeed.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}
passed=0
pass() { echo "ok: $*"; passed=$((passed + 1)); }

echo "== $deb"
version=$(dpkg-deb -f "$deb" Version)

# 1. The validators.
lintian --info --fail-on error,warning "$deb" || fail "lintian"
pass "lintian: no errors or warnings"
root=$work/root
dpkg -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/kivo-socket-test.desktop" || fail "desktop-file-validate"
pass "desktop-file-validate"
for metainfo in "$root"/usr/share/metainfo/*.metainfo.xml; do
  appstreamcli validate --no-net --pedantic "$metainfo" || fail "appstreamcli validate $metainfo"
done
pass "appstreamcli validate"
for manual in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$manual" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $(basename "$manual"): $warnings"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$manual" 2>/dev/null | grep -q "^NAME" || fail "man $(basename "$manual") shows nothing"
done
pass "manuals render without warnings"
icon=$(sed -n 's/^Icon=//p' "$root/usr/share/applications/kivo-socket-test.desktop")
for size in 16 32 48 64 128 256; do
  file "$root/usr/share/icons/hicolor/${size}x$size/apps/$icon.png" | grep -q "PNG image data, $size x $size," ||
    fail "no $size pixel icon $icon.png"
done
grep -q "<svg" "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" || fail "no scalable icon $icon.svg"
pass "the desktop entry's icon in every size"

# 2. The installed programs.
bin=$root/usr/bin
data=$root/usr/share/kivo-socket-test
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin/kivo-socket-test" --version)" = "kivo-socket-test $version" ] ||
  fail "kivo-socket-test --version is not $version"
for program in kivo-send kivo-printer-emulator; do
  [ "$("$bin/$program" --version)" = "$program $version" ] || fail "$program --version is not $version"
done
pass "the programs are version $version"
! ldd "$bin/kivo-send" | grep -E "libQt6Widgets" || fail "kivo-send needs Qt Widgets"
pass "kivo-send links no Qt Widgets"

# Each installed ticket gets a line of its own in front, so that what the emulator
# prints can only have come from the installed files.
marker="installed copy checked $(date +%s%N)"
for ticket in vek_test.txt hp_id.prn; do
  [ -f "$data/$ticket" ] || fail "$ticket is not installed"
  [ ! -e "$bin/$ticket" ] || fail "$ticket lies beside the installed program"
  { printf '%s\r\n' "$marker"; cat "$data/$ticket"; } > "$work/$ticket" && cp "$work/$ticket" "$data/$ticket"
done

# The emulator on a random loopback address (another if that one is taken).
out=$work/printed
mkdir -p "$out"
for attempt in 1 2 3 4 5; do
  address=127.$((RANDOM % 254 + 1)).$((RANDOM % 254 + 1)).$((RANDOM % 254 + 1))
  "$bin/kivo-printer-emulator" --listen "$address:9100" --tickets-dir "$out" --jam-after 3 \
    > "$work/emulator.log" 2>&1 &
  emulator=$!
  pids+=("$emulator")
  if wait_for 10 grep -q -e "^listening on " -e "cannot listen" "$work/emulator.log" &&
     grep -q "^listening on $address:9100$" "$work/emulator.log"; then
    break
  fi
  kill "$emulator" 2>/dev/null || true
  address=
done
[ -n "$address" ] || fail "the emulator found no free loopback address: $(cat "$work/emulator.log")"
printed() { grep -q "^$1" "$work/emulator.log"; }

# kivo-send first: one VEK ticket, answered with an ACK (the emulator jams from
# the fourth ticket on, after the window's two).
status=0
"$bin/kivo-send" --quiet-output --vek-test --expect 1 --timeout 20 "$address" > "$work/send.log" 2>&1 || status=$?
[ $status -eq 0 ] && grep -q "status 0" "$work/send.log" || fail "kivo-send exited $status: $(cat "$work/send.log")"
printed "ticket 1: .*, Ticket ACK, saved ticket-0001.txt" || fail "kivo-send's ticket was not printed"
{ printf '<RL><F6><RC90,40>1'; cat "$work/vek_test.txt"; } | cmp - "$out/ticket-0001.txt" ||
  fail "the ticket kivo-send sent is not the installed one"
pass "the installed kivo-send sent the installed VEK ticket and exited 0 on its ACK"

# The installed window on its own X server.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 20 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(cat "$work/display")
QT_QPA_PLATFORM=xcb "$bin/kivo-socket-test" > "$work/window.log" 2>&1 &
pids+=($!)
win=$(timeout 30 xdotool search --sync --onlyvisible --name "^Kivo Systems Socket Test Program V2.0$" | head -1) ||
  fail "the installed window did not open: $(cat "$work/window.log")"
# A click in the middle of a control, by its name: the places come from the
# window's own table of controls, so a control that moves is still found.
controls=$("$bin/kivo-socket-test" --list-controls) || fail "kivo-socket-test --list-controls failed"
click() {
  local place
  place=$(awk -v name="$1" '$1 == name { print $2 + int($4 / 2), $3 + int($5 / 2) }' <<<"$controls")
  [ -n "$place" ] || fail "the window has no control $1"
  # shellcheck disable=SC2086 # x and y
  xdotool mousemove --window "$win" $place click 1
}

# The address, then Connect; tried again should the window not have taken the clicks yet.
for attempt in 1 2 3; do
  click IP_Address
  xdotool key --window "$win" ctrl+a
  xdotool type --window "$win" "$address"
  click CmdConnect
  wait_for 10 printed "connection 2 from " && break
done
printed "connection 2 from " || fail "the window did not connect to $address: $(cat "$work/emulator.log")"
click CmdVEKTest
wait_for 20 printed "ticket 2: " || fail "no VEK test ticket printed: $(cat "$work/emulator.log")"
click CmdHPTest
wait_for 20 printed "ticket 3: " || fail "no HP test ticket printed: $(cat "$work/emulator.log")"

{ printf '<RL><F6><RC90,40>1'; cat "$work/vek_test.txt"; } | cmp - "$out/ticket-0002.txt" ||
  fail "the VEK ticket printed is not the installed one"
printed "ticket 2: .*, Ticket ACK, saved ticket-0002.txt" || fail "the VEK ticket was not acknowledged"
# The HP page ends in a form feed, which prints it; the reset after it waits for the next page.
head -c "$(($(grep -abo $'\f' "$work/hp_id.prn" | tail -1 | cut -d: -f1) + 1))" "$work/hp_id.prn" |
  cmp - "$out/ticket-0003.txt" || fail "the HP ticket printed is not the installed one"
pass "the installed window sent both installed test tickets to the emulator on $address:9100"

# After three tickets the emulator jams: kivo-send says so with status 1. The
# emulator serves one connection at a time, so the window lets go of it first.
click CmdConnect                    # Disconnect
wait_for 20 printed "connection 2 closed" || fail "the window did not disconnect: $(cat "$work/emulator.log")"
status=0
"$bin/kivo-send" --quiet-output --vek-ff --expect 1 --timeout 20 "$address" > "$work/send.log" 2>&1 || status=$?
[ $status -eq 1 ] && grep -q "(Jam 1); status 1" "$work/send.log" ||
  fail "kivo-send exited $status on a jam: $(cat "$work/send.log")"
pass "the installed kivo-send exits 1 on the printer's jam"

echo "$passed passed, 0 failed"

#!/usr/bin/env bash
# Installs what building, running and testing the tool needs, from Debian 12's
# packages. Does nothing when everything is already there.
#   scripts/setup.sh              building, running and testing
#   scripts/setup.sh --packaging  and building the Debian package and checking it
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fonts-comic-neue          # stands in for "Comic Sans MS"
  netcat-openbsd iproute2   # benchmarks' baseline, test network namespaces
  time                      # benchmarks: a program's own peak memory
  nmap                      # benchmarks: the port scanner "Find Printers" is measured against
  xvfb libxcb1-dev          # the X11 test: its own X server, and X11 spoken to the window
  clang libclang-rt-14-dev  # fuzzers
  clang-format clang-tidy   # the style check and the static analysis
)
if [ "${1:-}" = "--packaging" ]; then
  packages+=(
    dpkg-dev file                          # cpack's dpkg-shlibdeps and dpkg-buildflags
    lintian desktop-file-utils appstream   # the validators
    man-db                                 # reading the manuals
    xvfb xdotool                           # driving the installed window
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"

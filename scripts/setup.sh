#!/usr/bin/env bash
# Installs what the project needs from Debian 12's packages, group by group; does
# nothing when everything asked for is already there. Building and running come
# always; each group named adds its own:
#   scripts/setup.sh                   building and running the programs (scripts/run.sh)
#   scripts/setup.sh tests             and running the tests (scripts/test.sh)
#   scripts/setup.sh tools             and the fuzzers, clang-tidy, clang-format, the
#                                      benchmarks' port scanner and the README's pictures
#   scripts/setup.sh packaging         and building the Debian package and checking it
#   scripts/setup.sh tests tools packaging   everything (CI)
set -euo pipefail

# Building and running.
packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libxcb1-dev               # on X11, the close request sent to the hidden leader window
  qt6-wayland               # the window on a Wayland desktop, natively
  fonts-comic-neue          # stands in for "Comic Sans MS"
)
for group in "$@"; do
  case $group in
    tests) packages+=(
      xvfb                      # the X11 test: its own X server
      weston                    # the Wayland test: its own headless compositor
      iproute2                  # network namespaces and traffic control in the tests
      netcat-openbsd time       # benchmarks: the baseline sender, and a program's own peak memory
    ) ;;
    tools) packages+=(
      clang libclang-rt-14-dev  # fuzzers
      clang-format clang-tidy   # the style check and the static analysis
      nmap                      # benchmarks: the port scanner "Find Printers" is measured against
      xvfb xdotool imagemagick  # the README's pictures (scripts/screenshot.sh, scripts/demo.sh)
    ) ;;
    packaging) packages+=(
      dpkg-dev file                          # cpack's dpkg-shlibdeps and dpkg-buildflags
      lintian desktop-file-utils appstream   # the validators
      man-db                                 # reading the manuals
      xvfb xdotool                           # driving the installed window
    ) ;;
    *) echo "usage: scripts/setup.sh [tests] [tools] [packaging]" >&2; exit 64 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  [[ " ${missing[*]} " == *" $p "* ]] && continue  # named by two groups
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Builds the Debian package: a Release build with Debian's hardening flags in
# build-package/, then cpack. Prints the .deb's path on standard output (the
# build's own output goes to standard error).
#   scripts/package.sh && sudo apt install ./build-package/kivo-socket-test_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-package
scripts/setup.sh packaging >&2

# dpkg-buildflags gives what Debian builds its own packages with (fortify,
# stack protector, relro, bindnow); CMake takes no CPPFLAGS of its own.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS

generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKIVO_BENCH=OFF \
  -DKIVO_SANITIZE=OFF -DKIVO_FUZZ=OFF -DKIVO_EMULATOR=ON >&2
cmake --build "$build" -j"$(nproc)" >&2
rm -f "$build"/kivo-socket-test_*.deb
(cd "$build" && cpack -G DEB >&2)
deb=$(ls "$build"/kivo-socket-test_*.deb)
echo "$deb"

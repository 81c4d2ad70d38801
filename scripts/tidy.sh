#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy over the C++ sources of the
# build in build/ (its compile_commands.json); any finding fails. The build is
# brought up to date first: the tests include the moc files it makes.
#   scripts/tidy.sh            every tracked .cpp file the build compiles
#   scripts/tidy.sh FILE...    only these
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh tools
[ -f build/compile_commands.json ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
if [ $# -eq 0 ]; then
  # The fuzzers are built by clang in build-fuzz only.
  mapfile -t files < <(git ls-files '*.cpp' | grep -v '^fuzz/')
else
  files=("$@")
fi
# run-clang-tidy takes each name as a pattern of the paths in the database.
patterns=()
for f in "${files[@]}"; do patterns+=("$PWD/$f\$"); done
run-clang-tidy -quiet -p build -j"$(nproc)" "${patterns[@]}"
echo "clang-tidy: no findings in ${#files[@]} files"

#!/usr/bin/env bash
# Formats the C++ sources in place with the repository's .clang-format.
#   scripts/format.sh             every tracked .cpp and .h file
#   scripts/format.sh FILE...     only these
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -eq 0 ]; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  files=("$@")
fi
clang-format -i --style=file "${files[@]}"

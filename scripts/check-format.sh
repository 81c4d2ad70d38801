#!/usr/bin/env bash
# Checks that the C++ sources are formatted as .clang-format says; changes
# nothing. Lists each file that scripts/format.sh would change, with the number
# of lines, and fails if there is one.
#   scripts/check-format.sh           every tracked .cpp and .h file
#   scripts/check-format.sh FILE...   only these
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -eq 0 ]; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  files=("$@")
fi
bad=0
lines=0
for f in "${files[@]}"; do
  n=$(clang-format --style=file "$f" | diff "$f" - | grep -c '^[<>]' || true)
  if [ "$n" -gt 0 ]; then
    echo "$f: $n lines to change"
    bad=$((bad + 1))
    lines=$((lines + n))
  fi
done
if [ "$bad" -gt 0 ]; then
  echo "$bad of ${#files[@]} files not formatted ($lines lines); scripts/format.sh formats them" >&2
  exit 1
fi
echo "all ${#files[@]} files formatted"

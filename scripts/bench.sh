#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench) and runs them all; prints the
# machine they ran on and one Markdown table. Every run's raw figures go to
# build-bench/bench-details.log. "--quick" makes a short smoke run.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"
details="$build/bench-details.log"

configure=(-DCMAKE_BUILD_TYPE=Release -DKIVO_EMULATOR=OFF -DKIVO_BENCH=ON -DKIVO_SANITIZE=OFF)
if [[ ! -f "$build/CMakeCache.txt" ]] && command -v ninja >/dev/null; then
  configure+=(-G Ninja)
fi
# The baselines (nc, GNU time, nmap) beside what building needs.
"$root/scripts/setup.sh" tests tools >&2
mkdir -p "$build"
echo "building kivo-bench and kivo-send in $build ..." >&2
if ! { cmake -S "$root" -B "$build" "${configure[@]}" && cmake --build "$build" -j2 --target kivo-bench kivo-send; } \
     >"$build/bench-build.log" 2>&1; then
  tail -n 30 "$build/bench-build.log" >&2
  exit 1
fi

cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "Machine: $(nproc) cores, ${cpu:-unknown CPU}, Linux kernel $(uname -r); load average before the run: $(cut -d" " -f1-3 /proc/loadavg)"
echo
echo "running the benchmarks (a few minutes; raw figures in $details) ..." >&2
QT_QPA_PLATFORM=offscreen "$build/bin/kivo-bench" all "$@" 2>"$details"

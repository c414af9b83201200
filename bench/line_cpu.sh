#!/usr/bin/env bash
# The station's CPU use, wake-ups and memory on its line (waiting for calls, receiving a
# steady stream, one whole paced call) beside lrzsz's sx/rx moving the same bytes through socat
# and the same pacing; see bench/line_cpu.py. Uses the programs of an existing build (cmake
# --build build first) and compiles only the pacer (bench/pace.cpp) into it.
#
#   bench/line_cpu.sh [--seconds S] [--speed BPS] [--call-kib K] [--runs N]
#       defaults: 20 s, 9600 bit/s, 256 KiB of traffic in the paced call (0 leaves it out),
#       3 runs (figures are medians with min–max)
#
# Exit status 1 when the station uses 1 % of one core or more while waiting for calls.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${MARVOLEN_BUILD:-build}
for program in marvolen marvolen-config marvolen-params marvolen-office; do
  [ -x "$build/$program" ] || { echo "line_cpu: no $build/$program; build first" >&2; exit 2; }
done
g++ -O2 -std=c++20 bench/pace.cpp -o "$build/bench_pace"
exec python3 bench/line_cpu.py "$build" "$@"

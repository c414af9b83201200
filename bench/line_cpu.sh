#!/usr/bin/env bash
# The station's CPU use, wake-ups and memory on its line, and the block transfer's CPU (a paced
# transfer Marvolen to Marvolen, an unpaced receive, a whole call), each beside lrzsz's sx/rx
# doing the same work through the same socat wiring and pacer; see bench/line_cpu.py's header
# for exactly what each side runs and counts. Uses the programs of an existing build (cmake
# --build build first) and compiles only the pacer (bench/pace.cpp) into it.
#
#   bench/line_cpu.sh [--phases idle,transfer,receive,call] [--seconds S] [--speed BPS]
#                     [--transfer-kib K] [--call-kib K] [--runs N]
#       defaults: every phase, 20 s waiting, 38400 bit/s, a 64 KiB archive, 64 KiB of traffic
#       in the call (0 leaves it out), 7 runs (median, mean and min–max of each figure)
#
# Exit status 1 when the station uses 1 % of one core or more while waiting for calls.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${MARVOLEN_BUILD:-build}
for program in marvolen marvolen-config marvolen-params marvolen-office marvolen-xfer; do
  [ -x "$build/$program" ] || { echo "line_cpu: no $build/$program; build first" >&2; exit 2; }
done
g++ -O2 -std=c++20 bench/pace.cpp -o "$build/bench_pace"
exec python3 bench/line_cpu.py "$build" "$@"

#!/usr/bin/env bash
# The station's CPU use on its line (waiting for calls, receiving a steady stream) beside an
# sx/rx pair moving the same bytes through socat; see bench/line_cpu.py. Uses the programs of
# an existing build (cmake --build build first); builds nothing itself.
#
#   bench/line_cpu.sh [--seconds S] [--speed BPS]      defaults: 20 s, 9600 bit/s
#
# Exit status 1 when the station uses 1 % of one core or more while waiting for calls.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${MARVOLEN_BUILD:-build}
for program in marvolen marvolen-config; do
  [ -x "$build/$program" ] || { echo "line_cpu: no $build/$program; build first" >&2; exit 2; }
done
exec python3 bench/line_cpu.py "$build" "$@"

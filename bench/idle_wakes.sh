#!/usr/bin/env bash
# How often an idle console station (marvolen-station on the modem emulator, waiting for calls)
# wakes, and for what. Three figures over SECONDS each (default 120):
#   loop wakes a second     the station's own sleeps that ended (poll and epoll_wait with a
#                           timeout, counted with strace -f): what the line asks to be woken for
#   context switches a second  of all its threads, from /proc without strace: what the kernel
#                           counts, each wait for the disk inside one wake (the state file's
#                           heartbeat is written and synced) counted as well
#   loop wakes with the watchdog  the same with WATCHDOG_USEC set as systemd sets it (60 s) and
#                           NOTIFY_SOCKET on a socket of this script: the pings (every 30 s)
#                           are required wakes
# and the station's resident memory (VmRSS) while it idles.
# Target: at most 0.05 loop wakes a second without the watchdog.
#   bench/idle_wakes.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}
build=${MARVOLEN_BUILD:-build}
for program in marvolen-station marvolen-config; do
  [ -x "$build/$program" ] || { echo "idle_wakes: no $build/$program; build first" >&2; exit 2; }
done
command -v strace >/dev/null || { echo "idle_wakes: strace is needed" >&2; exit 2; }
work=$(mktemp -d)
station=
trap '[ -n "$station" ] && kill "$station" 2>/dev/null; rm -rf "$work"' EXIT

# start NAME [ENV=VALUE...]: a station with its own home and a free port, idle once it returns.
start() {
  local run=$work/$1
  shift
  mkdir -p "$run/home"
  local port
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  MARVOLEN_HOME=$run/home "$build/marvolen-config" set --port 1 --speed 9600 --password x \
    --workdir ../work >/dev/null
  env MARVOLEN_HOME="$run/home" LC_ALL=C.UTF-8 MARVOLEN_COM1="tcp-modem:127.0.0.1:$port" "$@" \
    "$build/marvolen-station" >"$run/out" 2>"$run/err" &
  station=$!
  for ((i = 0; i < 300; i++)); do
    grep -q "AT S0=1" "$run/out" 2>/dev/null && break
    sleep 0.2
  done
  sleep 3  # the modem command's answer window ends; from here the station idles
}
stop() { kill "$station"; wait "$station" 2>/dev/null || true; station=; }

# The loop's sleeps that ended, a second: calls that can wait (a timeout other than 0).
loop_wakes() {
  strace -f -e trace=poll,ppoll,epoll_wait,epoll_pwait -o "$work/strace" -p "$station" 2>/dev/null &
  local tracer=$!
  sleep "$seconds"
  kill "$tracer"
  wait "$tracer" 2>/dev/null || true
  # The sleep under way when strace attaches ends as a resumed restart_syscall.
  awk -v s="$seconds" '
    /(poll|epoll_wait|epoll_pwait)\(/ && !/, 0\) += / && /= [0-9]/ { n++ }
    /restart_syscall/ && /\) = 0$/ { n++ }
    END { printf "%.4f (%d in %d s)\n", n / s, n, s }' "$work/strace"
}

switches() {
  local pid=$station
  total() { cat /proc/"$pid"/task/*/status | awk '/ctxt_switches/ { s += $2 } END { print s }'; }
  local a b
  a=$(total)
  sleep "$seconds"
  b=$(total)
  awk -v a="$a" -v b="$b" -v s="$seconds" 'BEGIN { printf "%.4f (%d in %d s)\n", (b - a) / s, b - a, s }'
}

start plain
echo "idle station on the modem emulator, $seconds s each"
echo "  loop wakes a second:                  $(loop_wakes)"
echo "  context switches a second:            $(switches)"
echo "  resident (VmRSS):                     $(awk '/VmRSS/ { print $2, $3 }' /proc/"$station"/status)"
stop

python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
while True:
    s.recv(4096)
' "$work/notify" &
listener=$!
sleep 0.5
start watchdog WATCHDOG_USEC=60000000 NOTIFY_SOCKET="$work/notify"
echo "  loop wakes a second, watchdog 60 s:   $(loop_wakes)"
stop
kill "$listener"

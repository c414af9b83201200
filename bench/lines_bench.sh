#!/usr/bin/env bash
# Calls per hour served by 1, 2 and 4 lines sharing one working directory, each line a
# station with its own home on the paced modem emulator at 9600 bit/s, each with one office
# calling it again as soon as a call ends (every call delivers a table and collects a traffic
# file). Prints the figure for each line count and its ratio to the single line's.
#
#   bench/lines_bench.sh [SECONDS]     default 240 s of calling per line count
#
# A call keeps a line busy for about 25 s, mostly the station's fixed waits, so the default
# counts about ten calls per line; the whole run takes about three times SECONDS.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-240}
cmake -S . -B build >/dev/null
cmake --build build --target marvolen-station marvolen-office marvolen-params marvolen-config \
  -j2 >/dev/null
build=$PWD/build
scratch=$(mktemp -d "${TMPDIR:-/tmp}/marvolen-lines.XXXXXX")
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  sleep 0.5
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# run LINES: prints the number of calls served in $seconds by LINES lines.
run() {
  local lines=$1 dir=$scratch/run$1 n port end
  mkdir -p "$dir/work"
  pids=()
  for ((n = 1; n <= lines; n++)); do
    port=$(free_port)
    mkdir -p "$dir/home$n"
    MARVOLEN_HOME=$dir/home$n "$build/marvolen-config" set --port 1 --speed 9600 --password x \
      --workdir ../work >/dev/null
    MARVOLEN_HOME=$dir/home$n MARVOLEN_COM1=tcp-modem:127.0.0.1:$port,paced \
      "$build/marvolen-station" >"$dir/station$n.out" 2>&1 &
    pids+=($!)
    local loc=$dir/work/$(printf 'loc%02d' $((n + 10)))
    mkdir -p "$loc" "$dir/office$n/TRAFICO"
    "$build/marvolen-params" "$loc" set password "pw$n" >/dev/null
    "$build/marvolen-params" "$loc" set Check_Id 0 >/dev/null
    head -c 4000 /dev/urandom | base64 >"$loc/TARIFA.TBL"
    echo "$port" >"$dir/port$n"
  done
  end=$(($(date +%s) + seconds))
  for ((n = 1; n <= lines; n++)); do
    (
      served=0
      while [ "$(date +%s)" -lt "$end" ]; do
        # A fresh table and traffic every call, so that each call carries both ways.
        rm -f "$dir/office$n/TARIFA.TBL"
        head -c 2000 /dev/urandom | base64 >"$dir/office$n/TRAFICO/TRAFICO.TRF"
        if timeout 300 "$build/marvolen-office" --station "127.0.0.1:$(cat "$dir/port$n")" \
          --dir "$dir/office$n" --number $((n + 10)) --password "pw$n" --redial 60 \
          --timeout 90 >>"$dir/office$n.log" 2>&1; then
          # Counted when it ended inside the measured time.
          [ "$(date +%s)" -le "$end" ] && served=$((served + 1))
        fi
      done
      echo "$served" >"$dir/served$n"
    ) &
  done
  wait_for_callers "$dir" "$lines"
  local p total=0
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for ((n = 1; n <= lines; n++)); do total=$((total + $(cat "$dir/served$n"))); done
  echo "$total"
}
wait_for_callers() {
  local n
  for ((n = 1; n <= $2; n++)); do
    while [ ! -s "$1/served$n" ]; do sleep 1; done
  done
}

single=
printf '%-6s %8s %14s %10s\n' lines calls calls/hour ratio
for lines in 1 2 4; do
  calls=$(run "$lines")
  per_hour=$((calls * 3600 / seconds))
  [ -n "$single" ] || single=$per_hour
  ratio=$(python3 -c "print(f'{$per_hour / max($single, 1):.2f}')")
  printf '%-6s %8d %14d %10s\n' "$lines" "$calls" "$per_hour" "$ratio"
done

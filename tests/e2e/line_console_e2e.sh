#!/usr/bin/env bash
# The station's line end to end: the real `marvolen --console` on its built-in modem emulator,
# callers on TCP loopback. One station run serves, in turn:
#   1. a caller sending lines that only look like an identification: refused;
#   2. a caller sending a megabyte without a CR: refused as well, long before the greeting's
#      time-out, and the station goes on;
#   3. a caller hanging up before identifying, then a second caller on the same "conectando"
#      state: it is greeted (no line reset in between) and, played by marvolen-office, served
#      to the end of a whole call.
# After SIGTERM the activity log must hold the refusals and the call.
#
# line_console_e2e.sh MARVOLEN MARVOLEN_CONFIG MARVOLEN_PARAMS MARVOLEN_OFFICE
set -euo pipefail
marvolen=$1
config=$2
params=$3
office=$4
here=$(cd "$(dirname "$0")" && pwd)
caller=$here/line_caller.py
repo=$(cd "$here/../.." && pwd)

scratch=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  echo "--- station output (last 40 lines)" >&2
  tail -n 40 "$scratch/out" >&2 || true
  echo "--- station errors" >&2
  cat "$scratch/err" >&2 || true
  exit 1
}
count() { grep -c -x -F -- "$1" "$scratch/out" || true; }
alive() { kill -0 "$pid" 2>/dev/null || fail "the station is gone"; }
# Waits up to $2 seconds until the station's output has at least $3 lines equal to $1.
wait_count() {
  for ((i = 0; i < $2 * 10; i++)); do
    [ "$(count "$1")" -ge "$3" ] && return 0
    sleep 0.1
  done
  fail "after $2 s, \"$1\" appears $(count "$1") times, expected $3"
}
field() { sed -n "s/^$1: //p" "$2"; }

# A free TCP port on loopback for the modem's telephone line.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

export MARVOLEN_HOME=$scratch/home
export MARVOLEN_COM1=tcp-modem:127.0.0.1:$port
export TZ=UTC LC_ALL=C.UTF-8
mkdir -p "$MARVOLEN_HOME"
"$config" set --port 1 --speed 9600 --password x --workdir ../work >/dev/null
# Office 7 with its station copy in work/loc07 and its own side in office07.
"$repo/scripts/demo-data.sh" "$scratch" "$(dirname "$params")" >/dev/null

"$marvolen" --console >"$scratch/out" 2>"$scratch/err" &
pid=$!

# Each line reset ends with the modem set to answer: its echo "AT S0=1" is a line of the
# log view.
stars=$(printf '%066d' 0 | tr 0 '*')

# 1. Junk lines.
python3 "$caller" "$port" junk --deadline 60 >"$scratch/junk" || fail "junk caller: $(cat "$scratch/junk")"
alive
wait_count "Ingreso No autorizado!!" 10 1
# Nothing but the greeting and the station's parting LF reached the caller.
[ "$(field after-greeting "$scratch/junk")" = "0a" ] ||
  fail "junk caller received $(field after-greeting "$scratch/junk") after the greeting"

# 2. A megabyte without CR. One greeting only: the stray lines ended the call, not the
# greeting's time-out.
python3 "$caller" "$port" mega --deadline 40 >"$scratch/mega" || fail "mega caller: $(cat "$scratch/mega")"
alive
wait_count "Ingreso No autorizado!!" 10 2
[ "$(field after-greeting "$scratch/mega")" = "0a" ] ||
  fail "mega caller received $(field after-greeting "$scratch/mega") after the greeting"
# Start-up and one reset after each refusal.
wait_count "AT S0=1" 20 3
[ "$(grep -c "^ERROR PROGRAMA:" "$scratch/out" || true)" -eq 0 ] ||
  fail "an exception reached the station's handler"

# 3. A caller hanging up before identifying, then one that is served.
python3 "$caller" "$port" hangup --deadline 40 >"$scratch/hangup" || fail "hang-up caller"
connecting=$(count "Conectándose ...")
sleep 1
alive
"$office" --station "127.0.0.1:$port" --dir "$scratch/office07" --number 7 --password demo7 \
  --timeout 30 >"$scratch/office" 2>&1 || fail "office call failed: $(cat "$scratch/office")"
grep -q "greeting received" "$scratch/office" || fail "office not greeted: $(cat "$scratch/office")"
# The second caller met the state the first one left: no new start of a call, and no reset
# between the first caller's greeting and the end of the second caller's call.
[ "$(count "Conectándose ...")" -eq "$connecting" ] ||
  fail "the state did not stay \"conectando\" between the callers"
awk -v stars="$stars" '
  $0 == "Conectándose ..." { served = 0; reset = 0 }
  $0 == "Comunicación exitosa" && !reset { served = 1 }
  $0 == stars { reset = 1 }
  END { exit !served }' "$scratch/out" || fail "the line was reset before the second caller was served"
wait_count "AT S0=1" 20 4

kill -TERM "$pid"
set +e
wait "$pid"
status=$?
set -e
pid=
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"

log=$scratch/work/volenlog.tcp
[ -f "$log" ] || fail "no activity log"
refusals=$(grep -c "Of: Datos Ingreso No autorizado!!"$'\r'"\$" "$log" || true)
[ "$refusals" -eq 2 ] || fail "activity log has $refusals refusals: $(cat -A "$log")"
grep -q "Of: 00007 Comunicación exitosa"$'\r'"\$" "$log" || fail "call missing: $(cat -A "$log")"
echo "line end to end: ok ($(count "Ingreso No autorizado!!") refusals, 1 call served)"

#!/usr/bin/env bash
# End to end on the console: without settings the station explains how to make them and exits
# with status 2; with settings made by marvolen-config it runs until SIGTERM, which acts as
# "Salir" (the activity log gets the start line) and ends with status 0. Then as a service
# runs it (the service manager's socket, the journal as standard output): the line's state
# file, READY, STATUS, WATCHDOG and STOPPING, priorities on every line; a line without its
# device is down with the system's reason; a bad line name is refused with status 2.
#
# console_e2e.sh STATION MARVOLEN_CONFIG [OPTION]: STATION run with OPTION, as
# `marvolen --console` or `marvolen-station`.
set -euo pipefail
marvolen=$1
config=$2
option=("${@:3}")
scratch=$(mktemp -d)
listener=
trap '[ -z "$listener" ] || kill "$listener" 2>/dev/null; rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Sends SIGTERM to $pid and sets `status` to its exit status.
terminate() {
  kill -TERM "$pid"
  set +e
  wait "$pid"
  status=$?
  set -e
}

export MARVOLEN_HOME=$scratch/home
mkdir -p "$MARVOLEN_HOME"

set +e
"$marvolen" "${option[@]}" >"$scratch/out" 2>"$scratch/err"
status=$?
set -e
[ "$status" -eq 2 ] || fail "exit status $status without settings, expected 2"
grep -q "aún no tiene datos" "$scratch/err" || fail "no explanation: $(cat "$scratch/err")"
grep -q "marvolen-config set" "$scratch/err" || fail "no way out named"
[ ! -s "$scratch/out" ] || fail "log view not empty: $(cat "$scratch/out")"

# A settings record refused by the form's checks is not written.
if "$config" set --port 12 --speed 9600 --workdir ../work 2>"$scratch/cerr"; then
  fail "port 12 accepted"
fi
grep -q "El Número de Puerto serie no puede ser: 12" "$scratch/cerr" || fail "$(cat "$scratch/cerr")"
[ ! -e "$MARVOLEN_HOME/marvolen.tcp" ] || fail "refused settings were written"

"$config" set --port 1 --speed 9600 --password demo --workdir ../work >/dev/null
[ "$(stat -c %s "$MARVOLEN_HOME/marvolen.tcp")" -eq 107 ] || fail "record is not 107 bytes"
"$config" show | grep -qx "port: 1" || fail "show: $("$config" show)"

"$marvolen" "${option[@]}" >"$scratch/out" 2>"$scratch/err" &
pid=$!
for _ in $(seq 100); do
  grep -q "estación en marcha" "$scratch/err" && break
  sleep 0.1
done
grep -q "estación en marcha" "$scratch/err" || { kill "$pid"; fail "no start: $(cat "$scratch/err")"; }
terminate
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM: $(cat "$scratch/err")"
log=$scratch/work/volenlog.tcp
[ -f "$log" ] || fail "no activity log in $scratch/work"
grep -q "Of: Datos  \*\*\*\*\*\*\*\*\*\*\* Inicio Programa: $MARVOLEN_HOME/Marvolen.exe"$'\r'"\$" "$log" ||
  fail "start line missing: $(cat -A "$log")"
[ -d "$scratch/work/upgrades" ] || fail "no upgrades directory"
echo "console end to end: ok"

# The line's state file, one field: line_field NAME FIELD.
line_field() {
  python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' \
    "$scratch/work/lines/$1.json" "$2" 2>/dev/null || true
}
# await_state NAME STATE: waits up to 30 s for the line's state file to say STATE.
await_state() {
  for _ in $(seq 300); do
    [ "$(line_field "$1" state)" = "$2" ] && return 0
    sleep 0.1
  done
  fail "line $1 not $2 but '$(line_field "$1" state)': $(cat "$scratch/err") $(tail -5 "$scratch/jout")"
}
# Every datagram the service manager's socket gets, one a line, in $scratch/heard.
notify=$scratch/notify
python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "a") as f:
    while True:
        f.write(s.recv(4096).decode() + "\n")
        f.flush()
' "$notify" "$scratch/heard" &
listener=$!
for _ in $(seq 50); do [ -S "$notify" ] && break; sleep 0.1; done
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
: >"$scratch/jout"
journal=$(stat -c '%d:%i' "$scratch/jout")
NOTIFY_SOCKET=$notify WATCHDOG_USEC=2000000 JOURNAL_STREAM=$journal \
  MARVOLEN_COM1=tcp-modem:127.0.0.1:$port "$marvolen" "${option[@]}" >>"$scratch/jout" \
  2>"$scratch/err" &
pid=$!
await_state "tcp$port" waiting
sleep 2
grep -qx "READY=1" "$scratch/heard" || fail "no READY: $(cat "$scratch/heard")"
grep -qx "STATUS=línea tcp$port (tcp-modem:127.0.0.1:$port): esperando llamadas" "$scratch/heard" ||
  fail "no STATUS: $(cat "$scratch/heard")"
grep -qx "WATCHDOG=1" "$scratch/heard" || fail "no WATCHDOG: $(cat "$scratch/heard")"
[ "$(line_field "tcp$port" pid)" = "$pid" ] || fail "pid $(line_field "tcp$port" pid), not $pid"
terminate
[ "$status" -eq 0 ] || fail "service: exit status $status after SIGTERM"
grep -qx "STOPPING=1" "$scratch/heard" || fail "no STOPPING: $(cat "$scratch/heard")"
[ "$(line_field "tcp$port" state)" = stopped ] || fail "line not stopped: $(line_field "tcp$port" state)"
grep -qx '<6>OK' "$scratch/jout" || fail "modem answer not at priority 6: $(cat "$scratch/jout")"
if grep -v '^<[346]>' "$scratch/jout"; then fail "lines without a priority"; fi

# A line whose device is missing: down with the system's reason, one error line, no flood.
: >"$scratch/jout"
JOURNAL_STREAM=$journal MARVOLEN_LINE=sur MARVOLEN_COM1=$scratch/no-such-device \
  "$marvolen" "${option[@]}" >>"$scratch/jout" 2>"$scratch/err" &
pid=$!
await_state sur down
sleep 5
[ "$(line_field sur reason)" = "$scratch/no-such-device: No such file or directory" ] ||
  fail "reason: $(line_field sur reason)"
[ "$(grep -c '^<3>Respuesta: ERROR, COM1 NOT FOUND. ' "$scratch/jout")" -eq 1 ] ||
  fail "the failure not shown once: $(cat "$scratch/jout")"
terminate
[ "$status" -eq 0 ] || fail "down line: exit status $status after SIGTERM"
[ "$(line_field sur state)" = stopped ] || fail "sur not stopped"

set +e
MARVOLEN_LINE=../x "$marvolen" "${option[@]}" >"$scratch/out" 2>"$scratch/err"
status=$?
set -e
[ "$status" -eq 2 ] || fail "bad line name: exit status $status"
grep -q "Nombre de línea no válido" "$scratch/err" || fail "bad line name: $(cat "$scratch/err")"
echo "service end to end: ok"

# The window (`marvolen` with no option, offscreen) takes SIGTERM as "Salir" too: it closes
# its form, writes the activity log and ends with status 0 instead of dying on the signal.
if [ "${option[*]}" = "--console" ]; then
  rm -f "$log"
  QT_QPA_PLATFORM=offscreen "$marvolen" >"$scratch/wout" 2>"$scratch/werr" &
  pid=$!
  # The window prints nothing; two seconds are many ticks of its timer.
  sleep 2
  started=$(date +%s)
  terminate
  [ "$status" -eq 0 ] || fail "window: exit status $status after SIGTERM: $(cat "$scratch/werr")"
  [ $(($(date +%s) - started)) -le 5 ] || fail "window: took more than 5 s to stop"
  grep -q "Inicio Programa" "$log" || fail "window: no activity log after SIGTERM"
  echo "window stop: ok"
fi

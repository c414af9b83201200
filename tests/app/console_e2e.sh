#!/usr/bin/env bash
# End to end on the console: without settings the station explains how to make them and exits
# with status 2; with settings made by marvolen-config it runs until SIGTERM, which acts as
# "Salir" (the activity log gets the start line) and ends with status 0.
#
# console_e2e.sh STATION MARVOLEN_CONFIG [OPTION]: STATION run with OPTION, as
# `marvolen --console` or `marvolen-station`.
set -euo pipefail
marvolen=$1
config=$2
option=("${@:3}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
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

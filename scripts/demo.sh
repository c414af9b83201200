#!/usr/bin/env bash
# Prepares the demo station home and starts the station on it (the window when a display is
# available, else the console); once the station's modem answers, the simulated office 7
# calls it once, so that a whole call scrolls through the log view. The station then keeps
# waiting for calls.
#
# demo/home holds the settings record "marvolen.tcp" (serial port 1 at 9600 bit/s, settings
# password "demo", working directory ../work, i.e. demo/work). It is written with
# marvolen-config only when it is missing or incomplete, so settings changed in the window
# ("Modificar Datos") survive the next run. The office's side of the call is written to
# demo/office07-call.log.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD/demo
mkdir -p "$root/home" "$root/work"
export MARVOLEN_HOME=$root/home
# Port 1 is the built-in modem emulator; an office dials it on TCP port 7007.
port=${MARVOLEN_DEMO_PORT:-7007}
export MARVOLEN_COM1=${MARVOLEN_COM1:-tcp-modem:127.0.0.1:$port}

record=$MARVOLEN_HOME/marvolen.tcp
if [ "$(stat -c %s "$record" 2>/dev/null || echo 0)" -lt 107 ]; then
  build/marvolen-config set --port 1 --speed 9600 --password demo --workdir ../work
fi
scripts/demo-data.sh "$root" build

# The office calls once the modem emulator listens (the station opens its port at the first
# tick, five seconds after start).
(
  scripts/wait-listen.sh "$port" 60 &&
    build/marvolen-office --station "127.0.0.1:$port" --dir "$root/office07" --number 7 --redial 60 \
      --password demo7 >"$root/office07-call.log" 2>&1
) &

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/marvolen "$@"
else
  exec build/marvolen-station "$@"
fi

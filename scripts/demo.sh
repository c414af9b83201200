#!/usr/bin/env bash
# Prepares the demo station home and starts the station on it: the window when a display is
# available, else the console.
#
# demo/home holds the settings record "marvolen.tcp" (serial port 1 at 9600 bit/s, settings
# password "demo", working directory ../work, i.e. demo/work). It is written with
# marvolen-config only when it is missing or incomplete, so settings changed in the window
# ("Modificar Datos") survive the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD/demo
mkdir -p "$root/home" "$root/work"
export MARVOLEN_HOME=$root/home
# Port 1 is the built-in modem emulator; an office dials it on TCP port 7007.
export MARVOLEN_COM1=${MARVOLEN_COM1:-tcp-modem:127.0.0.1:7007}

record=$MARVOLEN_HOME/marvolen.tcp
if [ "$(stat -c %s "$record" 2>/dev/null || echo 0)" -lt 107 ]; then
  build/marvolen-config set --port 1 --speed 9600 --password demo --workdir ../work
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/marvolen "$@"
else
  exec build/marvolen --console "$@"
fi

#!/usr/bin/env bash
# Prepares the demo station home and starts the station on it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD/demo
mkdir -p "$root/home" "$root/work"
export MARVOLEN_HOME=$root/home
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/marvolen "$@"
else
  exec build/marvolen --console "$@"
fi

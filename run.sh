#!/usr/bin/env bash
# Installs what is missing, builds, prepares a demo station home under ./demo and starts the
# station: the window when a display is available, else the console.
set -euo pipefail
cd "$(dirname "$0")"

scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
exec scripts/demo.sh "$@"

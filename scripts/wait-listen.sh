#!/usr/bin/env bash
# wait-listen.sh PORT SECONDS: waits until something listens on TCP PORT. It reads the
# kernel's socket table instead of connecting, because a connection to the modem emulator
# would be taken for a call.
set -euo pipefail
port_hex=$(printf '%04X' "$1")
for ((i = 0; i < $2 * 10; i++)); do
  if awk -v p=":$port_hex" '$2 ~ p"$" && $4 == "0A" { found = 1 } END { exit !found }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null; then
    exit 0
  fi
  sleep 0.1
done
echo "nothing listens on port $1 after $2 s" >&2
exit 1

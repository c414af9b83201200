#!/usr/bin/env bash
# no_qt_check.sh PROGRAM: fails when the dynamic loader would bring any Qt library (or the
# window system's libraries Qt pulls in) into PROGRAM, or libsystemd: every line is one such
# process, and each library's pages count in its resident memory (libsystemd brings about
# 0.7 MB with what it loads, for a datagram the station sends itself).
set -euo pipefail
program=$1
libraries=$(ldd "$program")
[ -n "$libraries" ] || { echo "FAIL: ldd printed nothing for $program" >&2; exit 1; }
if grep -Ei 'libQt|libGL|libX11|libxcb|libdbus|libicu|libsystemd' <<<"$libraries"; then
  echo "FAIL: $program links the libraries above" >&2
  exit 1
fi
echo "$(basename "$program") links no Qt and no libsystemd: ok"

#!/usr/bin/env bash
# no_qt_check.sh PROGRAM: fails when the dynamic loader would bring any Qt library (or the
# window system's libraries Qt pulls in) into PROGRAM.
set -euo pipefail
program=$1
libraries=$(ldd "$program")
[ -n "$libraries" ] || { echo "FAIL: ldd printed nothing for $program" >&2; exit 1; }
if grep -Ei 'libQt|libGL|libX11|libxcb|libdbus|libicu' <<<"$libraries"; then
  echo "FAIL: $program links the libraries above" >&2
  exit 1
fi
echo "$(basename "$program") links no Qt: ok"

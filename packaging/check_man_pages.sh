#!/usr/bin/env bash
# The build's man pages: one per program, each naming its program and describing it.
# Usage: check_man_pages.sh MANDIR PROGRAM...
set -euo pipefail
dir=$1
shift
for name in "$@"; do
  page=$dir/$name.1.gz
  [ -s "$page" ] || { echo "no man page $page"; exit 1; }
  text=$(zcat "$page")
  name_line=$(sed -n '/^\.SH NAME/{n;p;q}' <<<"$text")
  [[ $name_line == "$name \\- "* ]] || { echo "$page: NAME line is not for $name: $name_line"; exit 1; }
  grep -q "^\.SH DESCRIPTION" <<<"$text" || { echo "$page: no description"; exit 1; }
done
echo "man pages ok: $*"

#!/usr/bin/env bash
# The build's man pages: one per program in its section, each naming its program, describing
# it, with its exit status and related pages, in UTF-8 without letters lost on the way (help2man
# in a C locale turned "Comunicación" into "Comunicaci??n"). The station's page lists the files
# of its home and working directory.
# Usage: check_man_pages.sh MANDIR PROGRAM:SECTION...
set -euo pipefail
dir=$1
shift
fail() { echo "$*"; exit 1; }
for entry in "$@"; do
  name=${entry%:*}
  section=${entry##*:}
  page=$dir/$name.$section.gz
  [ -s "$page" ] || fail "no man page $page"
  text=$(zcat "$page")
  iconv -f UTF-8 -t UTF-8 <<<"$text" >/dev/null 2>&1 || fail "$page: not UTF-8"
  ! grep -n '??' <<<"$text" || fail "$page: letters lost to the locale"
  sed -n '/^\.TH/p' <<<"$text" | grep -q "^\.TH \"\?[A-Z-]*\"\? \"$section\"" ||
    fail "$page: not a section $section page"
  name_line=$(sed -n '/^\.SH NAME/{n;p;q}' <<<"$text")
  [[ $name_line == "$name \\- "* ]] || fail "$page: NAME line is not for $name: $name_line"
  for heading in DESCRIPTION '"EXIT STATUS"' '"SEE ALSO"'; do
    grep -q "^\.SH $heading" <<<"$text" || fail "$page: no $heading section"
  done
  if [ "$name" = marvolen-office ]; then
    grep -q "Comunicación exitosa" <<<"$text" || fail "$page: accented text lost"
  fi
  if [ "$name" = marvolen-station ]; then
    files=$(sed -n '/^\.SH FILES/,/^\.SH /p' <<<"$text")
    for file in marvolen.tcp marvolen.lock volenlog.tcp calls.jsonl calls/ estado.html lines/ \
      marvolen.prom '.marvolen\-call.lock' marvolen@.service; do
      grep -qF "$file" <<<"$files" || fail "$page: FILES does not name $file"
    done
  fi
done
echo "man pages ok: $*"

#!/usr/bin/env bash
# The build's man pages: one per program in its section, each naming its program, describing
# it, with its exit status and related pages, in UTF-8 without letters lost on the way (help2man
# in a C locale turned "Comunicación" into "Comunicaci??n"). The station's page lists the files
# of its home and working directory.
# Usage: check_man_pages.sh MANDIR CALLRECORD_SOURCE PAGE:SECTION...
set -euo pipefail
dir=$1
record_source=$2
shift 2
# The programs with subcommands, each of which the synopsis must show.
declare -A subcommands=(
  [marvolen-xfer]="send receive"
  [marvolen-zip]="create list test extract"
  [marvolen-config]="show set line"
)
fail() { echo "$*"; exit 1; }
for entry in "$@"; do
  name=${entry%:*}
  section=${entry##*:}
  page=$dir/$name.$section.gz
  [ -s "$page" ] || fail "no man page $page"
  text=$(zcat "$page")
  iconv -f UTF-8 -t UTF-8 <<<"$text" >/dev/null 2>&1 || fail "$page: not UTF-8"
  ! grep -n '??' <<<"$text" || fail "$page: letters lost to the locale"
  sed -n '/^\.TH/p' <<<"$text" | grep -q "^\.TH \"\?[A-Z.-]*\"\? \"$section\"" ||
    fail "$page: not a section $section page"
  name_line=$(sed -n '/^\.SH NAME/{n;p;q}' <<<"$text")
  [[ $name_line == "$name \\- "* ]] || fail "$page: NAME line is not for $name: $name_line"
  if [ "$section" = 5 ]; then
    headings=(DESCRIPTION FIELDS VERSIONS ROTATION FILES '"SEE ALSO"')
  else
    headings=(SYNOPSIS DESCRIPTION '"EXIT STATUS"' FILES '"SEE ALSO"')
  fi
  for heading in "${headings[@]}"; do
    grep -q "^\.SH $heading" <<<"$text" || fail "$page: no $heading section"
  done
  # The option parser's own notes are no documentation.
  ! grep -nE 'Excludes:|Needs:|INT:|TEXT:|\[[0-9]+ \- [0-9]+\]' <<<"$text" ||
    fail "$page: option parser noise"
  # Exit statuses are said once, in their section.
  ! sed '/^\.SH "EXIT STATUS"/,/^\.SH /d' <<<"$text" | grep -niE '^exit status|[.;] exit status' ||
    fail "$page: exit statuses outside EXIT STATUS"
  # Every subcommand has its own line in the synopsis (help2man makes one from each "Usage:"
  # and "or:" line of --help; other lines run together).
  synopsis=$(sed -n '/^\.SH SYNOPSIS/,/^\.SH /p' <<<"$text")
  for subcommand in ${subcommands[$name]:-}; do
    grep -qE "^\\\\fI(\\\\,)?$subcommand\\b" <<<"$(grep -A1 "^\.B $name\$" <<<"$synopsis")" ||
      fail "$page: the synopsis has no line for \"$subcommand\": $synopsis"
  done
  if [ "$name" = marvolen-office ]; then
    grep -q "Comunicación exitosa" <<<"$text" || fail "$page: accented text lost"
  fi
  if [ "$name" = marvolen-station ]; then
    # Each variable an entry of its own in ENVIRONMENT, not a stray paragraph.
    environment=$(sed -n '/^\.SH ENVIRONMENT/,/^\.SH /p' <<<"$text")
    for variable in MARVOLEN_HOME MARVOLEN_COMn MARVOLEN_LINE MARVOLEN_METRICS_DIR \
      MARVOLEN_MAX_IDLE_MINUTES MARVOLEN_MAX_CALL_MINUTES MARVOLEN_MAX_ARCHIVE_MIB LC_TIME \
      'NOTIFY_SOCKET, WATCHDOG_USEC, JOURNAL_STREAM'; do
      grep -A1 '^\.TP' <<<"$environment" | grep -qxF "$variable" ||
        fail "$page: ENVIRONMENT has no entry for $variable"
    done
  fi
  if [ "$name" = calls.jsonl ]; then
    # Every field the record writer writes is described.
    for field in $(grep -o 'j\["[a-z_]*"\]' "$record_source" | sort -u | sed 's/j\["\(.*\)"\]/\1/'); do
      grep -q "^\.B.* $field\b\|^\.B $field\$\|^\.BR $field " <<<"$text" ||
        fail "$page: field $field not described"
    done
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

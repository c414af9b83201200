# Shared by the call tests (sourced, not run): one station on the console with the built-in
# modem emulator on a free loopback port, its own home and working directory in a scratch
# directory, and simulated offices that dial it one after the other.
#
#   source call_lib.sh BUILD_DIR
#
# Each test file runs several calls against one station: a station needs some seconds after
# its start before its modem answers, and the offices redial until it does.

set -euo pipefail
build=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/marvolen-call.XXXXXX")
home=$scratch/home
work=$scratch/work
station_pid=
station_out=$scratch/station.out
last_log=

stop_station() {
  local i
  if [ -n "$station_pid" ] && kill -0 "$station_pid" 2>/dev/null; then
    # The station takes its stop within a second or two, whatever it is doing; a test that
    # has done its checks need not wait longer than that.
    kill -TERM "$station_pid" 2>/dev/null || true
    for ((i = 0; i < 20; i++)); do
      kill -0 "$station_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$station_pid" 2>/dev/null || true
    wait "$station_pid" 2>/dev/null || true
  fi
  station_pid=
}

cleanup() {
  stop_station
  if [ -z "${MARVOLEN_KEEP_SCRATCH:-}" ]; then rm -rf "$scratch"; else echo "kept $scratch" >&2; fi
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  if [ -n "$last_log" ] && [ -f "$last_log" ]; then
    echo "---- office output ($last_log)" >&2
    tail -n 60 "$last_log" >&2
  fi
  if [ -f "$station_out" ]; then
    echo "---- station output (last lines)" >&2
    tail -n 60 "$station_out" >&2
  fi
  exit 1
}

# A loopback port nobody listens on now. The kernel hands out ports from its ephemeral range,
# so parallel tests do not collide the way fixed numbers would.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Today and other days as date serials (whole days since 30 December 1899) and as ddmmyyyy,
# the way the station's clock sees them (local time).
today_serial() { echo $(($(date -u -d "$(date +%F)" +%s) / 86400 + 25569)); }
day_name() { date -d "1899-12-30 + $1 days" +%d%m%Y; }

# start_station [SPEED [,paced]]: writes the settings record (port 1, the line's speed, 38400
# unless given, the working directory beside the home) and starts the console station without
# Qt (marvolen-station, which is `marvolen --console` on its own; line_console_e2e.sh keeps
# `marvolen --console` itself in the calls), its emulated line paced at that speed with
# ",paced". The station's log view goes to $station_out (a station started after another
# stop_station adds to it).
start_station() {
  port=$(free_port)
  mkdir -p "$home" "$work"
  MARVOLEN_HOME=$home "$build/marvolen-config" set --port 1 --speed "${1:-38400}" --password x \
    --workdir ../work >/dev/null
  MARVOLEN_HOME=$home MARVOLEN_COM1=tcp-modem:127.0.0.1:$port${2:-} \
    "$build/marvolen-station" >>"$station_out" 2>>"$scratch/station.err" &
  station_pid=$!
}

params() { "$build/marvolen-params" "$@"; }

# new_office_record N PASSWORD [NAME]: the station's directory for office N (named NAME, else
# locNN) with a parameter file holding PASSWORD and neutral switches; echoes the directory.
new_office_record() {
  local dir
  dir=$work/${3:-$(printf 'loc%02d' "$1")}
  mkdir -p "$dir"
  params "$dir" set password "$2" >/dev/null
  params "$dir" set Check_Id 0 >/dev/null
  params "$dir" set UpGrade 0 >/dev/null
  params "$dir" set Synchronize 1 >/dev/null
  params "$dir" set Reintentos 3 >/dev/null
  params "$dir" set PeriodoReintentos 15 >/dev/null
  params "$dir" set "inicio *.daw" 0 >/dev/null
  params "$dir" set "ultimo *.daw" 0 >/dev/null
  echo "$dir"
}

# call NAME OFFICE_DIR NUMBER [OPTION...]: one call of the simulated office; its output goes
# to $scratch/NAME.log, its exit status to $office_status, and the station's log view lines
# written from the start of the call on are counted from $call_from.
call() {
  local name=$1 dir=$2 number=$3
  shift 3
  last_log=$scratch/$name.log
  call_from=$(($(wc -l <"$station_out") + 1))
  call_started=$(date +%s)
  set +e
  timeout 240 "$build/marvolen-office" --station "127.0.0.1:$port" --dir "$dir" \
    --number "$number" --redial 60 --timeout 90 "$@" >"$last_log" 2>&1
  office_status=$?
  set -e
  call_ended=$(date +%s)
  echo "call $name: exit status $office_status after $((call_ended - call_started)) s"
}

# The station's log view lines since the start of the last call.
call_view() { tail -n "+$call_from" "$station_out"; }

# await_view TEXT [SECONDS]: waits until the station's log view shows the line TEXT (a fixed
# string, the whole line) after the start of the last call.
await_view() {
  local text=$1 limit=${2:-20} i
  for ((i = 0; i < limit * 10; i++)); do
    call_view | grep -qxF -- "$text" && return 0
    sleep 0.1
  done
  fail "the station never showed \"$text\""
}

# await_call_end [SECONDS]: waits until the station is back waiting for the next call (its
# modem answered "AT S0=1" again after the last call).
await_call_end() {
  local limit=${1:-30} i
  for ((i = 0; i < limit * 10; i++)); do
    call_view | awk '/^Conectándose/ { called = 1 }
      called && prev == "AT S0=1" && $0 == "OK" { found = 1 } { prev = $0 } END { exit !found }' &&
      return 0
    sleep 0.1
  done
  fail "the station did not reset its line after the call"
}

# expect_success: the last call ended with "Comunicación exitosa" and "Salir". The station
# resets its line after the office has gone; the next office redials until it answers.
expect_success() {
  [ "$office_status" -eq 0 ] || fail "office exit status $office_status, expected 0"
  grep -qx "result:       success (dismissed by the station)" "$last_log" ||
    fail "no successful end in the office's summary"
}

# expect_refused: the station refused the last call and the office knows it failed.
expect_refused() {
  [ "$office_status" -ne 0 ] || fail "a refused office exited 0"
  await_view "Ingreso No autorizado!!"
  if call_view | grep -q "^Conectándose" && call_view | grep -qxF "Ok"; then
    fail "the script ran for a refused office"
  fi
}

# summary_field NAME: the value of one line of the office's call summary.
summary_field() {
  sed -n "s/^$1: *//p" "$last_log" | head -n 1
}

# activity_log_has OFFICE TEXT [SECONDS]: waits until the activity log holds the line TEXT for
# office field OFFICE (five characters) after its time stamp, ended by CR LF.
activity_log_has() {
  local limit=${3:-20} i log=$work/volenlog.tcp
  for ((i = 0; i < limit * 10; i++)); do
    if [ -f "$log" ] && want=" Of: $1 $2"$'\r' awk '
        { n = length(ENVIRON["want"]) }
        length($0) >= n && substr($0, length($0) - n + 1) == ENVIRON["want"] { found = 1 }
        END { exit !found }' "$log"; then
      return 0
    fi
    sleep 0.1
  done
  fail "the activity log never got \"$2\" for office $1"
}

# Lines of the activity log for office field OF (five characters), as text without CR.
activity_lines() { [ -f "$work/volenlog.tcp" ] && tr -d '\r' <"$work/volenlog.tcp" | grep -F " Of: $1 " || true; }

same_file() { cmp -s "$1" "$2" || fail "$1 differs from $2"; }
absent() { [ ! -e "$1" ] || fail "$1 should not exist"; }
present() { [ -e "$1" ] || fail "$1 is missing"; }

# ---- call records

# await_records N [SECONDS]: waits until "calls.jsonl" holds N lines (the station appends a
# call's record as it hangs up).
await_records() {
  local want=$1 limit=${2:-30} i
  for ((i = 0; i < limit * 10; i++)); do
    [ -f "$work/calls.jsonl" ] && [ "$(wc -l <"$work/calls.jsonl")" -ge "$want" ] && return 0
    sleep 0.1
  done
  fail "calls.jsonl holds $(wc -l <"$work/calls.jsonl" 2>/dev/null || echo no) lines, expected $want"
}

# check_records OUTCOME...: "calls.jsonl" holds exactly one well-formed record per call, in
# order, each ending as its OUTCOME says: a result ("success", "never_identified"), or
# "result:reason" ("refused:wrong_password"). Every record names its transcript, which exists.
check_records() {
  await_records $#
  python3 - "$work" "$@" <<'PY' || fail "call records do not match: $*"
import json, os, sys
work, want = sys.argv[1], sys.argv[2:]
lines = open(os.path.join(work, "calls.jsonl"), "rb").read().split(b"\n")
assert lines[-1] == b"", "the log does not end with a line end"
records = [json.loads(line) for line in lines[:-1]]
got = [r["result"] + (":" + r["reason"] if r["reason"] else "") for r in records]
if got != want:
    sys.exit(f"records: {got}")
for r in records:
    for key in ("start", "end", "duration_s", "line", "home", "office", "files_sent", "traffic",
                "day_files", "transfers", "transcript"):
        assert key in r, f"no {key} in {r}"
    assert r["duration_s"] >= 0 and r["line"]["port"] == 1, r
    assert r["line"]["device"].startswith("tcp-modem:127.0.0.1:"), r["line"]
    assert os.path.isfile(os.path.join(work, r["transcript"])), r["transcript"]
    # Only an office the admission let in counts as holding the files it reported.
    if r["result"] in ("success", "refused", "never_identified"):
        assert r["admitted"] is (r["result"] == "success"), r
PY
}

# record_field INDEX PYTHON_EXPR: a value of the INDEX-th record (0 first, -1 last) as JSON;
# the expression reads the record as `r`.
record_field() {
  python3 - "$work/calls.jsonl" "$1" "$2" <<'PY'
import json, sys
r = [json.loads(l) for l in open(sys.argv[1], "rb")][int(sys.argv[2])]
print(json.dumps(eval(sys.argv[3]), ensure_ascii=False))
PY
}

# check_transcript INDEX PASSWORD: the record's transcript shows the "Ident=" line with both
# halves' password groups masked, the lines sent to the office, and holds PASSWORD nowhere;
# neither does the call log.
check_transcript() {
  local file
  file=$work/$(record_field "$1" 'r["transcript"]' | tr -d '"')
  python3 - "$file" <<'PY' || fail "transcript $file"
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
idents = [l.split(" < ", 1)[1] for l in text.splitlines() if " < Ident=" in l]
assert idents, "no Ident line"
for line in idents:
    half = len(line) // 2
    for base in (0, half):
        assert line[base + 13:base + 28] == "*" * 15, line
assert re.search(r"^ +\d+ > <Greeting>", text, re.M), "the greeting sent is not there"
assert re.search(r"^ +\d+ \* Fin: ", text, re.M), "no end"
PY
  ! grep -qF -- "$2" "$file" || fail "the password is in $file"
  ! grep -qF -- "$2" "$work/calls.jsonl" || fail "the password is in calls.jsonl"
}

report() { "$build/marvolen-report" -C "$work" "$@"; }

# report_line OFFICE: the report's line for an office (its number leads the line).
report_line() { report | awk -v n="$1" '$1 == n'; }

# check_page_in_browser HTML PNG_STEM OFFICE...: headless Chromium renders the status page
# HTML at 1280 and at 420 pixels wide (a desk and a phone): the DOM it builds holds the lines
# section with a row for each line whose state is in lines/ beside the page, a row for each
# OFFICE and the chart's <svg>; the screenshots go to PNG_STEM-1280.png and PNG_STEM-420.png
# for a person to look at.
check_page_in_browser() {
  local html=$1 stem=$2 profile dom width
  shift 2
  command -v chromium >/dev/null || fail "chromium is not installed (scripts/deps.sh)"
  profile=$(mktemp -d "$scratch/chromium.XXXXXX")
  local flags=(--headless --no-sandbox --disable-gpu --disable-background-networking
    --disable-component-update --disable-sync --no-first-run --hide-scrollbars
    --user-data-dir="$profile")
  for width in 1280 420; do
    rm -f "$stem-$width.png"
    timeout 60 chromium "${flags[@]}" --screenshot="$stem-$width.png" \
      --window-size=$width,1400 "file://$html" >/dev/null 2>&1 ||
      fail "chromium could not take the screenshot at $width px"
    [ -s "$stem-$width.png" ] || fail "no screenshot at $width px"
    python3 -c '
import struct, sys
with open(sys.argv[1], "rb") as f:
    head = f.read(24)
sys.exit(not (head[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">I", head[16:20])[0] == int(sys.argv[2])))
' "$stem-$width.png" "$width" || fail "the screenshot is not $width px wide"
  done
  dom=$(timeout 60 chromium "${flags[@]}" --dump-dom "file://$html" 2>/dev/null) ||
    fail "chromium could not dump the page"
  grep -q "<svg" <<<"$dom" || fail "no chart in the rendered page"
  local lines=() f
  for f in "$(dirname "$html")"/lines/*.json; do
    [ -e "$f" ] && lines+=("$(basename "$f" .json)")
  done
  python3 -c '
import re, sys
dom, lines, offices = sys.stdin.read(), sys.argv[1].split(), sys.argv[2:]
def rows(table_id):
    m = re.search(r"<(table|p)[^>]*id=\"" + table_id + r"\".*?</\1>", dom, re.S)
    if not m:
        sys.exit("no " + table_id + " section in the rendered page")
    return m.start(), re.findall(r"<tr[^>]*>(.*?)</tr>", m.group(0), re.S)
def first_cell(row):
    m = re.match(r"\s*<td[^>]*>\s*(.*?)\s*</td>", row, re.S)
    return m.group(1) if m else None
lines_at, line_rows = rows("lines")
offices_at, office_rows = rows("offices")
if lines_at > offices_at:
    sys.exit("the lines section is not above the offices")
for name in lines:
    if name not in [first_cell(r) for r in line_rows]:
        sys.exit("no row for line " + name)
for n in offices:
    if not any(re.fullmatch(r"0*" + n, first_cell(r) or "") for r in office_rows):
        sys.exit("no row for office " + n)
' "${lines[*]}" "$@" <<<"$dom" || fail "the rendered page"
}

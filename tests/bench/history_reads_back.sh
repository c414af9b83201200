#!/usr/bin/env bash
# The scale benchmark's generated network must read back as one the stations wrote:
# marvolen-report takes every record (no damaged line) and finds every office, also those
# named in capitals; the log is in the order calls end, from about a year ago to an hour ago;
# each office's parameter file holds its password; an office already there is left alone.
#   history_reads_back.sh BENCH_HISTORY MARVOLEN_REPORT MARVOLEN_PARAMS
set -euo pipefail
gen=$1 report=$2 params=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/marvolen-history.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
work=$scratch/work
mkdir "$work"
"$params" "$work/loc07" init --password propia >/dev/null
"$gen" "$work" 3000 120 --dirs || fail "bench_history: exit status $?"

[ "$(wc -l <"$work/calls.jsonl")" -eq 3000 ] || fail "calls.jsonl does not hold 3000 records"
"$report" -C "$work" --csv >"$scratch/table.csv" 2>"$scratch/report.err" ||
  fail "marvolen-report: exit status $?"
[ ! -s "$scratch/report.err" ] || fail "marvolen-report: $(head -3 "$scratch/report.err")"
[ "$(($(wc -l <"$scratch/table.csv") - 1))" -eq 120 ] || fail "the report does not list 120 offices"
# Its next delivery is worked out only when the report finds the office's directory.
row=$(grep '^10,' "$scratch/table.csv" || true)
[[ -n $row && $row != *directorio* ]] || fail "the report does not find LOC10: $row"

if [ ! -d "$work/LOC10" ] || [ ! -d "$work/UPGRADES" ]; then fail "no LOC10 or UPGRADES"; fi
[ "$("$params" "$work/LOC10" get password | sed 's/ *$//')" = clave10 ] ||
  fail "LOC10's parameter file does not hold its password"
[ "$("$params" "$work/loc07" get password | sed 's/ *$//')" = propia ] ||
  fail "the office already there was changed"
[ "$("$params" "$work/loc08" get UpGrade)" = 1 ] || fail "loc08 does not have upgrades on"

# LOG DAYS: the records run in the order calls end, from DAYS days ago to an hour ago, with
# every kind of ending and every office.
check_times() {
  python3 - "$1" "$2" <<'PY' || fail "the times in $1"
import datetime, json, sys
ends, results, offices = [], set(), set()
for line in open(sys.argv[1]):
    r = json.loads(line)
    start = datetime.datetime.fromisoformat(r["start"])
    end = datetime.datetime.fromisoformat(r["end"])
    assert start < end, line
    ends.append(end)
    results.add(r["result"])
    offices.add(r["office"])
assert ends == sorted(ends), "records not in the order calls end"
now = datetime.datetime.now(datetime.timezone.utc)
span = datetime.timedelta(days=int(sys.argv[2]))
assert abs(now - ends[0] - span) < datetime.timedelta(hours=2), f"first call {ends[0]}"
assert datetime.timedelta(minutes=50) < now - ends[-1] < datetime.timedelta(minutes=70), ends[-1]
assert results == {"success", "refused", "aborted", "never_identified"}, results
assert offices - {None} == set(range(1, 121)), "not every office called"
PY
}
check_times "$work/calls.jsonl" 365
# A day of calls, closer together than they last: the order of ends shows.
mkdir "$scratch/day"
"$gen" "$scratch/day" 3000 120 --days 1 || fail "bench_history --days 1: exit status $?"
check_times "$scratch/day/calls.jsonl" 1
echo "ok"

#!/usr/bin/env bash
# marvolen-report over a call log of 1,000,000 records from 5,000 offices, each with its
# directory (parameter file with upgrades on, three tables) and a shared "UPGRADES" directory
# spelled in capitals as the README allows, so that the survey of every office's next
# delivery runs as on a real network. Measured as whole processes with /usr/bin/time (wall
# seconds, CPU seconds (user + system) and peak resident memory), each the median of RUNS runs
# (default 3) with min-max; the table's builds (this one, the -Os one, an earlier one) run in
# turn:
#   wc -l                      reading the bytes: the floor
#   python3 json per line      a plain streaming reader of the same file
#   marvolen-report            the office table
#   the -Os build              the same table by marvolen-report-small: the same program from
#                              the station's size-optimised objects (the fast build's report
#                              and log reading are -O2)
#   an earlier marvolen-report the same table by the program MARVOLEN_REPORT_BEFORE names, when
#                              set (a build of an earlier commit): before and after in one run
#   marvolen-report --json     the same as JSON
#   marvolen-report --html     the status page the station writes after every call
#   marvolen-report, log / 10  a tenth of the log: memory must not follow the log
#   station page, rebuilt      what a station does with no status summary yet: the summary
#                              (calls.summary/) rebuilt from the whole log, then estado.html and
#                              marvolen.prom from it (the removal of the old summary included)
#   station page, after a call what a station does after every call: one record appended, the
#                              summary brought in line, estado.html and marvolen.prom from it
# and, once, the getdents64 calls (directory readings) of one --html and of one station page
# after a call, counted with strace when it is installed.
# Ratios are of the medians. Targets: the report's table in under a second of CPU; memory that
# does not grow with the log.
#   bench/report_bench.sh [RECORDS] [OFFICES] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
records=${1:-1000000}
offices=${2:-5000}
runs=${3:-3}
cmake -S . -B build >/dev/null
cmake --build build --target marvolen-report marvolen-report-small marvolen-params marvolen_callrec -j2 >/dev/null
g++ -O2 -std=c++20 -I. bench/report_bench.cpp build/callrec/libmarvolen_callrec.a \
  build/platform/libmarvolen_platform.a -lz -o build/report_bench_gen
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/model" "$work/UPGRADES"
build/marvolen-params "$work/model" set UpGrade 1 >/dev/null
for n in 1 2 3; do head -c 100000 /dev/urandom > "$work/UPGRADES/PROG$n.UPG"; done
build/report_bench_gen "$work/calls.jsonl" "$records" "$offices" "$work" "$work/model/MARVOLEN.TCP"
rm -r "$work/model"
echo "log: $records records, $offices offices with directories, $(du -m "$work/calls.jsonl" | cut -f1) MB; $runs runs each"

# once NAME COMMAND...: runs it once, adding its "wall_s peak_kB user_s sys_s" to NAME's rows.
once() {
  local name=$1
  shift
  /usr/bin/time -f "%e %M %U %S" -o "$work/time" "$@" >/dev/null
  cat "$work/time" >> "$work/rows.$name"
}
# summary NAME: "NAME median_s min_s max_s median_MB median_cpu_s min_cpu_s max_cpu_s"
summary() {
  python3 -c '
import statistics, sys
rows = [line.split() for line in open(sys.argv[2]) if line.strip()]
s = [float(r[0]) for r in rows]
kb = [float(r[1]) for r in rows]
cpu = [float(r[2]) + float(r[3]) for r in rows]
print(sys.argv[1], statistics.median(s), min(s), max(s), statistics.median(kb) / 1024,
      statistics.median(cpu), min(cpu), max(cpu))
' "$1" "$work/rows.$1"
}
# NAME COMMAND...: runs it RUNS times and prints its summary.
measure() {
  local name=$1 i
  shift
  for ((i = 0; i < runs; i++)); do once "$name" "$@"; done
  summary "$name"
}
before=${MARVOLEN_REPORT_BEFORE:-}
head -n $((records / 10)) "$work/calls.jsonl" > "$work/small.jsonl"
mkdir "$work/small" && mv "$work/small.jsonl" "$work/small/calls.jsonl"
{
  measure wc wc -l "$work/calls.jsonl"
  measure python python3 -c '
import json, sys
seen = {}
for line in open(sys.argv[1], "rb"):
    r = json.loads(line)
    seen[r["office"]] = r["result"]
' "$work/calls.jsonl"
  # The table's three builds in turn, run by run, so that their ratios hold when the machine's
  # load changes.
  for ((i = 0; i < runs; i++)); do
    once report build/marvolen-report -C "$work"
    if [ -n "$before" ]; then once before "$before" -C "$work"; fi
    once os build/marvolen-report-small -C "$work"
  done
  summary report
  if [ -n "$before" ]; then summary before; fi
  summary os
  measure json build/marvolen-report -C "$work" --json
  measure html build/marvolen-report -C "$work" --html "$work/estado.html"
  measure small build/marvolen-report -C "$work/small"
  measure rebuilt bash -c 'rm -rf "$1/calls.summary" && "$2" -C "$1" --station-page' \
    _ "$work" build/marvolen-report
  tail -n 1 "$work/calls.jsonl" > "$work/one.jsonl"
  measure after bash -c 'cat "$1/one.jsonl" >> "$1/calls.jsonl" && "$2" -C "$1" --station-page' \
    _ "$work" build/marvolen-report
} > "$work/figures"
awk '
  { s[$1] = $2; lo[$1] = $3; hi[$1] = $4; mb[$1] = $5; c[$1] = $6; clo[$1] = $7; chi[$1] = $8 }
  END {
    split("wc python report before os json html small rebuilt after", order, " ")
    label["wc"] = "wc -l (reading floor)"; label["python"] = "python3 json per line"
    label["report"] = "marvolen-report (table)"; label["before"] = "the earlier report (table)"
    label["os"] = "the -Os build (table)"
    label["json"] = "marvolen-report --json"
    label["html"] = "marvolen-report --html"; label["small"] = "marvolen-report, log / 10"
    label["rebuilt"] = "station page, rebuilt"; label["after"] = "station page, after a call"
    printf "%-28s %9s %17s %9s %17s %9s\n", "", "median s", "min-max s", "CPU s",
      "min-max CPU s", "peak MB"
    for (i = 1; i <= 10; i++) {
      k = order[i]
      if (!(k in s)) continue
      printf "%-28s %9.2f %8.2f-%-8.2f %9.2f %8.2f-%-8.2f %9.1f\n", label[k], s[k], lo[k],
        hi[k], c[k], clo[k], chi[k], mb[k]
    }
    printf "CPU: report / python3: %.3f   report / wc -l: %.1f\n", c["report"] / c["python"],
      c["report"] / (c["wc"] > 0 ? c["wc"] : 0.01)
    if ("before" in c) printf "CPU: report / the earlier report: %.2f\n", c["report"] / c["before"]
    printf "CPU: report / the -Os build: %.2f\n", c["report"] / c["os"]
    printf "report / python3: %.2f   --html / python3: %.2f   report / wc -l: %.1f\n",
      s["report"] / s["python"], s["html"] / s["python"], s["report"] / (s["wc"] > 0 ? s["wc"] : 0.01)
    printf "peak memory, full log / tenth of it: %.2f\n", mb["report"] / mb["small"]
    printf "target: the table in under a second of CPU: %s\n", c["report"] < 1 ? "met" : "NOT met"
  }' "$work/figures"
if command -v strace >/dev/null; then
  count() { strace -f -c -e trace=getdents64 -o "$work/strace" "$@" >/dev/null 2>&1
            awk '$NF == "getdents64" { print $4 }' "$work/strace"; }
  echo "getdents64 calls: --html $(count build/marvolen-report -C "$work" --html "$work/estado.html")," \
    "station page after a call $(bash -c 'cat "$1/one.jsonl" >> "$1/calls.jsonl"' _ "$work";
                                 count build/marvolen-report -C "$work" --station-page)"
fi

#!/usr/bin/env bash
# marvolen-report over a call log of 1,000,000 records from 5,000 offices: its time and peak
# memory, against two peers on the same file in the same run: wc -l (reading the bytes, the
# floor) and python3 reading every line with its json module (a plain streaming reader).
# Target: under 5 s and memory that does not grow with the log.
set -euo pipefail
cd "$(dirname "$0")/.."
records=${1:-1000000}
offices=${2:-5000}
cmake -S . -B build >/dev/null
cmake --build build --target marvolen-report marvolen_callrec -j2 >/dev/null
g++ -O2 -std=c++20 -I. bench/report_bench.cpp build/callrec/libmarvolen_callrec.a \
  build/platform/libmarvolen_platform.a -lz -o build/report_bench_gen
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/report_bench_gen "$work/calls.jsonl" "$records" "$offices"
echo "log: $records records, $offices offices, $(du -m "$work/calls.jsonl" | cut -f1) MB"

measure() {  # prints "seconds peak_kB"
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null
  cat "$work/time"
}
read -r wc_s wc_kb < <(measure wc -l "$work/calls.jsonl")
read -r rep_s rep_kb < <(measure build/marvolen-report -C "$work")
read -r json_s json_kb < <(measure build/marvolen-report -C "$work" --json)
read -r py_s py_kb < <(measure python3 -c '
import json, sys
seen = {}
for line in open(sys.argv[1], "rb"):
    r = json.loads(line)
    seen[r["office"]] = r["result"]
' "$work/calls.jsonl")
# A log ten times smaller: the report's memory should not shrink with it.
head -n $((records / 10)) "$work/calls.jsonl" > "$work/small.jsonl"
mkdir "$work/small" && mv "$work/small.jsonl" "$work/small/calls.jsonl"
read -r small_s small_kb < <(measure build/marvolen-report -C "$work/small")

awk -v wc_s="$wc_s" -v wc_kb="$wc_kb" -v rep_s="$rep_s" -v rep_kb="$rep_kb" \
    -v json_s="$json_s" -v json_kb="$json_kb" -v py_s="$py_s" -v py_kb="$py_kb" \
    -v small_s="$small_s" -v small_kb="$small_kb" 'BEGIN {
  printf "%-34s %8s %10s\n", "", "seconds", "peak MB"
  printf "%-34s %8.2f %10.1f\n", "wc -l (reading floor)", wc_s, wc_kb / 1024
  printf "%-34s %8.2f %10.1f\n", "marvolen-report (table)", rep_s, rep_kb / 1024
  printf "%-34s %8.2f %10.1f\n", "marvolen-report --json", json_s, json_kb / 1024
  printf "%-34s %8.2f %10.1f\n", "python3 json per line", py_s, py_kb / 1024
  printf "%-34s %8.2f %10.1f\n", "marvolen-report, log / 10", small_s, small_kb / 1024
  printf "report / python3: %.3f   report / wc -l: %.1f\n", rep_s / py_s, rep_s / (wc_s > 0 ? wc_s : 0.01)
  printf "peak memory, full log / tenth of it: %.2f\n", rep_kb / small_kb
  printf "target: report under 5 s: %s\n", rep_s < 5 ? "met" : "NOT met"
}'

#!/usr/bin/env bash
# What a call costs the station as the network grows: N lines on one working directory, with no
# history and with a year of call records and thousands of office directories, each side of a
# ratio measured in the same invocation.
#
#   bench/scale_bench.sh [--lines 1,8] [--histories empty,year] [--window SECONDS]
#                        [--records N] [--offices M]
#
# Defaults: 1 and 8 lines, the empty and the year history, a 120 s window, 1,000,000 records
# from 5,000 offices (the full scale: about 40 minutes on 2 busy cores). --records 100000
# --offices 1000 gives a quicker look at the same figures.
#
# What runs, on both sides alike. Each run starts N marvolen-station processes, one per line,
# each with its own home and line name, all on one working directory, each on the modem
# emulator paced at 9600 bit/s (tcp-modem:...,paced) on a free port. Each line has its own
# office (marvolen-office) that calls again as soon as a call ends, receives a fresh table and
# sends a fresh traffic file every call: a real call with its block transfers both ways, its
# checks and file writes, its call record, the status summary brought in line, the status page
# and the metrics rewritten (by whichever station's turn it is). The sides differ only in the
# working directory each run starts on, a copy of one of these histories, made once per
# invocation by build/bench/bench_history (the station's own record writer and parameter-file
# code) and read back with marvolen-report, which must find no damaged line:
#   empty     nothing but the calling offices' directories
#   log       calls.jsonl with RECORDS records over 365 days from offices 1..OFFICES that have
#             no directory
#   offices   OFFICES office directories (parameter file, tables, filed traffic; one in ten
#             named in capitals, one in four with upgrades on, the upgrades directory spelled
#             "UPGRADES") and one call record each, so that each office's next delivery is known
#   year      both: RECORDS records from the OFFICES offices, each with its directory
# The calling offices are offices 1..N of that network. A history comes without a status
# summary: the stations' first start builds it from the whole log, as after an upgrade.
#
# What is counted. CPU is the station's user+system time from /proc/PID/stat (all its threads,
# in clock ticks of 10 ms); nothing of the offices, the emulators or this script.
#   start-up    each station's CPU from its start until every station answers its modem and has
#               gone quiet (at most 2 % of a core in each of 2 seconds): its settings, the
#               clean-up, the first status page and, with a history, the summary's rebuild from
#               the whole log (done by one station: the others find its lock and leave the page
#               to it). Printed as mean and max over the stations.
#   CPU/call    for each call, the station's CPU from the start of that call to the start of
#               the next on its line (the last: to the end of the interval), so each call carries
#               the page and metrics it caused. Printed as mean, median and min-max over every
#               call of every line, and the highest mean of one station ("worst line"): the
#               stations that write the page are not hidden behind a median over lines.
#   calls/h     successful calls x 3600 / (end of the line's last call - start of the interval)
#   wake/s      voluntary + nonvoluntary context switches summed over the station's threads
#               (/proc/PID/task/*/status) over the interval / its length
#   idle RSS    resident memory, VmRSS, when the interval starts (start-up done)
#   RSS         peak resident memory, VmHWM, at the end of the interval
# The interval starts once start-up has settled, when the offices start calling; offices start
# calls for WINDOW seconds and the call in progress then is let finish; it ends when the last
# call has ended and every station has been quiet for 2 s (given up after 300 s, flagged).
# Ratios: each run against the empty-history run with the same number of lines, run first in
# the same invocation (mean against mean, median against median, max against max). Failed
# calls are counted; a run with any is flagged.
# Target: with the year history, at every number of lines, CPU/call mean <= 1.2x the empty
# history's; the maximum and the first start's rebuild are printed beside it.
#
# Time: each run takes its window plus the last call (about 30 s), the settling before and
# after, the copy of the history and, with a history, the first start's rebuild. It needs about
# 3 GB in TMPDIR at the full scale. Uses build/ (configured here when it is not).
set -euo pipefail
# The whole script is one block, read before it runs: editing the file during a long run
# cannot change what the run does.
{
cd "$(dirname "$0")/.."

lines_list=1,8
histories=empty,year
window=120
records=1000000
offices=5000
while [ $# -gt 0 ]; do
  case $1 in
  --lines) lines_list=$2; shift 2 ;;
  --histories) histories=$2; shift 2 ;;
  --window) window=$2; shift 2 ;;
  --records) records=$2; shift 2 ;;
  --offices) offices=$2; shift 2 ;;
  -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d'; exit 0 ;;
  *) echo "scale_bench: opción desconocida: $1" >&2; exit 2 ;;
  esac
done
for h in ${histories//,/ }; do
  case $h in empty | log | offices | year) ;; *) echo "scale_bench: historia desconocida: $h" >&2; exit 2 ;; esac
done
for v in "$window" "$records" "$offices"; do
  [[ $v =~ ^[0-9]+$ ]] || { echo "scale_bench: número no válido: $v" >&2; exit 2; }
done
((window > 0 && offices > 0 && offices <= 9999)) ||
  { echo "scale_bench: --window debe ser mayor que 0, --offices de 1 a 9999" >&2; exit 2; }
max_lines=1
for n in ${lines_list//,/ }; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || { echo "scale_bench: número de líneas no válido: $n" >&2; exit 2; }
  if ((n > max_lines)); then max_lines=$n; fi
done

[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j2 --target marvolen-station marvolen-office marvolen-params marvolen-config \
  marvolen-report bench_history >/dev/null
build=$PWD/build
cores=$(nproc)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/marvolen-scale.XXXXXX")

# Every process this script starts is listed here (stations, office loops) or in a pid file
# under the scratch directory (each loop's current office), and ended by its id.
pids=()
stop_all() {
  local p f i
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for f in "$scratch"/run/opid*; do
    if [ -e "$f" ]; then kill -TERM "$(cat "$f")" 2>/dev/null || true; fi
  done
  for p in "${pids[@]}"; do
    # A station in the middle of a status page rewrite may take a while to stop.
    for ((i = 0; i < 50; i++)); do kill -0 "$p" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$p" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  pids=()
}
trap 'stop_all; rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM

# Free ports for COUNT emulators, all held open until all are chosen so none repeats.
free_ports() {
  python3 -c '
import socket, sys
socks = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in socks: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in socks))' "$1"
}

# The /proc figures of the given processes, one line each: pid cpu_s switches hwm_kb rss_kb, then
# "machine busy_s total_s" over all cores.
probe() {
  python3 - "$@" <<'EOF'
import glob, os, sys
tick = os.sysconf("SC_CLK_TCK")
for pid in sys.argv[1:]:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / tick
    switches = 0
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        switches += int(line.split()[1])
        except FileNotFoundError:
            pass  # a thread that just ended
    hwm = rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                hwm = int(line.split()[1])
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    print(pid, cpu, switches, hwm, rss)
with open("/proc/stat") as f:
    cpu = [int(x) for x in f.readline().split()[1:]]
idle = cpu[3] + cpu[4]
print("machine", (sum(cpu[:8]) - idle) / tick, sum(cpu[:8]) / tick)
EOF
}

# Waits until each of the given processes has used at most 2 % of a core in each of 2
# seconds in a row (at most LIMIT seconds); prints how long it waited, with "+" when it gave
# up at LIMIT. Fails when one of them has ended.
settle() {
  local limit=$1
  shift
  python3 - "$limit" "$@" <<'EOF'
import os, sys, time
limit, pids = float(sys.argv[1]), sys.argv[2:]
tick = os.sysconf("SC_CLK_TCK")
def cpu():
    out = []
    for pid in pids:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        if fields[0] == "Z":
            sys.exit(f"scale_bench: la estación {pid} ha terminado")
        out.append((int(fields[11]) + int(fields[12])) / tick)
    return out
start = time.monotonic()
quiet = 0
last = cpu()
while quiet < 2 and time.monotonic() - start < limit:
    time.sleep(1)
    now = cpu()
    quiet = quiet + 1 if all(b - a <= 0.02 for a, b in zip(last, now)) else 0
    last = now
print(f"{time.monotonic() - start:.1f}" + ("" if quiet >= 2 else "+"))
EOF
}

# make_history NAME: the working directory of that history in $scratch/tpl-NAME, with the
# calling offices 1..max_lines; checks it with marvolen-report.
make_history() {
  local name=$1 tpl=$scratch/tpl-$1 n t0
  [ -d "$tpl" ] && return 0
  mkdir -p "$tpl"
  for ((n = 1; n <= max_lines; n++)); do
    local loc
    loc=$tpl/$(printf 'loc%02d' "$n")
    "$build/marvolen-params" "$loc" init --password "pw$n" >/dev/null
    "$build/marvolen-params" "$loc" set Check_Id 0 >/dev/null
  done
  t0=$(date +%s.%N)
  case $name in
  log) "$build/bench/bench_history" "$tpl" "$records" "$offices" ;;
  offices) "$build/bench/bench_history" "$tpl" "$offices" "$offices" --dirs ;;
  year) "$build/bench/bench_history" "$tpl" "$records" "$offices" --dirs ;;
  esac
  local made
  made=$(python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.0f}')" \
    "$t0" "$(date +%s.%N)")
  t0=$(date +%s.%N)
  local rows status=0
  rows=$("$build/marvolen-report" -C "$tpl" --csv 2>"$scratch/report.err" | wc -l) || status=$?
  if [ "$status" -ne 0 ] || [ -s "$scratch/report.err" ]; then
    echo "scale_bench: marvolen-report no lee la historia $name:" >&2
    head -5 "$scratch/report.err" >&2
    exit 1
  fi
  local log_lines=0 log_mb=0
  if [ -f "$tpl/calls.jsonl" ]; then
    log_lines=$(wc -l <"$tpl/calls.jsonl")
    log_mb=$(du -m "$tpl/calls.jsonl" | cut -f1)
  fi
  printf '# history %-7s %8d records (%d MB), %5d office directories; made in %s s; marvolen-report: %d offices, no damaged line, %.0f s\n' \
    "$name" "$log_lines" "$log_mb" "$(find "$tpl" -maxdepth 1 -iname 'loc*' -type d | wc -l)" \
    "$made" $((rows - 1)) "$(python3 -c "import sys; print(float(sys.argv[2]) - float(sys.argv[1]))" "$t0" "$(date +%s.%N)")"
}

# Compares the calls and office directory the stations really wrote in the first run with
# what bench_history generated: the same fields with the same types in every record, and the
# same kinds of file in an office directory.
check_history() {
  local real=$scratch/run/work gen=$1
  python3 - "$real/calls.jsonl" "$gen/calls.jsonl" "$real/loc01" "$gen" <<'EOF'
import json, os, re, sys
def shape(v):
    if isinstance(v, dict):
        return {k: shape(x) for k, x in v.items()}
    if isinstance(v, list):
        merged = {}
        for x in v:
            s = shape(x)
            merged = {**merged, **s} if isinstance(s, dict) else s
        return [merged] if v else []
    return type(v).__name__
def differ(a, b, path=""):
    if isinstance(a, dict) and isinstance(b, dict):
        out = [f"{path}.{k}" for k in a.keys() ^ b.keys()]
        for k in a.keys() & b.keys():
            out += differ(a[k], b[k], f"{path}.{k}")
        return out
    if isinstance(a, list) and isinstance(b, list):
        return differ(a[0], b[0], path + "[]") if a and b else []
    if "NoneType" in (a, b) or a == b or {a, b} == {"int", "float"}:
        return []
    return [f"{path}: {a} / {b}"]
real = [json.loads(l) for l in open(sys.argv[1])]
real_ok = [r for r in real if r["result"] == "success"]
if not real_ok:
    sys.exit("scale_bench: the first run recorded no successful call to compare with")
problems, compared = set(), 0
with open(sys.argv[2]) as f:
    for i, line in enumerate(f):
        if i >= 20000:
            break
        g = json.loads(line)
        compared += 1
        problems.update(differ(shape(real_ok[0]), shape(g)))
def kinds(d):
    out = set()
    for name in os.listdir(d):
        if re.fullmatch(r"\d{14}\.trf", name): out.add("DDMMYYYYhhmmss.trf")
        elif name.upper().endswith(".TBL"): out.add("*.TBL")
        else: out.add(name)
    return out
gen_dirs = sorted(d for d in os.listdir(sys.argv[4]) if re.fullmatch(r"(?i)loc\d+", d))
sample = os.path.join(sys.argv[4], gen_dirs[-1])
real_kinds, gen_kinds = kinds(sys.argv[3]), kinds(sample)
print(f"# record check: {compared} generated records against the first run's: "
      + ("same fields and types" if not problems else "DIFFER: " + ", ".join(sorted(problems))))
print(f"# office check: station-written loc01 holds {sorted(real_kinds)}; generated "
      f"{os.path.basename(sample)} holds {sorted(gen_kinds)}")
# The last archive an office sent stays in its directory until the next one replaces it;
# nothing reads it again, so the generator leaves it out.
missing = real_kinds - gen_kinds - {"recibo.zip"}
if missing:
    print(f"# office check: generated directories lack {sorted(missing)}")
    problems.add("office directory")
sys.exit(1 if problems else 0)
EOF
}

# run LINES HISTORY: one measured run; writes its figures as one JSON line to $scratch/result.
# Not run in a subshell, so that the exit trap knows every process it started.
run() {
  local lines=$1 history=$2 dir=$scratch/run n ports port
  rm -rf "$dir"
  mkdir -p "$dir"
  make_history "$history"
  cp -a "$scratch/tpl-$history" "$dir/work"
  read -r -a ports <<<"$(free_ports "$lines")"
  local station_pids=()
  for ((n = 1; n <= lines; n++)); do
    port=${ports[$((n - 1))]}
    mkdir -p "$dir/home$n" "$dir/office$n/TRAFICO"
    MARVOLEN_HOME=$dir/home$n "$build/marvolen-config" set --port 1 --speed 9600 --password x \
      --workdir ../work >/dev/null
    MARVOLEN_HOME=$dir/home$n MARVOLEN_LINE=$(printf 'l%02d' "$n") \
      MARVOLEN_COM1=tcp-modem:127.0.0.1:$port,paced \
      "$build/marvolen-station" >"$dir/station$n.out" 2>&1 &
    pids+=($!)
    station_pids+=($!)
    head -c 4000 /dev/urandom | base64 >"$dir/work/$(printf 'loc%02d' "$n")/TARIFA.TBL"
  done
  # Ready when every modem has answered "AT S0=1", then quiet.
  local waited=0
  for ((n = 1; n <= lines; n++)); do
    until grep -q 'S0=1' "$dir/station$n.out" 2>/dev/null; do
      kill -0 "${station_pids[$((n - 1))]}" 2>/dev/null ||
        { echo "scale_bench: la estación $n no arranca:" >&2; tail -5 "$dir/station$n.out" >&2; exit 1; }
      sleep 0.5
      waited=$((waited + 1))
      ((waited < 1200)) || { echo "scale_bench: la estación $n no contesta" >&2; exit 1; }
    done
  done
  local startup
  startup=$(settle 900 "${station_pids[@]}")
  probe "${station_pids[@]}" >"$dir/probe0"
  local t0 end
  t0=$(date +%s%3N)
  end=$((t0 + window * 1000))
  local loops=()
  for ((n = 1; n <= lines; n++)); do
    (
      trap 'exit 0' TERM
      office=$dir/office$n
      while [ "$(date +%s%3N)" -lt "$end" ]; do
        # A fresh table and traffic every call, so that each call carries both ways.
        rm -f "$office/TARIFA.TBL"
        head -c 2000 /dev/urandom | base64 >"$office/TRAFICO/TRAFICO.TRF"
        started=$(date +%s%3N)
        # The station's CPU (ticks) as this call starts: the call's cost runs to the next's.
        cpu=$(cut -d')' -f2 "/proc/${station_pids[$((n - 1))]}/stat" | awk '{print $12 + $13}')
        timeout 300 "$build/marvolen-office" --station "127.0.0.1:${ports[$((n - 1))]}" \
          --dir "$office" --number "$n" --password "pw$n" --redial 60 --timeout 90 \
          >>"$dir/office$n.log" 2>&1 &
        echo $! >"$dir/opid$n"
        rc=0
        wait $! || rc=$?
        echo "$started $(date +%s%3N) $rc $cpu" >>"$dir/calls$n"
      done
      rm -f "$dir/opid$n"
    ) &
    loops+=($!)
    pids+=($!)
  done
  for n in "${loops[@]}"; do wait "$n" || true; done
  local drained
  drained=$(settle 300 "${station_pids[@]}")
  probe "${station_pids[@]}" >"$dir/probe1"
  local t1
  t1=$(date +%s%3N)
  stop_all
  python3 - "$dir" "$lines" "$history" "$t0" "$t1" "$cores" "$startup" "$drained" \
    >"$scratch/result" <<'EOF'
import json, os, statistics, sys
d, lines, history, t0, t1, cores = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6])
def read_probe(name):
    rows = [l.split() for l in open(os.path.join(d, name))]
    return [tuple(map(float, r[1:])) for r in rows if r[0] != "machine"], \
           [tuple(map(float, r[1:])) for r in rows if r[0] == "machine"][0]
p0, m0 = read_probe("probe0")
p1, m1 = read_probe("probe1")
seconds = (t1 - t0) / 1000
tick = os.sysconf("SC_CLK_TCK")
per_line = {"calls_h": [], "wake_s": [], "idle_mb": [], "rss_mb": []}
ok_total = failed_total = 0
cpu_total = 0.0
per_call, line_means, startup = [], [], []
for n in range(1, lines + 1):
    calls = [tuple(map(int, l.split())) for l in open(os.path.join(d, f"calls{n}"))]
    ok = sum(1 for c in calls if c[2] == 0)
    ok_total += ok
    failed_total += len(calls) - ok
    last_end = max(c[1] for c in calls)
    cpu = p1[n - 1][0] - p0[n - 1][0]
    cpu_total += cpu
    # Each call from its start to the next one's; the last to the end of the interval.
    starts = [c[3] / tick for c in calls] + [p1[n - 1][0]]
    costs = [b - a for a, b in zip(starts, starts[1:])]
    per_call += costs
    line_means.append(statistics.mean(costs))
    startup.append(p0[n - 1][0])
    per_line["calls_h"].append(ok * 3600 / ((last_end - t0) / 1000))
    per_line["wake_s"].append((p1[n - 1][1] - p0[n - 1][1]) / seconds)
    per_line["idle_mb"].append(p0[n - 1][3] / 1024)
    per_line["rss_mb"].append(p1[n - 1][2] / 1024)
out = {"history": history, "lines": lines, "seconds": seconds, "ok": ok_total,
       "failed": failed_total, "share": cpu_total / (seconds * cores),
       "machine": (m1[0] - m0[0]) / (m1[1] - m0[1]), "load": os.getloadavg()[0],
       "startup_s": sys.argv[7], "drain_s": sys.argv[8],
       "cpu_call": {"mean": statistics.mean(per_call), "median": statistics.median(per_call),
                    "min": min(per_call), "max": max(per_call), "worst_line": max(line_means),
                    "calls": len(per_call)},
       "startup_cpu": {"mean": statistics.mean(startup), "max": max(startup)}}
for k, v in per_line.items():
    out[k] = [statistics.median(v), min(v), max(v)]
print(json.dumps(out))
EOF
}

# Prints one run's figures and ratios against the reference run.
show() {
  python3 - "$1" "$2" <<'EOF'
import json, sys
r, ref = json.loads(sys.argv[1]), json.loads(sys.argv[2])
def fmt(v, digits):
    return f"{v[0]:.{digits}f} ({v[1]:.{digits}f}-{v[2]:.{digits}f})"
def ratio(key):
    base = ref[key][0]
    return fmt([x / base for x in r[key]], 2) if base else "-"
flag = f"  {r['failed']} FAILED CALLS" if r["failed"] else ""
if r["startup_s"].endswith("+"):
    flag += "  START-UP NOT QUIET"
if r["drain_s"].endswith("+"):
    flag += "  NOT QUIET AT THE END: CPU cut short"
print(f"{r['history']:<8}{r['lines']:>4} lines  {r['ok']:>4} calls in {r['seconds']:.0f} s"
      f"  machine busy {100 * r['machine']:.0f} %, load {r['load']:.1f}"
      f"  (start-up settled in {r['startup_s']} s, quiet {r['drain_s']} s after the last call){flag}")
c, rc = r["cpu_call"], ref["cpu_call"]
def x(a, b):
    return f"{a / b:.2f}x" if b else "-"
print(f"   CPU/call over {c['calls']} calls: mean {c['mean']:.4f} s ({x(c['mean'], rc['mean'])}),"
      f" median {c['median']:.4f} s ({x(c['median'], rc['median'])}),"
      f" min-max {c['min']:.3f}-{c['max']:.3f} s (max {x(c['max'], rc['max'])}),"
      f" worst line's mean {c['worst_line']:.4f} s ({x(c['worst_line'], rc['worst_line'])})")
su, rsu = r["startup_cpu"], ref["startup_cpu"]
print(f"   start-up CPU per station: mean {su['mean']:.2f} s, max {su['max']:.2f} s"
      f" (empty history: mean {rsu['mean']:.2f} s, max {rsu['max']:.2f} s)")
print(f"   value  calls/h/line {fmt(r['calls_h'], 1)}  share {100 * r['share']:.2f} %"
      f"  wake/s {fmt(r['wake_s'], 1)}"
      f"  idle RSS {fmt(r['idle_mb'], 1)} MB  RSS {fmt(r['rss_mb'], 1)} MB")
print(f"   ratio  calls/h/line {ratio('calls_h')}  share {r['share'] / ref['share']:.2f}"
      f"  wake/s {ratio('wake_s')}  idle RSS {ratio('idle_mb')}  RSS {ratio('rss_mb')}")
EOF
}

echo "# scale_bench: lines $lines_list, histories $histories, window $window s, $cores cores;" \
  "$(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
started=$(date +%s)
# The empty history at every number of lines first: each later run is compared with the one
# of its number of lines.
declare -A reference
first=1
for lines in ${lines_list//,/ }; do
  run "$lines" empty
  reference[$lines]=$(cat "$scratch/result")
  if [ "$first" = 1 ]; then
    first=0
    # The emulator must really pace the line: no transfer of the first run faster than 9600
    # bit/s (960 bytes a second with start and stop bits), allowing 5 % for the clock.
    python3 - "$scratch/run/work/calls.jsonl" <<'EOF'
import json, sys
rates = [t["bytes_per_second"] for line in open(sys.argv[1])
         for t in json.loads(line)["transfers"]]
print(f"# pace check: {len(rates)} transfers in the first run, the fastest {max(rates):.0f} bytes/s")
if not rates or max(rates) > 960 * 1.05:
    sys.exit("scale_bench: the line is not paced at 9600 bit/s")
EOF
    if [[ ,$histories, == *,year,* ]]; then
      make_history year
      check_history "$scratch/tpl-year"
    elif [[ ,$histories, == *,offices,* ]]; then
      make_history offices
      check_history "$scratch/tpl-offices"
    fi
  fi
  show "${reference[$lines]}" "${reference[$lines]}"
done
targets=()
for history in ${histories//,/ }; do
  [ "$history" = empty ] && continue
  for lines in ${lines_list//,/ }; do
    run "$lines" "$history"
    result=$(cat "$scratch/result")
    show "$result" "${reference[$lines]}"
    if [ "$history" = year ]; then targets+=("$lines"); targets+=("$result"); fi
  done
done
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  python3 - "${targets[$((i + 1))]}" "${reference[${targets[$i]}]}" <<'EOF'
import json, sys
r, ref = json.loads(sys.argv[1]), json.loads(sys.argv[2])
c, rc = r["cpu_call"], ref["cpu_call"]
mean = c["mean"] / rc["mean"]
ok = mean <= 1.2 and not r["failed"]
print(f"target at {r['lines']} lines, year history: CPU/call mean {mean:.2f}x (<= 1.2); max"
      f" {c['max']:.3f} s against {rc['max']:.3f} s, worst line {c['worst_line'] / rc['worst_line']:.2f}x;"
      f" first start {r['startup_cpu']['max']:.2f} s CPU (rebuild included): {'PASS' if ok else 'FAIL'}")
EOF
done
echo "# whole run: $(($(date +%s) - started)) s"
exit
}

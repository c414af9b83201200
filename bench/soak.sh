#!/usr/bin/env bash
# Soak run: many whole calls from many simulated offices, against several stations at once,
# each on its own port, home and working directory. Every call delivers a changed table,
# collects a fresh traffic file and the day file of today. At the end it checks that
#   - every call succeeded;
#   - every traffic file was filed exactly once (the set of filed ddmmyyyyhhmmss.trf files
#     of each office is the set of traffic files it sent, and the cumulative of<n>.TRF of a
#     "tab" office is all of them in order);
#   - each station's resident memory (VmRSS) and open file descriptors (/proc/PID/fd) stayed
#     flat, sampled after each call once the station waits for the next one.
#
#   bench/soak.sh [CALLS] [OFFICES] [STATIONS]     defaults: 200 calls, 20 offices, 5 stations
#
# A call keeps a station busy for about 25 s (mostly its fixed waits), so the defaults take
# about 22 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
calls=${1:-200}
offices=${2:-20}
stations=${3:-5}
((offices % stations == 0)) || { echo "OFFICES must be a multiple of STATIONS" >&2; exit 2; }
per_station=$((offices / stations))
calls_per_station=$(((calls + stations - 1) / stations))
. bench/soak_lib.sh
soak_build marvolen marvolen-office marvolen-params marvolen-config
soak_scratch soak

# station S: runs the calls of station S, writing one line per call to its results file:
#   call OFFICE STATUS SECONDS RSS_KB FDS NEW_TRF_COUNT TRAFFIC_OK TABLE_OK DAY_OK
station() {
  local s=$1 dir=$scratch/station$1 port pid k n loc of ext
  port=$(free_port)
  soak_home "$dir"
  for ((k = 0; k < per_station; k++)); do soak_office "$dir" $((101 + s * per_station + k)); done
  soak_start "$dir" "127.0.0.1:$port" "$dir/station.out" marvolen --console
  pid=$station_pid
  soak_wait_ready "$dir/station.out" 1
  local i start end status before after new traffic_ok table_ok day_ok rss fds
  for ((i = 0; i < calls_per_station; i++)); do
    ((s * calls_per_station + i < calls)) || break
    n=$((101 + s * per_station + i % per_station))
    loc=$dir/work/loc$n
    of=$dir/office$n
    ext=$(soak_ext "$n")
    # A fresh traffic file, a changed table and today's day file.
    soak_traffic "$of/TRAFICO/TRAFICO.TRF" "soak station $s call $i office $n"
    mkdir -p "$dir/sent/$n"
    cp "$of/TRAFICO/TRAFICO.TRF" "$dir/sent/$n/$(printf '%04d' "$i").trf"
    soak_call_files "$dir" "$n" "$i"
    before=$(find "$loc" -maxdepth 1 -name '*.trf' | wc -l)
    start=$(date +%s.%N)
    set +e
    soak_office_call "$port" "$dir" "$n" >"$dir/call-$i.log" 2>&1
    status=$?
    set -e
    end=$(date +%s.%N)
    soak_wait_ready "$dir/station.out" $((i + 2)) || status=99
    after=$(find "$loc" -maxdepth 1 -name '*.trf' | wc -l)
    new=$((after - before))
    traffic_ok=0 table_ok=0 day_ok=0
    newest=$(find "$loc" -maxdepth 1 -name '*.trf' -newer "$dir/sent/$n/$(printf '%04d' "$i").trf" | head -n 1)
    [ -n "$newest" ] && cmp -s "$newest" "$dir/sent/$n/$(printf '%04d' "$i").trf" && traffic_ok=1
    cmp -s "$loc/TARIFA02.$ext" "$of/TARIFA02.$ext" && table_ok=1
    cmp -s "$loc/$today_name.daw" "$of/$today_name.daw" && day_ok=1
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
    fds=$(find "/proc/$pid/fd" -mindepth 1 | wc -l)
    echo "call $n $status $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }') $rss $fds $new $traffic_ok $table_ok $day_ok" \
      >>"$dir/results"
  done
  kill -TERM "$pid"
  wait "$pid" || true
}

echo "soak: $calls calls from $offices offices on $stations stations (scratch $scratch)"
soak_run_stations "$stations"

python3 - "$scratch" "$stations" "$per_station" "$elapsed" "$failed_workers" <<'EOF'
import hashlib, os, re, sys

scratch, stations, per_station, elapsed, failed_workers = sys.argv[1], *map(int, sys.argv[2:])
ok = failed_workers == 0
total_calls = good_calls = 0
durations = []
print("%-8s %5s %5s %8s %8s  %-24s  %-14s" % ("station", "calls", "good", "mean s", "max s",
                                                 "VmRSS kB first/last/max", "fds first/last/max"))
for s in range(stations):
    d = os.path.join(scratch, "station%d" % s)
    rows = [line.split() for line in open(os.path.join(d, "results"))] if os.path.exists(os.path.join(d, "results")) else []
    good = [r for r in rows if r[2] == "0" and r[6] == "1" and r[7:] == ["1", "1", "1"]]
    for r in rows:
        if r not in good:
            print("  station %d: call of office %s failed: %s" % (s, r[1], " ".join(r[2:])))
    total_calls += len(rows)
    good_calls += len(good)
    secs = [float(r[3]) for r in rows]
    durations += secs
    rss = [int(r[4]) for r in rows]
    fds = [int(r[5]) for r in rows]
    if not rows:
        print("%-8d no calls" % s)
        ok = False
        continue
    print("%-8d %5d %5d %8.1f %8.1f  %7d/%7d/%7d  %4d/%4d/%4d" % (
        s, len(rows), len(good), sum(secs) / len(secs), max(secs),
        rss[0], rss[-1], max(rss), fds[0], fds[-1], max(fds)))
    # Flat: the descriptors come back to where they were after the first call, and the
    # memory does not keep growing (less than 1 MiB above the first sample at the end).
    if fds[-1] != fds[0] or max(fds) > fds[0] + 2 or rss[-1] > rss[0] + 1024:
        print("  station %d: memory or descriptors not flat" % s)
        ok = False
    # Every traffic file filed exactly once, per office.
    for k in range(per_station):
        n = 101 + s * per_station + k
        loc = os.path.join(d, "work", "loc%d" % n)
        sent_dir = os.path.join(d, "sent", str(n))
        sent = sorted(os.listdir(sent_dir)) if os.path.isdir(sent_dir) else []
        digest = lambda p: hashlib.sha256(open(p, "rb").read()).hexdigest()
        sent_sums = [digest(os.path.join(sent_dir, f)) for f in sent]
        filed = [f for f in os.listdir(loc) if re.fullmatch(r"[0-9]{14}\.trf", f)]
        filed_sums = sorted(digest(os.path.join(loc, f)) for f in filed)
        if filed_sums != sorted(sent_sums):
            print("  office %d: %d traffic files sent, %d filed, contents differ: %s" % (
                n, len(sent), len(filed), filed_sums != sorted(sent_sums)))
            ok = False
        if n % 2 == 0:
            cumulative = os.path.join(loc, "of%d.TRF" % n)
            whole = b"".join(open(os.path.join(sent_dir, f), "rb").read() for f in sent)
            if not os.path.exists(cumulative) or open(cumulative, "rb").read() != whole:
                print("  office %d: of%d.TRF is not its traffic in order" % (n, n))
                ok = False
if good_calls != total_calls:
    ok = False
durations.sort()
print("calls: %d, successful: %d; call time (office dialling to hang-up) median %.1f s, max %.1f s" % (
    total_calls, good_calls, durations[len(durations) // 2] if durations else 0,
    durations[-1] if durations else 0))
print("wall time %d s (%.1f min), %.1f calls per minute" % (elapsed, elapsed / 60, 60.0 * total_calls / max(elapsed, 1)))
print("soak: %s" % ("PASS" if ok else "FAIL"))
sys.exit(0 if ok else 1)
EOF

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
cmake -S . -B build >/dev/null
cmake --build build --target marvolen marvolen-office marvolen-params marvolen-config -j2 >/dev/null
build=$PWD/build
scratch=$(mktemp -d "${TMPDIR:-/tmp}/marvolen-soak.XXXXXX")
workers=()
cleanup() {
  local w
  for w in "${workers[@]}"; do kill -TERM "$w" 2>/dev/null || true; done
  for p in "$scratch"/station*/pid; do
    [ -f "$p" ] && kill -TERM "$(cat "$p")" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  [ -n "${MARVOLEN_KEEP_SCRATCH:-}" ] && echo "kept $scratch" || rm -rf "$scratch"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
today=$(($(date -u -d "$(date +%F)" +%s) / 86400 + 25569))
today_name=$(date -d "1899-12-30 + $today days" +%d%m%Y)

# station S: runs the calls of station S, writing one line per call to its results file:
#   call OFFICE STATUS SECONDS RSS_KB FDS NEW_TRF_COUNT TRAFFIC_OK TABLE_OK DAY_OK
station() {
  local s=$1 dir=$scratch/station$1 port pid
  port=$(free_port)
  mkdir -p "$dir/home" "$dir/work/upgrades"
  MARVOLEN_HOME=$dir/home "$build/marvolen-config" set --port 1 --speed 38400 --password x \
    --workdir ../work >/dev/null
  local k n loc of ext kind
  for ((k = 0; k < per_station; k++)); do
    n=$((101 + s * per_station + k))
    loc=$dir/work/loc$n
    of=$dir/office$n
    mkdir -p "$loc" "$of/TRAFICO"
    "$build/marvolen-params" "$loc" set password "of$n" >/dev/null
    "$build/marvolen-params" "$loc" set Check_Id 1 >/dev/null
    "$build/marvolen-params" "$loc" set Id "" >/dev/null
    "$build/marvolen-params" "$loc" set Synchronize 1 >/dev/null
    "$build/marvolen-params" "$loc" set Reintentos 3 >/dev/null
    "$build/marvolen-params" "$loc" set PeriodoReintentos 15 >/dev/null
    "$build/marvolen-params" "$loc" set "inicio *.daw" "$today" >/dev/null
    "$build/marvolen-params" "$loc" set "ultimo *.daw" 0 >/dev/null
    ext=TBL
    ((n % 2)) || ext=TAB
    printf 'TARIFA %d\r\n' "$n" >"$loc/TARIFA01.$ext"
    cp "$loc/TARIFA01.$ext" "$of/"
  done

  MARVOLEN_HOME=$dir/home MARVOLEN_COM1=tcp-modem:127.0.0.1:$port \
    "$build/marvolen" --console >"$dir/station.out" 2>"$dir/station.err" &
  pid=$!
  echo "$pid" >"$dir/pid"
  # wait_ready COUNT: the station has shown "AT S0=1" COUNT times and waited out the answer.
  wait_ready() {
    local i
    for ((i = 0; i < 1200; i++)); do
      [ "$(grep -cx 'AT S0=1' "$dir/station.out")" -ge "$1" ] && { sleep 2.5; return 0; }
      sleep 0.1
    done
    return 1
  }
  wait_ready 1
  local i start end status before after new traffic_ok table_ok day_ok rss fds
  for ((i = 0; i < calls_per_station; i++)); do
    ((s * calls_per_station + i < calls)) || break
    n=$((101 + s * per_station + i % per_station))
    loc=$dir/work/loc$n
    of=$dir/office$n
    kind=tbl ext=TBL
    ((n % 2)) || { kind=tab ext=TAB; }
    # A fresh traffic file of 2 to 12 KiB, a changed table and today's day file.
    { printf 'soak station %d call %d office %d\r\n' "$s" "$i" "$n"
      head -c $((1536 + RANDOM % 7680)) /dev/urandom | base64 -w 60 | sed 's/$/\r/'; } \
      >"$of/TRAFICO/TRAFICO.TRF"
    mkdir -p "$dir/sent/$n"
    cp "$of/TRAFICO/TRAFICO.TRF" "$dir/sent/$n/$(printf '%04d' "$i").trf"
    printf 'TARIFA %d version %d\r\n' "$n" "$i" >"$loc/TARIFA02.$ext"
    printf 'day file of office %d, call %d\r\n' "$n" "$i" >"$of/$today_name.daw"
    before=$(find "$loc" -maxdepth 1 -name '*.trf' | wc -l)
    start=$(date +%s.%N)
    set +e
    timeout 300 "$build/marvolen-office" --station "127.0.0.1:$port" --dir "$of" --number "$n" \
      --password "of$n" --tables "$kind" --device-id "DEV$n" --redial 60 --timeout 120 \
      >"$dir/call-$i.log" 2>&1
    status=$?
    set -e
    end=$(date +%s.%N)
    wait_ready $((i + 2)) || status=99
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
started=$(date +%s)
for ((s = 0; s < stations; s++)); do
  station "$s" >"$scratch/worker$s.log" 2>&1 &
  workers+=($!)
  sleep 1
done
failed_workers=0
for w in "${workers[@]}"; do wait "$w" || failed_workers=$((failed_workers + 1)); done
workers=()
elapsed=$(($(date +%s) - started))

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

#!/usr/bin/env bash
# Kill soak: stations SIGKILLed at random moments of their calls and restarted, the offices
# calling again, and afterwards a look at what was filed. Several stations run at once, each on
# its own port, home and working directory, each serving three offices in turn over a paced
# emulated line at 38400 bit/s (so that the traffic and day-file transfers take seconds, and
# kills land inside them). Each call starts a random delay (0 to 32 s, seeded) after which the
# station is killed — before the office is admitted, while tables go out, while traffic comes
# in, between its filing and the office's deletion, while day files come in or are unpacked,
# or after the call ended — then started again. One kill in three is aimed instead, 0 to 39 ms
# after the end of the office's traffic or day-file transfer (while the station unpacks the
# archive) or after the office's acknowledgement of the traffic transfer (while the station
# files the traffic): a delay alone seldom hits those few milliseconds. An office whose call was cut calls again with
# the traffic it still holds; it gets a fresh traffic file (unique bytes) only once it has
# deleted the last one, which marvolen-office --keep-deleted moves aside as the record of what
# the office deleted. Once KILLS kills are done every office makes one call more without a
# kill, and every station is stopped and started once more. The run then prints and checks:
#   - kills done, and in which phase of the call each landed (the last line the station had
#     shown in its log view);
#   - calls attempted and succeeded;
#   - the traffic files the offices deleted, and of those how many were lost (no stamped
#     ddmmyyyyhhmmss.trf holds their bytes, or, for a "tab" office, the cumulative of<n>.TRF
#     does not) and how many filed twice (two stamped copies, or the cumulative file holding
#     them twice) — both must be 0; filed copies that hold bytes no office sent, and a
#     cumulative file that is not the stamped copies in filing order, fail the run too;
#   - temporary files (".NAME.PID.N.tmp") of a killed station still there after the next
#     start-up, and any temporary file at all after the final start-up — must be 0, listed;
#   - "calls.jsonl" read line by line as JSON. A line that does not parse counts as a torn
#     record, accepted only when it is not the last line and no record is glued to it (the
#     next record began on a line of its own); every other line must be a whole record, and
#     the file must end with a line end;
#   - how often "Tráfico ya archivado" was shown (traffic an earlier, killed call had filed).
# Exit status 1 when any of these fails.
#
#   bench/kill_soak.sh [KILLS] [STATIONS]     defaults: 200 kills, 7 stations
#   MARVOLEN_SOAK_SEED=N                      the seed of the kill delays (printed; default random)
#   MARVOLEN_KEEP_SCRATCH=1                   keep the scratch directory to look into
#
# A kill costs a station about 22 s (the delay, or the call up to the aimed moment, then about
# 9 s until a restarted station answers again), so the defaults took 18.4 minutes on a 2-core
# machine that was building and testing beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-200}
stations=${2:-7}
per_station=3
kills_per_station=$(((kills + stations - 1) / stations))
seed=${MARVOLEN_SOAK_SEED:-$((RANDOM * 32768 + RANDOM))}
. bench/soak_lib.sh
soak_build marvolen-station marvolen-office marvolen-params marvolen-config
soak_scratch kill-soak

# aimed_kill PID FILE SEEN LINE K NEXT DELAY_MS: kills PID DELAY_MS after FILE, past its first
# SEEN lines, holds LINE for the K-th time with NEXT (unless empty) as the line behind it;
# after 60 s without it, at once.
aimed_kill() {
  python3 - "$@" <<'AIM'
import os, signal, sys, time
pid, path, seen, line, k, after, delay = sys.argv[1:]
pid, seen, k, delay = int(pid), int(seen), int(k), int(delay)
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    try:
        lines = open(path, errors="replace").read().split("\n")[seen:-1]
    except FileNotFoundError:  # the office's log, not made yet
        lines = []
    marks = [i for i, l in enumerate(lines) if l == line]
    if len(marks) >= k and (not after or lines[marks[k - 1] + 1:marks[k - 1] + 2] == [after]):
        time.sleep(delay / 1000)
        break
    time.sleep(0.001)
os.kill(pid, signal.SIGKILL)
AIM
}

# station S: station S's kills and calls. Files in its directory:
#   results   call OFFICE STATUS killed|clean, one line per office call
#   kills     kill OFFICE DELAY_MS RUN AIM: run RUN (its log view in run-RUN.out) was killed,
#             AIM 0 after a random delay, else aimed at an unpacking or a filing
#   temps     RUN PATH: a temporary file of a dead station still there after run RUN started
#   final-temps  every temporary file after the final start-up
station() {
  local s=$1 dir=$scratch/station$1 port line run=0 k n i=0 done_kills=0 delay office status
  local aim seen
  RANDOM=$((seed + s))
  port=$(free_port)
  line=127.0.0.1:$port,paced
  soak_home "$dir"
  : >"$dir/results"
  : >"$dir/kills"
  : >"$dir/temps"
  for ((k = 0; k < per_station; k++)); do soak_office "$dir" $((101 + s * per_station + k)); done
  start() {
    run=$((run + 1))
    soak_start "$dir" "$line" "$dir/run-$run.out" marvolen-station
    soak_wait_ready "$dir/run-$run.out" 1 0
    # A temporary file whose process is not this station's is one start-up did not clear.
    find "$dir/home" "$dir/work" -name '.*.tmp' | while read -r t; do
      [[ $t =~ \.([0-9]+)\.[0-9]+\.tmp$ ]] && [ "${BASH_REMATCH[1]}" != "$station_pid" ] &&
        echo "$run $t"
    done >>"$dir/temps" || true
  }
  # prepare N I: a fresh traffic file unless the office still holds one, a changed table and
  # today's day file.
  prepare() {
    local of=$dir/office$1
    if [ ! -e "$of/TRAFICO/TRAFICO.TRF" ]; then
      mkdir -p "$dir/sent/$1"
      soak_traffic "$of/TRAFICO/TRAFICO.TRF" "kill soak station $s office $1 call $2"
      cp "$of/TRAFICO/TRAFICO.TRF" "$dir/sent/$1/$(printf '%04d' "$2").trf"
    fi
    soak_call_files "$dir" "$1" "$2"
  }
  start
  while ((done_kills < kills_per_station && s * kills_per_station + done_kills < kills)); do
    n=$((101 + s * per_station + i % per_station))
    prepare "$n" "$i"
    # One kill in three is aimed at the few milliseconds in which the station writes what an
    # office sent, which a delay alone seldom hits: aim 1 and 3 as the office's traffic or
    # day-file transfer ends (the archive is unpacked), aim 2 at the office's acknowledgement
    # of the traffic transfer (the traffic is filed).
    aim=0
    ((RANDOM % 3)) || aim=$((1 + RANDOM % 3))
    delay=$((RANDOM % 32000))
    ((aim == 0)) || delay=$((RANDOM % 40))
    seen=$(wc -l <"$dir/run-$run.out")
    soak_office_call "$port" "$dir" "$n" --keep-deleted "$dir/kept/$n" >"$dir/call-$i.log" 2>&1 &
    office=$!
    if ((aim == 2)); then
      aimed_kill "$station_pid" "$dir/run-$run.out" "$seen" "Transferencia OK" 1 Ok "$delay"
    elif ((aim)); then
      aimed_kill "$station_pid" "$dir/call-$i.log" 0 "sending: Transferencia Ok" $(((aim + 1) / 2)) "" \
        "$delay"
    else
      sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
      kill -KILL "$station_pid" || { echo "station $s: run $run ended before its kill" >&2; exit 1; }
    fi
    wait "$station_pid" 2>/dev/null || true
    done_kills=$((done_kills + 1))
    echo "kill $n $delay $run $aim" >>"$dir/kills"
    # Started again before the office is waited for: one that had not been greeted yet keeps
    # dialling until a station answers.
    start
    status=0
    wait "$office" || status=$?
    echo "call $n $status killed" >>"$dir/results"
    i=$((i + 1))
  done
  for ((k = 0; k < per_station; k++)); do
    n=$((101 + s * per_station + k))
    prepare "$n" "$i"
    status=0
    soak_office_call "$port" "$dir" "$n" --keep-deleted "$dir/kept/$n" >"$dir/call-$i.log" 2>&1 ||
      status=$?
    echo "call $n $status clean" >>"$dir/results"
    i=$((i + 1))
  done
  kill -TERM "$station_pid"
  wait "$station_pid" || true
  start
  find "$dir/home" "$dir/work" -name '.*.tmp' >"$dir/final-temps"
  kill -TERM "$station_pid"
  wait "$station_pid" || true
}

echo "kill soak: $kills kills on $stations stations, $per_station offices each, seed $seed (scratch $scratch)"
soak_run_stations "$stations"

python3 - "$scratch" "$stations" "$per_station" "$elapsed" "$failed_workers" "$seed" <<'EOF'
import collections, glob, hashlib, json, os, re, sys

scratch, stations, per_station, elapsed, failed_workers, seed = sys.argv[1], *map(int, sys.argv[2:])
ok = failed_workers == 0
if failed_workers:
    print("FAIL: %d station workers failed (see worker*.log)" % failed_workers)
digest = lambda p: hashlib.sha256(open(p, "rb").read()).hexdigest()
# A file a failed worker did not get to write reads as empty: the run has failed already.
lines_of = lambda p: open(p, errors="replace").read().splitlines() if os.path.exists(p) else []

def phase(lines):
    """Where the station was in a call, from the last lines of its log view."""
    where, received, del_oks = "waiting for a call", 0, None
    for line in lines:
        if line.startswith("CONNECT") or line == "RING":
            where, received, del_oks = "admission", 0, None
        elif line.startswith("Enviando archivo"):
            where = "tables going out"
        elif line.startswith("Recibiendo archivo"):
            received += 1
            where = "traffic coming in" if received == 1 else "day files coming in"
        elif line == "Transferencia OK":
            where = "traffic filing, before the DEL" if received == 1 else "day files unpacking"
        elif line == "Borrando Tráfico":
            del_oks = 0
        elif line == "Ok" and del_oks is not None:
            del_oks += 1
            if del_oks == 2 and received == 1:
                where = "traffic deleted, before day files"
        elif line.startswith("Sincronizo") or line == "Comunicación exitosa":
            where = "clock and goodbye"
        elif line.startswith("Fin de llamada: exitosa"):
            where = "after a successful call"
        elif line.startswith("Fin de llamada"):
            where = "after a failed call"
    return where

kills, aimed, phases = 0, 0, collections.Counter()
attempted = succeeded = clean_failed = 0
deleted = lost = twice = strays = bad_cumulative = still_held = 0
left_temps, final_temps = [], []
already = removed_temps = 0
records = torn = 0
results = collections.Counter()
for s in range(stations):
    d = os.path.join(scratch, "station%d" % s)
    for line in lines_of(os.path.join(d, "kills")):
        kills += 1
        run, aim = line.split()[3:5]
        aimed += aim != "0"
        phases[phase(lines_of(os.path.join(d, "run-%s.out" % run)))] += 1
    for line in lines_of(os.path.join(d, "results")):
        _, office, status, kind = line.split()
        attempted += 1
        succeeded += status == "0"
        if kind == "clean" and status != "0":
            clean_failed += 1
            print("FAIL: the last call of office %s (no kill) failed, status %s" % (office, status))
    left_temps += lines_of(os.path.join(d, "temps"))
    final_temps += lines_of(os.path.join(d, "final-temps"))
    for out in glob.glob(os.path.join(d, "run-*.out")):
        text = open(out, errors="replace").read()
        already += text.count("Tráfico ya archivado como ")
        removed_temps += text.count("Borrado archivo temporal de una escritura interrumpida: ")

    for k in range(per_station):
        n = 101 + s * per_station + k
        loc = os.path.join(d, "work", "loc%d" % n)
        sent = {digest(p) for p in glob.glob(os.path.join(d, "sent", str(n), "*.trf"))}
        gone = glob.glob(os.path.join(d, "kept", str(n), "*-TRAFICO.TRF"))
        stamped = sorted((f for f in os.listdir(loc) if re.fullmatch(r"[0-9]{14}\.trf", f)),
                         key=lambda f: f[4:8] + f[2:4] + f[0:2] + f[8:14])
        filed = collections.Counter(digest(os.path.join(loc, f)) for f in stamped)
        cumulative = None
        if n % 2 == 0:
            path = os.path.join(loc, "of%d.TRF" % n)
            cumulative = open(path, "rb").read() if os.path.exists(path) else b""
            whole = b"".join(open(os.path.join(loc, f), "rb").read() for f in stamped)
            if cumulative != whole:
                bad_cumulative += 1
                print("FAIL: office %d: of%d.TRF (%d bytes) is not its %d stamped copies in order (%d bytes)"
                      % (n, n, len(cumulative), len(stamped), len(whole)))
        for p in gone:
            deleted += 1
            bytes_, h = open(p, "rb").read(), digest(p)
            times = max(filed[h], cumulative.count(bytes_) if cumulative is not None else 1)
            if filed[h] == 0 or (cumulative is not None and bytes_ not in cumulative):
                lost += 1
                print("FAIL: office %d deleted %s, which was not filed (stamped copies %d)" % (n, p, filed[h]))
            elif times > 1:
                twice += 1
                print("FAIL: office %d deleted %s, filed %d times" % (n, p, times))
        for f in stamped:
            if digest(os.path.join(loc, f)) not in sent:
                strays += 1
                print("FAIL: office %d: %s holds bytes the office never sent" % (n, f))
        if os.path.exists(os.path.join(d, "office%d" % n, "TRAFICO", "TRAFICO.TRF")):
            still_held += 1
            print("FAIL: office %d still holds traffic after its last call" % n)

    log = os.path.join(d, "work", "calls.jsonl")
    data = open(log, "rb").read() if os.path.exists(log) else b""
    if data and not data.endswith(b"\n"):
        ok = False
        print("FAIL: station %d: calls.jsonl does not end with a line end" % s)
    lines = data.split(b"\n")[:-1] if data else []
    for i, raw in enumerate(lines):
        try:
            rec = json.loads(raw)
            if not isinstance(rec, dict):
                raise ValueError("not an object")
            records += 1
            results[rec.get("result")] += 1
        except ValueError:
            glued = raw.find(b'{"admitted"', 1) >= 0
            if i + 1 == len(lines) or glued:
                ok = False
                print("FAIL: station %d: calls.jsonl line %d is no record: %r" % (s, i + 1, raw[:120]))
            else:
                torn += 1

for t in left_temps:
    print("FAIL: left after a start-up: %s" % t)
for t in final_temps:
    print("FAIL: left after the final start-up: %s" % t)
ok = ok and not (clean_failed or lost or twice or strays or bad_cumulative or still_held
                 or left_temps or final_temps)
print("seed %d; kills: %d (%d of them aimed at an unpacking or a filing), by the phase they landed in:" % (seed, kills, aimed))
for name, count in sorted(phases.items(), key=lambda x: -x[1]):
    print("  %-36s %4d" % (name, count))
print("calls attempted: %d, succeeded: %d (the last call of each office, without a kill: %d failed)"
      % (attempted, succeeded, clean_failed))
print("traffic files the offices deleted: %d; lost: %d; filed twice: %d; filed but never sent: %d;"
      " cumulative files not in order: %d; still held at the end: %d"
      % (deleted, lost, twice, strays, bad_cumulative, still_held))
print("\"Tráfico ya archivado\" shown: %d" % already)
print("temporary files removed at start-up: %d; left after a start-up: %d; after the final start-up: %d"
      % (removed_temps, len(left_temps), len(final_temps)))
print("calls.jsonl: %d records (%s), %d torn lines closed by the next record"
      % (records, ", ".join("%s %d" % kv for kv in sorted(results.items(), key=str)), torn))
print("wall time %d s (%.1f min)" % (elapsed, elapsed / 60))
print("kill soak: %s" % ("PASS" if ok else "FAIL"))
sys.exit(0 if ok else 1)
EOF

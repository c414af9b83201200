#!/usr/bin/env bash
# Where the time of one whole call goes: one station on the console and one simulated office
# make a complete call (tables and an upgrade delivered, an unused table deleted, traffic and
# two day files collected, clock set, dismissed). The station's log view and the office's
# output are time-stamped as they arrive, and the call's time is split into
#   - the station's fixed waits, summed from what it did in the call (1 s before and after
#     "Recibir dato", 0.5 s per reply line read, 5 s before each receive, 1 s in AbortCall,
#     and the line reset: 1 s + 1 s around reopening the port, then ATZ, AT&D2, AT S0=1 with
#     1 s between them, 20 ms per command byte and 2 s for each modem answer);
#   - the time the block transfers spend moving data (each transfer's span, less the fixed
#     5 s before a receive);
#   - the rest: timer ticks, the office's turnarounds, admission and archive work.
# It runs once with the line unpaced (loopback speed) and once paced at the configured speed.
#
#   bench/call_breakdown.sh [TRAFFIC_KIB] [SPEED]     defaults: 16 KiB of traffic, 9600 bit/s
set -euo pipefail
cd "$(dirname "$0")/.."
traffic_kib=${1:-16}
speed=${2:-9600}
cmake -S . -B build >/dev/null
cmake --build build --target marvolen marvolen-office marvolen-params marvolen-config -j2 >/dev/null
build=$PWD/build
scratch=$(mktemp -d "${TMPDIR:-/tmp}/marvolen-breakdown.XXXXXX")
station_pid=
cleanup() {
  if [ -n "$station_pid" ] && kill -0 "$station_pid" 2>/dev/null; then
    kill -TERM "$station_pid" && wait "$station_pid" || true
  fi
  if [ -n "${MARVOLEN_KEEP_SCRATCH:-}" ]; then echo "kept $scratch" >&2; else rm -rf "$scratch"; fi
}
trap cleanup EXIT

stamp() { python3 -u -c '
import sys, time
for line in sys.stdin:
    sys.stdout.write("%.3f %s" % (time.time(), line))
    sys.stdout.flush()'; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
today=$(($(date -u -d "$(date +%F)" +%s) / 86400 + 25569))
day_name() { date -d "1899-12-30 + $1 days" +%d%m%Y; }

one_call() { # one_call LABEL DEVICE_SUFFIX
  local label=$1 suffix=$2 run=$scratch/$1 port
  port=$(free_port)
  mkdir -p "$run/home" "$run/work/loc07" "$run/work/upgrades" "$run/office/TRAFICO"
  MARVOLEN_HOME=$run/home "$build/marvolen-config" set --port 1 --speed "$speed" --password x \
    --workdir ../work >/dev/null
  local loc=$run/work/loc07 p
  for p in "password b7" "UpGrade 1" "Synchronize 1" "Reintentos 3" "PeriodoReintentos 15" \
    "Check_Id 0" "inicio *.daw:$((today - 1))" "ultimo *.daw:$today"; do
    if [[ $p == *:* ]]; then
      "$build/marvolen-params" "$loc" set "${p%%:*}" "${p##*:}" >/dev/null
    else
      "$build/marvolen-params" "$loc" set ${p} >/dev/null
    fi
  done
  head -c 3000 /dev/urandom | base64 >"$loc/TARIFA01.TBL"
  head -c 3000 /dev/urandom | base64 >"$loc/TARIFA02.TBL"
  head -c 2000 /dev/urandom | base64 >"$run/work/upgrades/PROGRAMA.UPG"
  cp "$loc/TARIFA01.TBL" "$run/office/"
  printf 'older tariff\r\n' >"$run/office/TARIFA02.TBL"
  printf 'unused\r\n' >"$run/office/ANTIGUA1.TBL"
  # Traffic of varied text, so that it packs about as well as real traffic does.
  python3 -c '
import random, sys
random.seed(7)
out, n = [], int(sys.argv[1]) * 1024
while sum(map(len, out)) < n:
    out.append("%02d/12/2026 %02d:%02d;cabina %02d;%08d;00:%02d:%02d;%d.%02d\r\n" % (
        random.randint(1, 28), random.randint(0, 23), random.randint(0, 59), random.randint(1, 40),
        random.randint(0, 99999999), random.randint(0, 59), random.randint(0, 59),
        random.randint(0, 9), random.randint(0, 99)))
sys.stdout.write("".join(out))' "$traffic_kib" >"$run/office/TRAFICO/TRAFICO.TRF"
  for d in $((today - 1)) "$today"; do
    head -c 1500 /dev/urandom | base64 >"$run/office/$(day_name "$d").daw"
  done

  MARVOLEN_HOME=$run/home MARVOLEN_COM1=tcp-modem:127.0.0.1:$port$suffix \
    "$build/marvolen" --console > >(stamp >"$run/station.out") 2>"$run/station.err" &
  station_pid=$!
  # Dial only once the station waits for calls, so that the figures hold no redialling.
  local i
  for ((i = 0; i < 600; i++)); do
    awk '$2 == "AT" && $3 == "S0=1" { s = 1; next } s && $2 == "OK" { f = 1 } END { exit !f }' \
      "$run/station.out" 2>/dev/null && break
    sleep 0.1
  done
  sleep 2.5 # the station waits out the modem's answer time after "AT S0=1"
  "$build/marvolen-office" --station "127.0.0.1:$port" --dir "$run/office" --number 7 \
    --password b7 --redial 30 > >(stamp >"$run/office.out") 2>&1 || {
    echo "the call failed" >&2
    cat "$run/office.out" >&2
    exit 1
  }
  # Wait for the line reset that ends the call.
  for ((i = 0; i < 300; i++)); do
    [ "$(grep -c ' AT S0=1$' "$run/station.out")" -ge 2 ] &&
      awk '$2 == "OK" { ok = NR } END { exit !ok }' "$run/station.out" &&
      [ "$(tail -n 1 "$run/station.out" | cut -d' ' -f2-)" = OK ] && break
    sleep 0.1
  done
  kill -TERM "$station_pid" && wait "$station_pid" || true
  station_pid=
  sleep 0.2
  python3 - "$label" "$run/station.out" "$run/office.out" "$run/office/TRAFICO" "$loc" <<'EOF'
import glob, os, sys

label, station_file, office_file, _, loc = sys.argv[1:]

def read(path):
    rows = []
    for line in open(path, encoding="utf-8", errors="replace"):
        t, _, text = line.rstrip("\n").partition(" ")
        rows.append((float(t), text))
    return rows

station, office = read(station_file), read(office_file)
texts = [text for _, text in station]
# The call runs from the office's (last) dialling to the end of the station's line reset
# after it. The reset ends when the station has waited out the modem's 2 s answer time after
# sending "AT S0=1", whose echo it shows as soon as the modem returns it.
dialled = max(t for t, text in office if text.startswith("dialling "))
ring = next(i for i, (t, text) in enumerate(station) if t >= dialled)
stars_after = next(i for i in range(ring, len(texts)) if texts[i].startswith("*****"))
last_s0 = max(i for i, text in enumerate(texts) if text == "AT S0=1")
t = lambda i: station[i][0]
reset_end = t(last_s0) + 2.0
first = lambda text: next(i for i in range(ring, len(texts)) if texts[i] == text)

sends, receives = [], []
for i in range(ring, stars_after):
    if texts[i] == "Enviando archivo!.....":
        sends.append(t(i + 1) - t(i))
    if texts[i] == "Recibiendo archivo!...":
        receives.append(t(i + 1) - t(i))
commands = [text for _, text in office if text.startswith("command: ")]
reply_lines = 2 * len(commands)           # each command: its echo and its acknowledgement
tables_sent = "Enviando archivo!....." in texts[ring:stars_after]

fixed = {
    "1 s before and after \"Recibir dato\"": 2.0 if tables_sent else 0.0,
    "0.5 s per reply line (%d lines)" % reply_lines: 0.5 * reply_lines,
    "5 s before each receive (%d)" % len(receives): 5.0 * len(receives),
    "AbortCall after \"Salir\"": 1.0,
    "line reset (sleeps, command bytes, modem answers)":
        1.0 + 1.0 + 2 * 1.0 + 0.020 * (len("ATZ\r") + len("AT&D2\r") + len("AT S0=1\r")) + 3 * 2.0,
}
data = sum(sends) + sum(r - 5.0 for r in receives)
busy = t(stars_after) - dialled
total = reset_end - dialled
fixed_sum = sum(fixed.values())
sizes = {os.path.basename(p): os.path.getsize(p) for p in glob.glob(os.path.join(loc, "*"))}

print("== %s" % label)
print("  dialling to line reset         %6.2f s" % busy)
print("  line reset until waiting again %6.2f s" % (reset_end - t(stars_after)))
print("  whole call, dialling to waiting again %6.2f s" % total)
print("  phases: answer %.2f s (dialling to \"Conectándose ...\"), admission %.2f s" % (
    t(first("Conectándose ...")) - dialled,
    t(next(i for i in range(ring, len(texts)) if texts[i].startswith("Tablas:"))) - t(first("Conectándose ..."))))
print("  fixed waits                    %6.2f s  (%4.1f %%)" % (fixed_sum, 100 * fixed_sum / total))
for name, value in fixed.items():
    print("    %-48s %6.2f s" % (name, value))
print("  moving data                    %6.2f s  (%4.1f %%)" % (data, 100 * data / total))
for n, s in enumerate(sends):
    print("    send %d (envio.zip)                               %6.2f s" % (n + 1, s))
for n, r in enumerate(receives):
    print("    receive %d (after its 5 s wait)                   %6.2f s" % (n + 1, r - 5.0))
rest = total - fixed_sum - data
print("  rest (ticks, turnarounds, archives, admission) %6.2f s  (%4.1f %%)" % (rest, 100 * rest / total))
print("  commands %d, files filed: %s" % (len(commands), ", ".join(
    "%s %d B" % (k, v) for k, v in sorted(sizes.items()) if k.lower().endswith((".trf", ".daw")))))
EOF
}

echo "call breakdown: ${traffic_kib} KiB traffic, line speed $speed bit/s"
one_call "unpaced line (loopback)" ""
one_call "line paced at $speed bit/s" ",paced"

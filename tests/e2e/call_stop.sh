#!/usr/bin/env bash
# SIGTERM (the service's stop) while the station receives traffic the office trickles, a frame
# every two seconds: the station cancels the transfer, writes the call's record ("stopped",
# with the blocks that had come) and exits within 5 s. The office keeps its traffic.
source "$(dirname "$0")/call_lib.sh" "$1"

start_station
loc=$(new_office_record 41 parada)
printf 'TARIFA 41\r\n' >"$loc/TARIFA41.TBL"
of=$scratch/office41
mkdir -p "$of/TRAFICO"
cp "$loc/TARIFA41.TBL" "$of/"
head -c 40000 /dev/urandom | base64 >"$of/TRAFICO/TRAFICO.TRF"
cp "$of/TRAFICO/TRAFICO.TRF" "$scratch/traffic"

last_log=$scratch/stopped.log
call_from=$(($(wc -l <"$station_out") + 1))
timeout 240 "$build/marvolen-office" --station "127.0.0.1:$port" --dir "$of" --number 41 \
  --password parada --redial 60 --timeout 90 --slow-send 2 >"$last_log" 2>&1 &
office_pid=$!
await_view "Recibiendo archivo!..." 90
sleep 9 # the station's 5-second pause, then a few frames

started=$(date +%s%N)
kill -TERM "$station_pid"
# Looked at every 20 ms: the measure is the station's, not the wait's (tail --pid looks once a
# second, which alone could take a second off the margin).
for ((i = 0; i < 500; i++)); do
  kill -0 "$station_pid" 2>/dev/null || break
  sleep 0.02
done
kill -0 "$station_pid" 2>/dev/null && fail "the station still runs 10 s after SIGTERM"
status=0
wait "$station_pid" || status=$?
station_pid=
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
[ "$elapsed_ms" -lt 5000 ] || fail "the station took ${elapsed_ms} ms to stop"

call_view | grep -qxF "Transferencia cancelada: la estación se detiene" || fail "no cancel shown"
activity_log_has 00041 "Llamada cortada: la estación se detiene" 1
check_records aborted:stopped
[ "$(record_field 0 'r["transfers"][-1]["direction"] == "receive" and r["transfers"][-1]["blocks"] >= 1')" = true ] ||
  fail "what moved is not on record: $(record_field 0 'r["transfers"]')"
[ -z "$(find "$loc" -maxdepth 1 \( -iname '*.trf' -o -iname 'recibo.zip' \))" ] ||
  fail "something of the stopped transfer was kept: $(ls "$loc")"

wait "$office_pid" && fail "the office's call ended well"
same_file "$of/TRAFICO/TRAFICO.TRF" "$scratch/traffic"
echo "stopped during a transfer: ok, exit ${elapsed_ms} ms after SIGTERM"

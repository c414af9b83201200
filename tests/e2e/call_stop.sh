#!/usr/bin/env bash
# SIGTERM (the service's stop) while the station receives an office's traffic, which the office
# trickles a frame every two seconds: the station cancels the transfer, writes the call's record
# ("stopped", with the blocks that had come) and exits within 5 s. The office keeps its traffic.
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
# The station pauses 5 s before it asks for the file; a few frames come in after that.
sleep 9
started=$(date +%s%N)
kill -TERM "$station_pid"
status=0
for ((i = 0; i < 100; i++)); do
  kill -0 "$station_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$station_pid" 2>/dev/null && fail "the station still runs 10 s after SIGTERM"
wait "$station_pid" || status=$?
station_pid=
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
echo "station exited with status $status ${elapsed_ms} ms after SIGTERM"
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
[ "$elapsed_ms" -lt 5000 ] || fail "the station took ${elapsed_ms} ms to stop"

call_view | grep -qxF "Transferencia cancelada: la estación se detiene" ||
  fail "the transfer was not shown as cancelled"
call_view | grep -qxF "Llamada cortada: la estación se detiene" || fail "no line for the cut call"
activity_log_has 00041 "Llamada cortada: la estación se detiene" 1
activity_log_has 00041 "Comunicación abortada!!!!" 1

check_records aborted:stopped
record_field 0 'r["transfers"][-1]["direction"]' | grep -qx '"receive"' ||
  fail "last transfer: $(record_field 0 'r["transfers"]')"
blocks=$(record_field 0 'r["transfers"][-1]["blocks"]')
[ "$blocks" -ge 1 ] || fail "no block on record for the stopped transfer"
[ "$(record_field 0 'r["transfers"][-1]["bytes"]')" -ge 1024 ] ||
  fail "what moved is not on record: $(record_field 0 'r["transfers"][-1]')"
[ "$(record_field 0 'r["traffic"]')" = "[]" ] || fail "traffic filed from a stopped transfer"
[ -z "$(find "$loc" -maxdepth 1 -iname '*.trf' -o -maxdepth 1 -iname 'recibo.zip')" ] ||
  fail "something of the stopped transfer was kept: $(ls "$loc")"

# The office learns of the cancel (or the hang-up) and keeps its traffic.
wait "$office_pid" && fail "the office's call ended well"
same_file "$of/TRAFICO/TRAFICO.TRF" "$scratch/traffic"
grep -q "^sending: " "$last_log" || fail "the office did not finish its sending"

echo "stopped during a transfer: ok (${elapsed_ms} ms, $blocks blocks)"

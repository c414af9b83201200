#!/usr/bin/env bash
# What one caller or one station leaves behind must not be taken up by another:
#   1. a second station started on the home of a running one refuses to start;
#   2. an office that identifies and hangs up in the same breath leaves its identification
#      unread on the line; the next caller, who says nothing at all, is greeted and never
#      admitted as that office.
source "$(dirname "$0")/call_lib.sh" "$1"
caller=$(dirname "$0")/line_caller.py

start_station
for ((i = 0; i < 100; i++)); do
  grep -q "estación en marcha" "$scratch/station.err" 2>/dev/null && break
  sleep 0.1
done

# 1. Same home, another line: refused with a message, the running station unharmed.
set +e
MARVOLEN_HOME=$home MARVOLEN_COM1=tcp-modem:127.0.0.1:$(free_port) \
  timeout 20 "$build/marvolen-station" >"$scratch/second.out" 2>"$scratch/second.err"
second=$?
set -e
[ "$second" -eq 3 ] || fail "a second station on the same home exited $second, expected 3"
grep -q "ya hay otra estación en marcha en el directorio de la estación .*(proceso $station_pid)" \
  "$scratch/second.err" || fail "no clear refusal: $(cat "$scratch/second.err")"
[ ! -s "$scratch/second.out" ] || fail "the refused station showed: $(cat "$scratch/second.out")"
kill -0 "$station_pid" || fail "the running station is gone"

# 2. Office 7, known to the station with a password and a table, so that its identification
# would be admitted from whichever caller it seemed to come.
loc07=$(new_office_record 7 siete)
printf 'TARIFA 1\r\n' >"$loc07/TARIFA01.TBL"
of07=$scratch/office07
mkdir -p "$of07/TRAFICO"
printf 'traffic of office 7\r\n' >"$of07/TRAFICO/TRAFICO.TRF"

call ident-and-gone "$of07" 7 --password siete --hang-up-on-ident
grep -q "identification sent" "$last_log" || fail "office 7 did not identify"
# The station may still read what office 7 sent in its own call, before it sees the carrier
# gone; either way it resets the line before it answers again. Caller B dials after that reset.
a_from=$(grep -n "^Conectándose" "$station_out" | tail -n 1 | cut -d: -f1)
for ((i = 0; i < 300; i++)); do
  tail -n "+$a_from" "$station_out" | grep -q "^AT S0=1" && break
  sleep 0.1
done
b_from=$(($(wc -l <"$station_out") + 1))
sleep 1

set +e
python3 "$caller" "$port" quiet --deadline 30 --listen 3 >"$scratch/quiet.out" 2>&1
quiet=$?
set -e
last_log=$scratch/quiet.out
[ "$quiet" -eq 0 ] || fail "the silent caller was not just greeted"
! tail -n "+$b_from" "$station_out" | grep -q "^Oficina:" ||
  fail "the silent caller was admitted as office 7"
[ -z "$(find "$loc07" -iname '*.trf')" ] || fail "traffic filed for office 7"
echo "trust: ok"

#!/usr/bin/env bash
# The office answers the traffic request with an archive whose one member fails its CRC: the
# station takes the transfer as failed and aborts the call; nothing of the archive is filed,
# "Borrado de Tráfico" is not logged, the office is never told to delete its traffic and
# still holds it.
source "$(dirname "$0")/call_lib.sh" "$1"

start_station

loc41=$(new_office_record 41 averia)
printf 'TARIFA 41\r\n' >"$loc41/TARIFA41.TBL"
of41=$scratch/office41
mkdir -p "$of41/TRAFICO"
cp "$loc41/TARIFA41.TBL" "$of41/"
printf '07/12 00001;cabina 01;00:01:02;1.50\r\n' >"$of41/TRAFICO/TRAFICO.TRF"
cp "$of41/TRAFICO/TRAFICO.TRF" "$scratch/traffic"

call bad-crc "$of41" 41 --password averia --bad-archive bad-crc
[ "$office_status" -ne 0 ] || fail "a call with a damaged archive ended with status 0"
grep -q "sending an archive with a damaged entry" "$last_log" || fail "no damaged archive sent"
await_call_end 60
activity_log_has 00041 "Recibiendo archivo!...No se pudo abrir archivo"
activity_log_has 00041 "Comunicación abortada!!!!"
call_view | grep -q "^ERROR de descompresión:" || fail "the damaged member was not reported"
! activity_lines 00041 | grep -q "Borrado de Tráfico" || fail "traffic logged as deleted"
! grep -aq "Comunicación exitosa" "$work/volenlog.tcp" || fail "the call logged as a success"
! grep -qF 'DEL TRAFICO\TRAFICO.TRF' "$last_log" || fail "the office was told to delete its traffic"

# Nothing of the archive is on the station, and the office keeps its traffic.
[ -z "$(find "$loc41" -maxdepth 1 -iname '*.trf')" ] || fail "traffic filed: $(ls -a "$loc41")"
[ -z "$(find "$loc41" -maxdepth 1 -name '.*.tmp')" ] || fail "temporary files left: $(ls -a "$loc41")"
same_file "$of41/TRAFICO/TRAFICO.TRF" "$scratch/traffic"

echo "damaged archive: ok"

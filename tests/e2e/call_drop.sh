#!/usr/bin/env bash
# The office hangs up in the middle of sending its traffic: the station notices the carrier
# go within a second or two, even in the middle of a frame, aborts the call and says so in the
# activity log; it files nothing from the broken transfer, and the office still holds its
# traffic. The next call collects it whole.
source "$(dirname "$0")/call_lib.sh" "$1"

start_station

loc31=$(new_office_record 31 caida)
printf 'TARIFA 31\r\n' >"$loc31/TARIFA31.TBL"
of31=$scratch/office31
mkdir -p "$of31/TRAFICO"
cp "$loc31/TARIFA31.TBL" "$of31/"
# ALTA.TBL goes on the line unpadded, so TARIFA31.TBL comes 5 places early.
printf 'a table the station does not hold\r\n' >"$of31/ALTA.TBL"
# Several blocks of traffic, so the line goes down with most of it still to come.
for i in $(seq 1 300); do printf '07/12 %05d;cabina %02d;00:%02d:%02d;%d.%02d\r\n' \
  "$i" $((i % 17)) $((i % 60)) $((i * 7 % 60)) $((i % 9)) $((i % 100)); done >"$of31/TRAFICO/TRAFICO.TRF"
cp "$of31/TRAFICO/TRAFICO.TRF" "$scratch/traffic"

call dropped "$of31" 31 --password caida --drop-in-transfer send
[ "$office_status" -ne 0 ] || fail "a dropped call ended with status 0"
grep -q "dropping the line in the middle of this transfer" "$last_log" || fail "the line was not dropped"
grep -qxF "command: Enviar  datoTRAFICO\\trafico.TRF" "$last_log" || fail "not dropped in the traffic"
# The receiver looks at the carrier every second, in the middle of a frame too.
dropped_at=$(date +%s)
await_call_end 30
await_records 1 5
[ $(($(date +%s) - dropped_at)) -le 10 ] || fail "the dropped call held the line"
call_view | grep -qxF "No Carrier" || fail "the receiver did not see the carrier go"
activity_log_has 00031 "Comunicación abortada!!!!"
activity_log_has 00031 "Recibo Tráfico....."
! grep -aq "Comunicación exitosa" "$work/volenlog.tcp" || fail "a dropped call logged as a success"

# Nothing from the broken transfer is filed or left as if it were the traffic.
[ -z "$(find "$loc31" -maxdepth 1 -iname '*.trf')" ] || fail "traffic filed from a dropped transfer: $(ls "$loc31")"
[ -z "$(find "$loc31" -maxdepth 1 -iname 'trafico.bak')" ] || fail "half a transfer kept as TRAFICO.BAK"
same_file "$of31/TRAFICO/TRAFICO.TRF" "$scratch/traffic"
[ "$(params "$loc31" get password | sed 's/ *$//')" = caida ] || fail "parameter file damaged"

# The office calls again and this time its traffic is collected and filed once. Its
# parameters take no upgrades, so the one waiting on the station is not offered.
mkdir -p "$work/upgrades"
printf 'program for offices that take upgrades\r\n' >"$work/upgrades/PROGRAMA.UPG"
call again "$of31" 31 --password caida
expect_success
[ "$(summary_field received)" = "-" ] || fail "office 31 received: $(summary_field received)"
absent "$of31/upgrade"
# Without upgrades the short name ALTA.TBL, whose probe finds no dot, is not deleted; the
# table behind it was read in its shifted place and found up to date.
grep -q '^file list: "ALTA\.TBL[0-9]' "$last_log" || fail "ALTA.TBL not written unpadded: $(grep '^file list' "$last_log")"
call_view | grep -qxF "Tablas:  ALTA.TBL TARIFA31.TBL" || fail "office 31's list: $(call_view | grep '^Tablas:')"
call_view | grep -qxF "Tablas ya actualizadas" || fail "TARIFA31.TBL not found up to date"
! grep -q "^command: DEL [^T]" "$last_log" || fail "deleted: $(grep '^command: DEL' "$last_log")"
present "$of31/ALTA.TBL"
mapfile -t filed < <(find "$loc31" -maxdepth 1 -regextype posix-extended -regex '.*/[0-9]{14}\.trf' -printf '%f\n')
[ "${#filed[@]}" -eq 1 ] || fail "traffic filed: ${filed[*]:-none}"
same_file "$loc31/${filed[0]}" "$scratch/traffic"
absent "$of31/TRAFICO/TRAFICO.TRF"
activity_log_has 00031 "Comunicación exitosa"

# The broken call is on record as an abort for the lost carrier, with its transfer, then the
# good one.
check_records aborted:carrier_lost success
record_field 0 'r["transfers"][-1]' | grep -q '"direction": "receive"' ||
  fail "dropped transfer: $(record_field 0 'r["transfers"]')"
[ "$(record_field 0 'r["traffic"]')" = "[]" ] || fail "traffic on record for the dropped call"
report_line 31 | grep -q " success " || fail "report for office 31: $(report_line 31)"

echo "dropped transfer: ok"

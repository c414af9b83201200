#!/usr/bin/env bash
# Whole calls of "tbl" offices against one station: office 7 gets its new and changed tables
# and the upgrades meant for it, has its unused table deleted, gives its traffic and an
# explicit range of day files, has its clock set and is dismissed with its retry settings.
# Office 8 then gets only the upgrades meant for every office and for itself, and office 9,
# which sends a blank feature flag, gets neither upgrades nor a clock setting. The upgrades
# directory and office 8's directory are spelled in upper case, and office 8 reports a short
# table name the station does not hold, which it is told to delete as an upgrade.
source "$(dirname "$0")/call_lib.sh" "$1"

today=$(today_serial)
# Made before the station starts, which takes it for its "upgrades".
upgrades=$work/UPGRADES
mkdir -p "$upgrades"
start_station

# Upgrades on the station: offered by their 12-character names only.
printf 'program for every office\r\n' >"$upgrades/PROGRAMA.upg"
printf 'patch for office 7\r\n' >"$upgrades/OFICINA.0007"
printf 'second patch for office 7\r\n' >"$upgrades/ACTUALIZ0007"
printf 'patch for office 8\r\n' >"$upgrades/OFICINA.0008"
printf 'short name, never offered\r\n' >"$upgrades/PROG.UPG"

# ---- office 7: the whole script
loc07=$(new_office_record 7 ab7)
params "$loc07" set UpGrade 1 >/dev/null
params "$loc07" set Reintentos 200 >/dev/null
params "$loc07" set PeriodoReintentos 1234 >/dev/null
params "$loc07" set "inicio *.daw" $((today - 3)) >/dev/null
params "$loc07" set "ultimo *.daw" $((today - 2)) >/dev/null
printf 'TARIFA 1;urbano=0.10\r\n' >"$loc07/TARIFA01.TBL"
printf 'TARIFA 2;urbano=0.12;movil=0.45\r\n' >"$loc07/TARIFA02.TBL"
printf 'TARIFA 3;internacional=1.10\r\n' >"$loc07/TARIFA03.TBL"
cp "$loc07/MARVOLEN.TCP" "$scratch/loc07-params-before"

of7=$scratch/office07
mkdir -p "$of7/TRAFICO"
cp "$loc07/TARIFA01.TBL" "$of7/"
printf 'TARIFA 2;urbano=0.11\r\n' >"$of7/TARIFA02.TBL"
printf 'old table, no longer used\r\n' >"$of7/ANTIGUA1.TBL"
for i in $(seq 1 40); do printf '07/12 10:%02d;cabina %d;00:03:%02d;1.20\r\n' "$i" "$i" "$i"; done \
  >"$of7/TRAFICO/TRAFICO.TRF"
cp "$of7/TRAFICO/TRAFICO.TRF" "$scratch/traffic07"
for d in $((today - 3)) $((today - 2)) $((today - 1)); do
  printf 'day %s\r\n' "$(day_name "$d")" >"$of7/$(day_name "$d").daw"
done

call office07 "$of7" 7 --password ab7
expect_success
check_records success
check_transcript 0 ab7

# Tables: the changed and the missing one delivered, the unused one deleted at the office.
same_file "$of7/TARIFA01.TBL" "$loc07/TARIFA01.TBL"
same_file "$of7/TARIFA02.TBL" "$loc07/TARIFA02.TBL"
same_file "$of7/TARIFA03.TBL" "$loc07/TARIFA03.TBL"
absent "$of7/ANTIGUA1.TBL"
call_view | grep -qxF 'Borrando Tabla no utilizada: tablas\ANTIGUA1.TBL' || fail "no deletion shown"
grep -qxF 'command: DEL tablas\ANTIGUA1.TBL' "$last_log" || fail "no DEL command"

# Upgrades: the .upg one and the two named for office 7, none other.
[ "$(summary_field received)" = \
  "TARIFA02.TBL, TARIFA03.TBL, upgrade/ACTUALIZ0007, upgrade/OFICINA.0007, upgrade/PROGRAMA.UPG" ] ||
  fail "office 7 received: $(summary_field received)"
same_file "$of7/upgrade/OFICINA.0007" "$upgrades/OFICINA.0007"
same_file "$of7/upgrade/ACTUALIZ0007" "$upgrades/ACTUALIZ0007"
same_file "$of7/upgrade/PROGRAMA.UPG" "$upgrades/PROGRAMA.upg"
absent "$of7/upgrade/OFICINA.0008"
absent "$of7/upgrade/PROG.UPG"

# Traffic: filed once under the time of filing, no cumulative file for a "tbl" office, and
# deleted at the office.
mapfile -t filed < <(find "$loc07" -maxdepth 1 -name '*.trf' -printf '%f\n')
[ "${#filed[@]}" -eq 1 ] || fail "traffic files filed: ${filed[*]:-none}"
[[ ${filed[0]} =~ ^([0-9]{2})([0-9]{2})([0-9]{4})([0-9]{2})([0-9]{2})([0-9]{2})\.trf$ ]] ||
  fail "traffic filed as ${filed[0]}"
m=("${BASH_REMATCH[@]}")
filed_at=$(date -d "${m[3]}-${m[2]}-${m[1]} ${m[4]}:${m[5]}:${m[6]}" +%s)
((filed_at >= call_started && filed_at <= call_ended)) || fail "${filed[0]} is not the time of the call"
same_file "$loc07/${filed[0]}" "$scratch/traffic07"
[ -z "$(find "$loc07" -maxdepth 1 -iname 'of*.trf')" ] || fail "cumulative traffic for a tbl office"
absent "$of7/TRAFICO/TRAFICO.TRF"

# Day files: exactly the explicit range, and the range is not asked for again.
grep -qxF "command: Enviar  dato$(day_name $((today - 3))).daw $(day_name $((today - 2))).daw " \
  "$last_log" || fail "day files asked for: $(grep 'Enviar  dato.*daw' "$last_log")"
same_file "$loc07/$(day_name $((today - 3))).daw" "$of7/$(day_name $((today - 3))).daw"
same_file "$loc07/$(day_name $((today - 2))).daw" "$of7/$(day_name $((today - 2))).daw"
absent "$loc07/$(day_name $((today - 1))).daw"
[ "$(params "$loc07" get "inicio *.daw")" = 0 ] || fail "inicio *.daw: $(params "$loc07" get "inicio *.daw")"
[ "$(params "$loc07" get "ultimo *.daw")" = $((today - 2)) ] || fail "ultimo *.daw changed"

# Clock: set to the station's time during the call, and shown as set.
clock=$(summary_field clock)
[[ $clock =~ ^([0-9]{2})/([0-9]{2})/([0-9]{4})\ ([0-9:]{8})$ ]] || fail "clock: $clock"
clock_at=$(date -d "${BASH_REMATCH[3]}-${BASH_REMATCH[2]}-${BASH_REMATCH[1]} ${BASH_REMATCH[4]}" +%s)
((clock_at >= call_started && clock_at <= call_ended)) || fail "clock $clock outside the call"
call_view | grep -qxF "Sincronizo fecha/hora: $clock" || fail "clock setting not shown"

# Dismissal: the retry count keeps its low byte as a signed value (200 -> -56 -> 56) and both
# fields keep their last digits.
grep -qxF "  Salir56234" "$last_log" || fail "no Salir56234 command"
[ "$(summary_field salir)" = "retries 56, period 234" ] || fail "salir: $(summary_field salir)"

# The activity log gets the call's events when the call ends.
summary=$(call_view | grep '^Traf:') || fail "no summary line shown"
for line in "$summary" "Tablas:  ANTIGUA1.TBL TARIFA01.TBL TARIFA02.TBL" \
  "Envío de Tablas......" "Enviando archivo!.....Transferencia Ok" \
  'Borrando Tabla no utilizada: tablas\ANTIGUA1.TBL' "Recibo Tráfico....." \
  "Recibiendo archivo!...Transferencia OK" "Borrado de Tráfico" "Recibo Administración......" \
  "Sincronizo fecha/hora: $clock" "Comunicación exitosa"; do
  activity_log_has 00007 "$line"
done
# The master copies stay as they were, apart from the written-back day range.
params "$loc07" set "inicio *.daw" $((today - 3)) >/dev/null
cmp -s "$loc07/MARVOLEN.TCP" "$scratch/loc07-params-before" || fail "parameter file changed otherwise"

# ---- office 8 in "LOC08": upgrades for every office and for itself only
loc08=$(new_office_record 8 ab8 LOC08)
params "$loc08" set UpGrade 1 >/dev/null
printf 'TARIFA 1;urbano=0.10\r\n' >"$loc08/TARIFA01.TBL"
of8=$scratch/office08
mkdir -p "$of8/upgrade"
cp "$loc08/TARIFA01.TBL" "$of8/"
# ALTA.TBL goes on the line unpadded, so TARIFA01.TBL comes 5 places early.
printf 'a table the station does not hold\r\n' >"$of8/ALTA.TBL"
call office08 "$of8" 8 --password ab8
# The station starts its line's reset (the row of asterisks) a second after the call.
resets_before=$(grep -cx '\*\{66\}' "$station_out" || true)
expect_success
[ "$(summary_field received)" = "upgrade/OFICINA.0008, upgrade/PROGRAMA.UPG" ] ||
  fail "office 8 received: $(summary_field received)"
call_view | grep -qxF "Tráfico ya enviado" || fail "office without traffic was asked for it"
[ -z "$(find "$loc08" -maxdepth 1 -iname '*.trf')" ] || fail "traffic filed for office 8"
[ ! -e "$work/loc08" ] && [ ! -e "$work/upgrades" ] || fail "lower-case directories made: $(ls "$work")"
# The short name has no dot where a padded name has its extension: with upgrades enabled it
# is deleted as an upgrade; TARIFA01.TBL behind it was read in its place, up to date.
grep -q '^file list: "ALTA\.TBL[0-9]' "$last_log" || fail "ALTA.TBL not written unpadded: $(grep '^file list' "$last_log")"
call_view | grep -qxF "Tablas:  ALTA.TBL TARIFA01.TBL" || fail "office 8's list: $(call_view | grep '^Tablas:')"
grep -qxF 'command: DEL upgrade\ALTA.TBL' "$last_log" || fail "no DEL upgrade\ALTA.TBL"
present "$of8/ALTA.TBL"
[ "$(params "$loc08" get "inicio *.daw")" = 0 ] || fail "office 8 day range changed"

# ---- office 9: a blank feature flag: no upgrades and no clock setting, even with UpGrade 1
loc09=$(new_office_record 9 ab9)
params "$loc09" set UpGrade 1 >/dev/null
printf 'TARIFA 9;urbano=0.09\r\n' >"$loc09/TARIFA09.TBL"
of9=$scratch/office09
mkdir -p "$of9"
cp "$loc09/TARIFA09.TBL" "$of9/"
# It dials as the station's reset after office 8's call closes the port, once, without
# redialling: the call rings through the reset and is answered once its modem answers again.
for ((i = 0; i < 300; i++)); do
  [ "$(grep -cx '\*\{66\}' "$station_out" || true)" -gt "$resets_before" ] && break
  sleep 0.05
done
call office09 "$of9" 9 --password ab9 --no-features --redial 0
expect_success
[ "$(grep -c '^dialling ' "$last_log")" -eq 1 ] || fail "office 9 dialled more than once"
# The log view shows its rings between the reset's start and the call (the last ones).
awk '/^\*{66}$/ { rang = 0 } /^RING$/ { rang = 1 } /^Conectándose/ { called = rang }
  END { exit !called }' "$station_out" || fail "office 9's call did not ring through the reset"
[ "$(summary_field received)" = "-" ] || fail "office 9 received: $(summary_field received)"
[ "$(summary_field clock)" = "-" ] || fail "office 9 clock set: $(summary_field clock)"
call_view | grep -qxF "Tablas ya actualizadas" || fail "no 'Tablas ya actualizadas' for office 9"
absent "$of9/upgrade"
grep -qxF "  Salir03015" "$last_log" || fail "office 9 not dismissed with Salir03015"

# ---- one record per call, with what went each way
check_records success success success
[ "$(record_field 0 '[f["name"] for f in r["files_sent"]]')" = \
  '["TARIFA02.TBL", "TARIFA03.TBL", "ACTUALIZ0007", "OFICINA.0007", "PROGRAMA.UPG"]' ] ||
  fail "files sent to office 7: $(record_field 0 'r["files_sent"]')"
[ "$(record_field 0 'r["deleted"]')" = '"tablas\\ANTIGUA1.TBL"' ] || fail "deleted: $(record_field 0 'r["deleted"]')"
[ "$(record_field 0 '[t["name"] for t in r["traffic"]]')" = "[\"${filed[0]}\"]" ] ||
  fail "traffic: $(record_field 0 'r["traffic"]')"
[ "$(record_field 0 '[f["name"] for f in r["day_files"]["received"]]')" = \
  "[\"$(day_name $((today - 3))).daw\", \"$(day_name $((today - 2))).daw\"]" ] ||
  fail "day files: $(record_field 0 'r["day_files"]')"
[ "$(record_field 0 '[t["direction"] for t in r["transfers"] if t["blocks"] > 0 and t["check"] == "crc"]')" = \
  '["send", "receive", "receive"]' ] || fail "transfers: $(record_field 0 'r["transfers"]')"
[ "$(record_field 2 '[r["office"], r["features"], r["clock_set"]]')" = '[9, false, null]' ] ||
  fail "office 9's record: $(record_field 2 'r')"

# ---- the report: each office's last call, and what its next call brings
for n in 7 8 9; do
  report_line $n | grep -q " success .* nothing$" || fail "report for office $n: $(report_line $n)"
done
# A master table changed after the call goes on the next one.
printf 'TARIFA 9;urbano=0.19\r\n' >"$loc09/TARIFA09.TBL"
report_line 9 | grep -q " TARIFA09\.TBL$" || fail "changed table not named: $(report_line 9)"
report --check >"$scratch/alerts" || fail "alerts right after three good calls: $(cat "$scratch/alerts")"
grep -q "^MARVOLEN OK - 3 oficinas, " "$scratch/alerts" || fail "status line: $(cat "$scratch/alerts")"
set +e
report --check --now "$(date -d '+40 hours' +%Y-%m-%dT%H:%M:%S%:z)" >"$scratch/alerts"
check_status=$?
set -e
# Silent offices warn; 40 hours on, the line's own heartbeat (when the station keeps one) is
# stale too, which is critical.
if grep -q "^CRITICAL: línea .*sin noticias" "$scratch/alerts"; then expected=2; else expected=1; fi
[ "$check_status" -eq "$expected" ] || fail "--check for silent offices exited $check_status"
grep -q "^WARNING: oficina 9: sin llamada desde hace" "$scratch/alerts" ||
  fail "alerts: $(cat "$scratch/alerts")"

# The station rewrites its status page after each call; a browser shows its table and chart.
for ((i = 0; i < 100; i++)); do
  grep -q 'data-label="oficina">9<' "$work/estado.html" 2>/dev/null && break
  sleep 0.1
done
check_page_in_browser "$work/estado.html" "$build/e2e-estado" 7 8 9

# ---- a delivery that takes longer than the call's base allowance, on a line paced at 2400
# bit/s with that allowance at one minute: the bytes it moves earn it the time it needs, so it
# completes (the bound is the call's progress, not its age). A random table does not shrink
# in the archive: some 17 KB take over 70 s at this speed.
stop_station
MARVOLEN_MAX_CALL_MINUTES=1 start_station 2400 ,paced
loc10=$(new_office_record 10 ab10)
head -c 17000 /dev/urandom >"$loc10/GRANDE01.TBL"
of10=$scratch/office10
mkdir -p "$of10"
call office10 "$of10" 10 --password ab10
expect_success
same_file "$of10/GRANDE01.TBL" "$loc10/GRANDE01.TBL"
! call_view | grep -q "^Llamada cortada" || fail "the paced call was cut: $(call_view | grep '^Llamada cortada')"
check_records success success success success
[ "$(record_field -1 '[t["seconds"] > 60 for t in r["transfers"] if t["direction"] == "send"]')" = \
  '[true]' ] || fail "the delivery did not outlast the base allowance: $(record_field -1 'r["transfers"]')"

echo "tbl calls: ok"

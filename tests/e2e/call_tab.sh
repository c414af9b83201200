#!/usr/bin/env bash
# Calls of a "tab" office pinned to its device: the first call stores the device identifier
# the office reports, gets its ".tab" and ".cos" tables up to date, files its traffic under
# its time-stamped name and in the cumulative of12.TRF, and collects the open range of day
# files up to today. A second call from the same device adds its traffic to of12.TRF; a call
# from another device is refused.
source "$(dirname "$0")/call_lib.sh" "$1"

today=$(today_serial)
start_station

loc12=$(new_office_record 12 tab12)
params "$loc12" set Check_Id 1 >/dev/null
params "$loc12" set Id "" >/dev/null
params "$loc12" set Reintentos 5 >/dev/null
params "$loc12" set PeriodoReintentos 30 >/dev/null
params "$loc12" set "inicio *.daw" $((today - 2)) >/dev/null
printf 'TAB 1;urbano=0.10;nuevo\r\n' >"$loc12/TARIFA01.TAB"
printf 'COSTOS 1;0.05\r\n' >"$loc12/COSTOS01.COS"

of12=$scratch/office12
mkdir -p "$of12/TRAFICO"
printf 'TAB 1;urbano=0.10\r\n' >"$of12/TARIFA01.TAB"
printf 'costs no longer used\r\n' >"$of12/VIEJA001.COS"
for i in $(seq 1 25); do printf 'first call;%03d;00:01:%02d\r\n' "$i" "$i"; done >"$of12/TRAFICO/TRAFICO.TRF"
cp "$of12/TRAFICO/TRAFICO.TRF" "$scratch/traffic-1"
for d in $((today - 2)) $((today - 1)) "$today"; do
  printf 'day %s\r\n' "$(day_name "$d")" >"$of12/$(day_name "$d").daw"
done

filed_traffic() { find "$loc12" -maxdepth 1 -regextype posix-extended -regex '.*/[0-9]{14}\.trf' -printf '%f\n' | sort; }

# ---- first call: the device identifier is stored
call first "$of12" 12 --tables tab --password tab12 --device-id CAJA0001
expect_success
call_view | grep -qx "Traf:S Tabla:S .* Llave:CAJA0001 .*" || fail "no tab summary line"
[ "$(params "$loc12" get Id | sed 's/ *$//')" = CAJA0001 ] || fail "Id stored: '$(params "$loc12" get Id)'"
same_file "$of12/TARIFA01.TAB" "$loc12/TARIFA01.TAB"
same_file "$of12/COSTOS01.COS" "$loc12/COSTOS01.COS"
absent "$of12/VIEJA001.COS"
grep -qxF 'command: DEL tablas\VIEJA001.COS' "$last_log" || fail "unused .cos table not deleted"

mapfile -t filed < <(filed_traffic)
[ "${#filed[@]}" -eq 1 ] || fail "traffic filed: ${filed[*]:-none}"
same_file "$loc12/${filed[0]}" "$scratch/traffic-1"
same_file "$loc12/of12.TRF" "$scratch/traffic-1"
absent "$of12/TRAFICO/TRAFICO.TRF"

# The open range runs up to today and the next call starts again from today.
grep -qxF "command: Enviar  dato$(day_name $((today - 2))).daw $(day_name $((today - 1))).daw $(day_name "$today").daw " \
  "$last_log" || fail "day files asked for: $(grep 'Enviar  dato.*daw' "$last_log")"
for d in $((today - 2)) $((today - 1)) "$today"; do
  same_file "$loc12/$(day_name "$d").daw" "$of12/$(day_name "$d").daw"
done
[ "$(params "$loc12" get "inicio *.daw")" = "$today" ] ||
  fail "inicio *.daw: $(params "$loc12" get "inicio *.daw"), expected $today"
grep -qxF "  Salir05030" "$last_log" || fail "not dismissed with Salir05030"
activity_log_has 00012 "Borrado de Tráfico"
activity_log_has 00012 "Comunicación exitosa"

# ---- second call from the same device: the traffic is appended to the cumulative file
for i in $(seq 1 7); do printf 'second call;%03d;00:02:%02d\r\n' "$i" "$i"; done >"$of12/TRAFICO/TRAFICO.TRF"
cp "$of12/TRAFICO/TRAFICO.TRF" "$scratch/traffic-2"
call second "$of12" 12 --tables tab --password tab12 --device-id CAJA0001
expect_success
call_view | grep -qxF "Tablas ya actualizadas" || fail "up-to-date tables sent again"
mapfile -t filed2 < <(filed_traffic)
[ "${#filed2[@]}" -eq 2 ] || fail "traffic filed after two calls: ${filed2[*]}"
new=$(comm -13 <(printf '%s\n' "${filed[@]}") <(printf '%s\n' "${filed2[@]}"))
same_file "$loc12/$new" "$scratch/traffic-2"
same_file "$loc12/${filed[0]}" "$scratch/traffic-1"
cat "$scratch/traffic-1" "$scratch/traffic-2" >"$scratch/traffic-both"
same_file "$loc12/of12.TRF" "$scratch/traffic-both"
grep -qxF "command: Enviar  dato$(day_name "$today").daw " "$last_log" ||
  fail "second call's day files: $(grep 'Enviar  dato.*daw' "$last_log")"
[ "$(params "$loc12" get "inicio *.daw")" = "$today" ] || fail "inicio *.daw moved"

# ---- another device with the same number and password is refused
printf 'third call;001\r\n' >"$of12/TRAFICO/TRAFICO.TRF"
cp "$of12/TRAFICO/TRAFICO.TRF" "$scratch/traffic-3"
call other-device "$of12" 12 --tables tab --password tab12 --device-id OTRO0002
expect_refused
[ "$(params "$loc12" get Id | sed 's/ *$//')" = CAJA0001 ] || fail "Id replaced by the other device"
same_file "$of12/TRAFICO/TRAFICO.TRF" "$scratch/traffic-3"
[ "$(filed_traffic | wc -l)" -eq 2 ] || fail "traffic filed for a refused device"
same_file "$loc12/of12.TRF" "$scratch/traffic-both"
activity_log_has 00012 "Ingreso No autorizado!!"

check_records success success refused:device_mismatch
check_transcript 2 tab12
[ "$(record_field 0 '[r["table_kind"], r["device_id"]]')" = '["tab", "CAJA0001"]' ] ||
  fail "first call's record: $(record_field 0 'r')"

echo "tab calls: ok"

#!/usr/bin/env bash
# Offices the station must not admit, one call each against one station: a wrong password,
# an identification whose two halves differ, an office number above 9999, an office the
# station has no directory for, offices without a single table on the station (a "tab"
# office with ".cos" files only among them), and an office whose lock cannot be taken. Each
# is refused with "Ingreso No autorizado!!" or turned away before the script, the office's
# call fails, and nothing of the office's changes on either side.
source "$(dirname "$0")/call_lib.sh" "$1"

start_station

# The password is no word the station writes ("clave incorrecta" is one), so finding it in a
# transcript can only mean it leaked.
loc21=$(new_office_record 21 pw21q)
printf 'TARIFA 1\r\n' >"$loc21/TARIFA01.TBL"
of21=$scratch/office21
mkdir -p "$of21/TRAFICO"
printf 'old table\r\n' >"$of21/VIEJA001.TBL"
printf 'traffic of office 21\r\n' >"$of21/TRAFICO/TRAFICO.TRF"
cp -r "$of21" "$scratch/office21-before"
cp "$loc21/MARVOLEN.TCP" "$scratch/loc21-params-before"

# untouched: neither the office's files nor the station's copy of office 21 changed.
untouched() {
  diff -r "$of21" "$scratch/office21-before" >/dev/null || fail "office 21's files changed"
  same_file "$loc21/MARVOLEN.TCP" "$scratch/loc21-params-before"
  # The office lock file (".marvolen-call.lock") stays once an admission has taken it.
  [ "$(find "$loc21" -type f ! -name .marvolen-call.lock | wc -l)" -eq 2 ] ||
    fail "files added to loc21: $(ls -A "$loc21")"
}

call wrong-password "$of21" 21 --password pw21q --wrong-password
expect_refused
grep -q "^identified: *yes" "$last_log" || fail "the office did not get to identify itself"
activity_log_has 00021 "Ingreso No autorizado!!"
untouched

# The halves are compared before anything else: no summary line, nothing read.
call differing-halves "$of21" 21 --password pw21q --differing-halves
expect_refused
call_view | grep -qx "Oficina: 00021  \*\*\*Conectada al centro de telesupervisión\*\*\*" ||
  fail "no office line for the differing halves"
! call_view | grep -q "^Traf:" || fail "summary shown for differing halves"
untouched

call number-10000 "$of21" 10000 --password pw21q
expect_refused
call_view | grep -qx "Traf:S Tabla:T .*" || fail "no summary line for office 10000"
[ -z "$(find "$work" -maxdepth 1 -name 'loc*' ! -name loc21 ! -name loc22 ! -name loc23)" ] ||
  fail "office directories made for refused numbers: $(ls "$work")"

# An office number with no directory on the station: refused as any caller the station does
# not serve, the parameter file's error shown as it always was; no directory is made for it.
call unknown-office "$of21" 4321 --password GALER
expect_refused
await_call_end
call_view | grep -q "^ERROR PROGRAMA: .*loc4321" || fail "no error shown for the unknown office"
activity_log_has 04321 "Ingreso No autorizado!!"
absent "$work/loc4321"
untouched

# Offices known to the station but without tables for their kind.
loc22=$(new_office_record 22 vacia)
call no-tables "$of21" 22 --password vacia
expect_refused
loc23=$(new_office_record 23 costo)
printf 'COSTOS\r\n' >"$loc23/COSTOS01.COS"
mkdir -p "$scratch/office23"
call cos-only "$scratch/office23" 23 --password costo --tables tab
expect_refused
[ -z "$(find "$loc22" "$loc23" -iname '*.trf')" ] || fail "traffic filed for a refused office"

# An office whose lock file is a symbolic link aimed outside: never followed, the call refused.
loc24=$(new_office_record 24 llave)
printf 'TARIFA 1\r\n' >"$loc24/TARIFA01.TBL"
ln -s "$scratch/ajeno.lock" "$loc24/.marvolen-call.lock"
call lock-link "$of21" 24 --password llave
expect_refused
lock_error="$loc24/.marvolen-call.lock: es un enlace simbólico, no se sigue"
activity_log_has 00024 "*ERROR Bloqueo de la oficina: $lock_error"
absent "$scratch/ajeno.lock"
untouched

# One record per attempt, the unknown office's with the parameter file's error.
check_records refused:wrong_password refused:halves_differ refused:bad_office_number \
  refused:unknown_office refused:no_tables refused:no_tables refused:lock_failed
[ "$(record_field 6 'r["detail"]')" = "\"$lock_error\"" ] || fail "no lock error in the record"
record_field 3 'r["detail"]' | grep -q "loc4321/MARVOLEN.TCP" || fail "no error in the record"
check_transcript 0 pw21q
[ "$(record_field 1 'r["office"]')" = null ] || fail "an office taken from differing halves"
report_line 21 | grep -q " refused:wrong_password " || fail "report for office 21: $(report_line 21)"
set +e
report --check --max-refusals 1 >"$scratch/alerts"
check_status=$?
set -e
[ "$check_status" -eq 1 ] && grep -q "^WARNING: oficina 21: 1 rechazo en 24 h" "$scratch/alerts" &&
  grep -q "^WARNING: oficina 4321: 1 rechazo en 24 h" "$scratch/alerts" ||
  fail "--check for refusals: $check_status $(cat "$scratch/alerts")"
# Every attempt counted as the refusal it was.
report --metrics "$scratch/metrics.prom"
grep -q '^marvolen_calls_total{line="[^"]*",result="refused"} 7$' "$scratch/metrics.prom" &&
  grep -q '^marvolen_calls_total{line="[^"]*",result="aborted"} 0$' "$scratch/metrics.prom" ||
  fail "metrics: $(grep calls_total "$scratch/metrics.prom")"

echo "refusals: ok"

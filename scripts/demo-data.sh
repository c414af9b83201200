#!/usr/bin/env bash
# Lays out a station and one office that can call it: demo-data.sh ROOT BUILD_DIR
#
#   ROOT/work/loc07     the station's copy of office 7: parameter file, master tables
#   ROOT/work/upgrades  an upgrade offered to every office that takes upgrades
#   ROOT/office07       the office's own directory: older tables, one the station no longer
#                       holds, its traffic file and two day files
#
# The station's settings record is not touched. Everything else is laid out afresh, so that
# every run of the demo shows the same whole call.
set -euo pipefail
root=$1
build=$2
work=$root/work
office=$root/office07

rm -rf "$work/loc07" "$work/upgrades" "$office"
mkdir -p "$work/loc07" "$work/upgrades" "$office/TRAFICO"

# Today and yesterday as date serials (days since 30 December 1899) and as ddmmyyyy.
today=$(( $(date -u -d "$(date +%F)" +%s) / 86400 + 25569 ))
yesterday=$((today - 1))
day_name() { date -d "1899-12-30 + $1 days" +%d%m%Y; }

params=("$build/marvolen-params" "$work/loc07")
"${params[@]}" set password demo7 >/dev/null
"${params[@]}" set Check_Id 0 >/dev/null
"${params[@]}" set UpGrade 1 >/dev/null
"${params[@]}" set Synchronize 1 >/dev/null
"${params[@]}" set Reintentos 3 >/dev/null
"${params[@]}" set PeriodoReintentos 15 >/dev/null
"${params[@]}" set "inicio *.daw" "$yesterday" >/dev/null
"${params[@]}" set "ultimo *.daw" "$today" >/dev/null

# The station's master tables: TARIFA01 is what the office already has, TARIFA02 is newer.
printf 'TARIFA 1;urbano=0.10;interurbano=0.25\r\n' >"$work/loc07/TARIFA01.TBL"
printf 'TARIFA 2;urbano=0.12;interurbano=0.30;movil=0.45\r\n' >"$work/loc07/TARIFA02.TBL"
printf 'upgrade of the office program, build 2026-12\r\n' >"$work/upgrades/PROGRAMA.UPG"

# The office: the same TARIFA1, an older TARIFA2, and ANTIGUA1.TBL that the station dropped.
cp "$work/loc07/TARIFA01.TBL" "$office/TARIFA01.TBL"
printf 'TARIFA 2;urbano=0.11;interurbano=0.28\r\n' >"$office/TARIFA02.TBL"
printf 'old table, no longer used\r\n' >"$office/ANTIGUA1.TBL"
for i in 1 2 3; do
  printf '0%d/12/2026 10:1%d;cabina %d;000%d;00:03:2%d;1.20\r\n' "$i" "$i" "$i" "$i" "$i"
done >"$office/TRAFICO/TRAFICO.TRF"
for d in "$yesterday" "$today"; do
  printf 'day file %s\r\n' "$(day_name "$d")" >"$office/$(day_name "$d").daw"
done

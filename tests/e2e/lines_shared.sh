#!/usr/bin/env bash
# Three stations, each with its own home and emulated modem, sharing one working directory,
# with offices calling across the lines at once:
#  1. office 7 dials lines 1 and 2 at the same moment while office 8 dials line 3: one of the
#     two calls of office 7 is served, the other refused as in a call on another line;
#  2. the refused office 7 calls again on line 3 (served: the first call's end let it go)
#     while office 9 calls the line that refused office 7;
#  3. line 1's station is killed (SIGKILL) in the middle of a call of office 8 while office 10
#     calls line 3; office 8's next call, on line 2, is served: the dead station's lock on
#     the office went with it;
#  4. offices 11, 12, 9 and 10 call the two lines left at once, redialling while a line is busy.
# Twelve calls from six offices in all. Every traffic file sent by a served call is filed exactly once, and the shared activity log
# holds whole lines only.
source "$(dirname "$0")/call_lib.sh" "$1"

lines=(1 2 3)
declare -A pid port out
cleanup() {
  local n
  for n in "${lines[@]}"; do
    [ -n "${pid[$n]:-}" ] && kill -TERM "${pid[$n]}" 2>/dev/null || true
  done
  sleep 0.3
  for n in "${lines[@]}"; do
    [ -n "${pid[$n]:-}" ] && kill -KILL "${pid[$n]}" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  if [ -z "${MARVOLEN_KEEP_SCRATCH:-}" ]; then rm -rf "$scratch"; else echo "kept $scratch" >&2; fi
}
show_stations() {
  local n
  for n in "${lines[@]}"; do
    echo "---- station $n (last lines)" >&2
    tail -n 40 "${out[$n]}" >&2
  done
}
fail() {
  echo "FAIL: $*" >&2
  show_stations
  exit 1
}

mkdir -p "$work"
for n in "${lines[@]}"; do
  port[$n]=$(free_port)
  out[$n]=$scratch/station$n.out
  mkdir -p "$scratch/home$n"
  MARVOLEN_HOME=$scratch/home$n "$build/marvolen-config" set --port 1 --speed 38400 \
    --password x --workdir ../work >/dev/null
  # Port 1 in every home: the line's name tells their state files apart.
  MARVOLEN_HOME=$scratch/home$n MARVOLEN_COM1=tcp-modem:127.0.0.1:${port[$n]} \
    MARVOLEN_LINE=linea$n "$build/marvolen-station" >"${out[$n]}" 2>"$scratch/station$n.err" &
  pid[$n]=$!
done

# office N [COPY]: the station's record for office N with a table to deliver, and the office's
# own directory COPY (several copies of one office may exist) with a traffic file that names it.
office() {
  local number=$1 copy=${2:-a} loc dir
  loc=$work/$(printf 'loc%02d' "$number")
  if [ ! -d "$loc" ]; then
    new_office_record "$number" "pw$number" >/dev/null
    printf 'TARIFA %d\r\n' "$number" >"$loc/TARIFA.TBL"
  fi
  dir=$scratch/office$number$copy
  mkdir -p "$dir/TRAFICO"
  for i in 1 2 3; do printf 'office %d copy %s record %d\r\n' "$number" "$copy" "$i"; done \
    >"$dir/TRAFICO/TRAFICO.TRF"
  cp "$dir/TRAFICO/TRAFICO.TRF" "$scratch/sent-$number$copy.trf"
}

# dial NAME NUMBER COPY LINE: one call in the background; its status lands in NAME.status.
dial() {
  local name=$1 number=$2 copy=$3 line=$4
  (
    set +e
    timeout 120 "$build/marvolen-office" --station "127.0.0.1:${port[$line]}" \
      --dir "$scratch/office$number$copy" --number "$number" --password "pw$number" \
      --redial 60 --timeout 60 >"$scratch/$name.log" 2>&1
    echo $? >"$scratch/$name.status"
  ) &
}
status() { cat "$scratch/$1.status"; }
served() { grep -qx "result:       success (dismissed by the station)" "$scratch/$1.log"; }
# await_calls NAME...: waits for the named background calls to end.
await_calls() {
  local name i
  for name in "$@"; do
    for ((i = 0; i < 1300; i++)); do
      [ -s "$scratch/$name.status" ] && break
      sleep 0.1
    done
    [ -s "$scratch/$name.status" ] || fail "call $name did not end"
  done
}
# Traffic a served call sent is expected on file once.
expected=()
expect_filed() { expected+=("$scratch/sent-$1.trf"); }

for n in 7 8 9 10; do office "$n" a; done
office 7 b

# ---- 1. office 7 on two lines at once
dial o7a 7 a 1
dial o7b 7 b 2
dial o8a 8 a 3
await_calls o7a o7b o8a
served o8a || fail "office 8 on line 3 was not served: $(tail -n 20 "$scratch/o8a.log")"
expect_filed 8a
if served o7a && ! served o7b; then
  refused=b refused_line=2
  expect_filed 7a
elif served o7b && ! served o7a; then
  refused=a refused_line=1
  expect_filed 7b
else
  fail "office 7: line 1 $(status o7a), line 2 $(status o7b); one call must be served, one refused"
fi
grep -qxF "Oficina en comunicación por otra línea" "${out[$refused_line]}" ||
  fail "line $refused_line does not say office 7 is in a call on another line"
grep -qxF "Ingreso No autorizado!!" "${out[$refused_line]}" || fail "no refusal on line $refused_line"
echo "phase 1: office 7 refused on line $refused_line"

# ---- 2. the refused office calls again, on line 3, beside office 9 on the line that refused
# it; the line that served office 7 takes no other call meanwhile, so only the end of that
# call can have let the office go.
dial o7again 7 "$refused" 3
dial o9a 9 a "$refused_line"
await_calls o7again o9a
for name in o7again o9a; do served $name || fail "$name not served: $(tail -n 20 "$scratch/$name.log")"; done
expect_filed "7$refused"
expect_filed 9a

# ---- 3. a station killed in the middle of a call leaves the office free
office 8 b
from=$(($(wc -l <"${out[1]}") + 1))
dial o8killed 8 b 1
dial o10a 10 a 3
for ((i = 0; i < 600; i++)); do
  tail -n "+$from" "${out[1]}" | grep -q "^Tablas: " && break
  sleep 0.05
done
tail -n "+$from" "${out[1]}" | grep -q "^Tablas: " || fail "office 8 was never admitted on line 1"
kill -KILL "${pid[1]}"
wait "${pid[1]}" 2>/dev/null || true
pid[1]=
await_calls o8killed
! served o8killed || fail "the call on the killed station was served"
[ -e "$scratch/office8b/TRAFICO/TRAFICO.TRF" ] || fail "traffic left the office before the kill"
dial o8after 8 b 2
await_calls o8after o10a
served o10a || fail "office 10 not served: $(tail -n 20 "$scratch/o10a.log")"
expect_filed 10a
served o8after || fail "office 8 not served after line 1 died: $(tail -n 20 "$scratch/o8after.log")"
expect_filed 8b

# ---- 4. more offices than lines: four calls at once on the two lines left; a caller that
# finds its line busy redials until it is free
for n in 11 12; do office "$n" a; done
office 9 b
office 10 b
dial o11a 11 a 2
dial o12a 12 a 3
dial o9b 9 b 2
dial o10b 10 b 3
await_calls o11a o12a o9b o10b
for name in o11a o12a o9b o10b; do
  served $name || fail "$name not served: $(tail -n 20 "$scratch/$name.log")"
  expect_filed "${name#o}"
done

# A station writes a call's activity log lines when it has reset its line after the call.
for n in 2 3; do
  for ((i = 0; i < 300; i++)); do
    [ "$(tail -n 2 "${out[$n]}" | tr '\n' '|')" = "AT S0=1|OK|" ] && break
    sleep 0.1
  done
done

# ---- every traffic file filed exactly once
mapfile -t filed < <(find "$work" -name '*.trf')
[ "${#filed[@]}" -eq "${#expected[@]}" ] || fail "traffic files: ${filed[*]}"
for sent in "${expected[@]}"; do
  copies=0
  for f in "${filed[@]}"; do cmp -s "$sent" "$f" && copies=$((copies + 1)); done
  [ "$copies" -eq 1 ] || fail "$(basename "$sent") filed $copies times"
done

# ---- the shared activity log: whole lines only, each call's lines present
log=$work/volenlog.tcp
[ -s "$log" ] || fail "no activity log"
bad=$(LC_ALL=C grep -cvE $'^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} Of: .{5} .*\r$' "$log" || true)
[ "$bad" -eq 0 ] || fail "$bad broken lines in volenlog.tcp: $(LC_ALL=C grep -vnE $'^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} Of: ' "$log" | head -5)"
twice=$(LC_ALL=C grep -cE '[0-9]{2}:[0-9]{2}:[0-9]{2} Of: .* [0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} Of: ' "$log" || true)
[ "$twice" -eq 0 ] || fail "interleaved lines in volenlog.tcp"
for office_field in 00007 00008 00009 00010 00011 00012; do
  grep -qF " Of: $office_field " "$log" || fail "no activity log line for office $office_field"
done
# ---- the shared call log: every record whole; the refused office 7 on record as in a call on
# another line, naming the line that refused it
python3 - "$work/calls.jsonl" "$refused_line" "${port[$refused_line]}" <<'PY' ||
import json, sys
path, line, port = sys.argv[1], int(sys.argv[2]), sys.argv[3]
records = [json.loads(text) for text in open(path, encoding="utf-8")]
busy = [r for r in records if r["result"] == "refused" and r["reason"] == "in_call_on_other_line"]
assert len(busy) == 1, [(r["office"], r["result"], r["reason"]) for r in records]
assert busy[0]["office"] == 7, busy[0]
assert port in json.dumps(busy[0]), busy[0]
PY
  fail "calls.jsonl: no single record of office 7 refused as in a call on another line"
echo "PASS: ${#expected[@]} traffic files filed once across three lines"

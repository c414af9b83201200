# The pieces bench/soak.sh and bench/kill_soak.sh are built from: the programs, a scratch
# directory that goes when the run ends, stations on free ports and offices with their
# parameter files, tables, traffic and day files. Sourced from the repository's top directory.

# soak_build TARGET...: builds what the run needs; $build is where the programs are.
soak_build() {
  cmake -S . -B build >/dev/null
  cmake --build build --target "$@" -j2 >/dev/null
  build=$PWD/build
}

# soak_scratch NAME: makes $scratch and stops, at exit, the workers in $workers and every
# station whose pid is in $scratch/station*/pid. MARVOLEN_KEEP_SCRATCH keeps the directory.
soak_scratch() {
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/marvolen-$1.XXXXXX")
  workers=()
  trap soak_cleanup EXIT
}
soak_cleanup() {
  local w p
  for w in "${workers[@]}"; do kill -TERM "$w" 2>/dev/null || true; done
  for p in "$scratch"/station*/pid; do
    [ -f "$p" ] && kill -TERM "$(cat "$p")" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  [ -n "${MARVOLEN_KEEP_SCRATCH:-}" ] && echo "kept $scratch" || rm -rf "$scratch"
}

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# Today as a day serial (days since 30 December 1899) and as a day file's name.
today=$(($(date -u -d "$(date +%F)" +%s) / 86400 + 25569))
today_name=$(date -d "1899-12-30 + $today days" +%d%m%Y)

# soak_home DIR: the station home DIR/home with its settings record, working directory DIR/work.
soak_home() {
  mkdir -p "$1/home" "$1/work/upgrades"
  MARVOLEN_HOME=$1/home "$build/marvolen-config" set --port 1 --speed 38400 --password x \
    --workdir ../work >/dev/null
}

# soak_office DIR N: office N's parameter file and first table in DIR/work/locN, and the
# office's own directory DIR/officeN holding that table. Even offices keep "tab" tables.
soak_office() {
  local loc=$1/work/loc$2 of=$1/office$2 ext key
  mkdir -p "$loc" "$of/TRAFICO"
  for key in "password=of$2" Check_Id=1 Id= Synchronize=1 Reintentos=3 PeriodoReintentos=15 \
    "inicio *.daw=$today" "ultimo *.daw=0"; do
    "$build/marvolen-params" "$loc" set "${key%%=*}" "${key#*=}" >/dev/null
  done
  ext=$(soak_ext "$2")
  printf 'TARIFA %d\r\n' "$2" >"$loc/TARIFA01.$ext"
  cp "$loc/TARIFA01.$ext" "$of/"
}
soak_kind() { if (($1 % 2)); then echo tbl; else echo tab; fi; }
soak_ext() { if (($1 % 2)); then echo TBL; else echo TAB; fi; }

# soak_traffic FILE HEADER: a fresh traffic file of 2 to 12 KiB, its first line HEADER, the
# rest random, so that no two traffic files share their bytes.
soak_traffic() {
  { printf '%s\r\n' "$2"
    head -c $((1536 + RANDOM % 7680)) /dev/urandom | base64 -w 60 | sed 's/$/\r/'; } >"$1"
}

# soak_call_files DIR N I: a changed master table and today's day file for office N's call I.
soak_call_files() {
  local ext
  ext=$(soak_ext "$2")
  printf 'TARIFA %d version %d\r\n' "$2" "$3" >"$1/work/loc$2/TARIFA02.$ext"
  printf 'day file of office %d, call %d\r\n' "$2" "$3" >"$1/office$2/$today_name.daw"
}

# soak_start DIR LINE OUT PROGRAM [OPTION...]: starts the station of DIR (build/PROGRAM) on
# the modem emulator LINE ("127.0.0.1:PORT", ",paced" optional), its log view in OUT and
# standard error beside it; its pid goes to DIR/pid and $station_pid.
soak_start() {
  MARVOLEN_HOME=$1/home MARVOLEN_COM1=tcp-modem:$2 \
    "$build/$4" "${@:5}" >"$3" 2>"${3%.out}.err" &
  station_pid=$!
  echo "$station_pid" >"$1/pid"
}

# soak_wait_ready OUT COUNT [SETTLE]: the station has shown "AT S0=1" COUNT times in OUT; then
# SETTLE seconds (default 2.5) for the answer to be waited out.
soak_wait_ready() {
  local i seen
  for ((i = 0; i < 1200; i++)); do
    # The station's shell may not have made OUT yet.
    seen=$(grep -scx 'AT S0=1' "$1") || true
    [ "${seen:-0}" -ge "$2" ] && { sleep "${3:-2.5}"; return 0; }
    sleep 0.1
  done
  return 1
}

# soak_office_call PORT DIR N [OPTION...]: office N (directory DIR/officeN) calls the station.
soak_office_call() {
  local n=$3
  timeout 300 "$build/marvolen-office" --station "127.0.0.1:$1" --dir "$2/office$n" \
    --number "$n" --password "of$n" --tables "$(soak_kind "$n")" --device-id "DEV$n" \
    --redial 60 --timeout 120 "${@:4}"
}

# soak_run_stations COUNT: runs the caller's `station S` for S = 0 .. COUNT-1 side by side,
# each one's output in $scratch/workerS.log; sets $failed_workers and $elapsed (seconds).
soak_run_stations() {
  local s w started
  started=$(date +%s)
  for ((s = 0; s < $1; s++)); do
    station "$s" >"$scratch/worker$s.log" 2>&1 &
    workers+=($!)
    sleep 1
  done
  failed_workers=0
  for w in "${workers[@]}"; do wait "$w" || failed_workers=$((failed_workers + 1)); done
  workers=()
  elapsed=$(($(date +%s) - started))
}

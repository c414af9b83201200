#!/usr/bin/env bash
# The Debian packages: both built from this build ("marvolen" without Qt, "marvolen-gui"),
# installed with dpkg, checked in place (dependencies, stripped programs, man pages, the
# unit's security rating, log rotation), two lines and two offices set up as root with the
# set-up commands and their ownership checked, three lines run as the unit runs them (calls,
# a busy office, a line without its device: live states, notifications, journal priorities,
# metrics, --check's statuses), and both packages removed again. It needs root (dpkg);
# without root or dpkg the test is skipped (exit 77).
# Usage: package_install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
  echo "SKIP: installing a package needs root and dpkg"
  exit 77
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/marvolen-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
chmod 0755 "$scratch"  # the marvolen user works in it too

cpack --config "$build/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/marvolen_*.deb)
gui_deb=$(ls "$scratch"/marvolen-gui_*.deb 2>/dev/null || true)

fail() { echo "FAIL: $*"; exit 1; }

# dpkg waits for nobody: another dpkg or apt run (another test run installing the package,
# an apt-get install) makes it fail at once, so it is tried again for a while.
dpkg_retrying() {
  local try
  for try in $(seq 1 30); do
    if dpkg "$@" >"$scratch/dpkg.log" 2>&1; then return 0; fi
    grep -q "lock" "$scratch/dpkg.log" || { cat "$scratch/dpkg.log"; return 1; }
    sleep 2
  done
  cat "$scratch/dpkg.log"
  return 1
}

programs=(marvolen-station marvolen-config marvolen-params marvolen-zip marvolen-xfer
  marvolen-office marvolen-report)

# A headless server installs "marvolen" alone: nothing in it may pull in Qt, and the window
# is in the other package, which needs this one.
check_contents() {
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "marvolen Depends: $depends"
  ! grep -qi "qt" <<<"$depends" || fail "marvolen depends on Qt: $depends"
  dpkg-deb -c "$deb" >"$scratch/marvolen.list"
  ! grep -q " \./usr/bin/marvolen$" "$scratch/marvolen.list" || fail "the window is in marvolen"
  if [ -n "$gui_deb" ]; then
    depends=$(dpkg-deb -f "$gui_deb" Depends)
    grep -q "marvolen (= " <<<"$depends" || fail "marvolen-gui does not depend on marvolen"
    grep -qi "qt6" <<<"$depends" || fail "marvolen-gui does not depend on Qt: $depends"
    dpkg-deb -c "$gui_deb" >"$scratch/marvolen-gui.list"
    grep -q " \./usr/bin/marvolen$" "$scratch/marvolen-gui.list" || fail "no window in marvolen-gui"
  fi
}

check_programs() {
  local program
  for program in "${programs[@]}"; do
    [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program missing"
    "/usr/bin/$program" --version | grep -qx "$program [0-9.]*" || fail "$program --version"
    # Stripped: no symbol table, no debugging sections (24 MB of them unstripped).
    ! readelf -SW "/usr/bin/$program" | grep -qE '\.(symtab|debug_info)' ||
      fail "/usr/bin/$program is not stripped"
    # The unit denies writable executable memory; an executable stack would need it.
    ! readelf -lW "/usr/bin/$program" | grep GNU_STACK | grep -q RWE ||
      fail "/usr/bin/$program wants an executable stack"
  done
  if [ -n "$gui_deb" ]; then
    ! readelf -SW /usr/bin/marvolen | grep -qE '\.(symtab|debug_info)' ||
      fail "/usr/bin/marvolen is not stripped"
  fi
}

check_man_pages() {
  local program rendered
  for program in "${programs[@]}"; do
    man -w "$program" >/dev/null || fail "no man page for $program"
  done
  man -w 8 marvolen-station >/dev/null || fail "marvolen-station is not in section 8"
  rendered=$(LC_ALL=C.UTF-8 MANWIDTH=100 man -P cat 8 marvolen-station 2>/dev/null)
  for text in MARVOLEN_HOME "EXIT STATUS" FILES "SEE ALSO" volenlog.tcp calls.jsonl \
    lines/LINE.json marvolen.prom estado.html; do
    grep -qF "$text" <<<"$rendered" || fail "man marvolen-station: no \"$text\""
  done
  LC_ALL=C.UTF-8 man -P cat marvolen-office 2>/dev/null | grep -q "Comunicación exitosa" ||
    fail "man marvolen-office: accented letters lost"
  man -w 5 calls.jsonl >/dev/null || fail "no man page calls.jsonl(5)"
  man -w 8 marvolen-backup >/dev/null || fail "no man page marvolen-backup(8)"
  marvolen-backup --version | grep -qx "marvolen-backup [0-9.]*" || fail "marvolen-backup --version"
  [ -f /usr/share/doc/marvolen/README.md ] && [ -f /usr/share/doc/marvolen/docs/guide.md ] ||
    fail "no user's guide in /usr/share/doc/marvolen"
  [ -d /etc/marvolen ] || fail "no /etc/marvolen for the lines' environment files"
}

# The unit: valid, and rated at most 4.9 by systemd's own exposure score (10 is a service
# with no protection at all; the unit this replaced scored 9.2).
check_unit() {
  local unit=/usr/lib/systemd/system/marvolen@.service level
  [ -f "$unit" ] || fail "service unit missing"
  if ! command -v systemd-analyze >/dev/null; then
    echo "SKIP: no systemd-analyze (package systemd): unit not verified nor rated"
    return
  fi
  systemd-analyze verify /usr/lib/systemd/system/marvolen@com1.service 2>"$scratch/verify.log" ||
    { cat "$scratch/verify.log"; fail "systemd-analyze verify"; }
  [ ! -s "$scratch/verify.log" ] || { cat "$scratch/verify.log"; fail "systemd-analyze warnings"; }
  (cd /usr/lib/systemd/system &&
    systemd-analyze security --offline=true --no-pager marvolen@com1.service) \
    >"$scratch/security.log" 2>&1 || true
  level=$(sed -n 's/.*Overall exposure level for marvolen@com1.service: \([0-9.]*\).*/\1/p' \
    "$scratch/security.log")
  [ -n "$level" ] || { cat "$scratch/security.log"; fail "no security rating"; }
  echo "unit exposure level: $level"
  awk -v l="$level" 'BEGIN { exit !(l <= 4.9) }' ||
    { grep "✗" "$scratch/security.log"; fail "unit rated $level, above 4.9"; }
}

# Rotation renames both logs (the stations open them for every append), keeps calls.jsonl.1
# plain for the report and compresses the older ones. Run on copies in a scratch directory
# by the entry's own rules, as the marvolen user.
check_logrotate() {
  local conf=/etc/logrotate.d/marvolen dir=$scratch/rotate
  [ -f "$conf" ] || fail "no logrotate entry"
  dpkg-query -W -f='${Conffiles}\n' marvolen | grep -q "$conf" || fail "$conf is no conffile"
  if ! command -v logrotate >/dev/null; then
    echo "SKIP: no logrotate: the entry is not run"
    return
  fi
  install -d -o marvolen -g marvolen -m 0750 "$dir"
  sed "s|/var/lib/marvolen/work/|$dir/|g" "$conf" >"$scratch/logrotate.conf"
  local round
  for round in 1 2; do
    printf '{"call":%d}\n' "$round" >"$dir/calls.jsonl"
    printf 'linea %d\r\n' "$round" >"$dir/volenlog.tcp"
    chown marvolen:marvolen "$dir/calls.jsonl" "$dir/volenlog.tcp"
    logrotate -f -s "$scratch/logrotate.state" "$scratch/logrotate.conf" ||
      fail "logrotate round $round"
  done
  [ ! -e "$dir/calls.jsonl" ] || fail "calls.jsonl not renamed (copytruncate?)"
  grep -qx '{"call":2}' "$dir/calls.jsonl.1" || fail "calls.jsonl.1 is not the last plain log"
  [ "$(zcat "$dir/calls.jsonl.2.gz")" = '{"call":1}' ] || fail "calls.jsonl.2.gz"
  [ -f "$dir/volenlog.tcp.1" ] && [ -f "$dir/volenlog.tcp.2.gz" ] || fail "volenlog.tcp rotation"
}

# The set-up commands, run as root as the README says, for two lines and two offices: every
# directory and file they make belongs to the service's user, so the station can write it.
lines=(pkg$$a pkg$$b)
work=/var/lib/marvolen/pkgtest.$$
check_set_up() {
  local status=0 out line home
  out=$(env -u MARVOLEN_HOME /usr/bin/marvolen-config set --port 1 --speed 9600 2>&1) ||
    status=$?
  [ "$status" -eq 2 ] || fail "marvolen-config without MARVOLEN_HOME: status $status"
  grep -q MARVOLEN_HOME <<<"$out" || fail "marvolen-config without a home does not say why: $out"
  [ ! -e /usr/bin/marvolen.tcp ] || fail "marvolen-config wrote into /usr/bin"

  getent passwd marvolen >/dev/null || fail "no user marvolen"
  id -nG marvolen | grep -qw dialout || fail "marvolen is not in dialout"
  marvolen-config line "${lines[0]}" --port 1 --speed 9600 --password CLAVE --workdir "$work" ||
    fail "marvolen-config line ${lines[0]}"
  marvolen-config line "${lines[1]}" --port 2 --speed 19200 --workdir "$work" ||
    fail "marvolen-config line ${lines[1]}"
  marvolen-config line "pkg$$c" --port 2 --workdir "$work" 2>/dev/null &&
    fail "a second line on port 2 was taken"
  marvolen-params "$work/loc01" init --password uno --id OFICINA1 || fail "office 1"
  marvolen-params "$work/loc02" init --password dos || fail "office 2"
  marvolen-params "$work/loc02" set Reintentos 5 || fail "office 2 set"

  for line in "${lines[@]}"; do
    home=/var/lib/marvolen/lines/$line
    [ -f "$home/marvolen.tcp" ] || fail "no settings record in $home"
    MARVOLEN_HOME=$home marvolen-config show | grep -qx "workdir: $work/" ||
      fail "$line's working directory"
  done
  [ -f "$work/loc01/MARVOLEN.TCP" ] && [ -f "$work/loc02/MARVOLEN.TCP" ] || fail "offices"
  [ "$(marvolen-params "$work/loc01" get password)" = "uno             " ] || fail "office 1 key"
  local foreign
  foreign=$(find "/var/lib/marvolen/lines/${lines[0]}" "/var/lib/marvolen/lines/${lines[1]}" \
    "$work" \( -not -user marvolen -o -not -group marvolen \) -printf '%u:%g %p\n')
  [ -z "$foreign" ] || fail "set-up left files the station cannot write: $foreign"
}

# The unit denies writable executable memory (MemoryDenyWriteExecute=), new privileges and
# every capability: the station must run so. The kernel's own switch for the first
# (PR_SET_MDWE, inherited across exec) stands in for the unit's filter; the station is started
# as marvolen on the first line with its modem emulator on a free port, must come up and
# listen, and must stop with status 0 on SIGTERM within 5 s.
check_station_confined() {
  local port pid status=0
  if ! python3 -c 'import ctypes,sys; sys.exit(ctypes.CDLL(None).prctl(65, 1, 0, 0, 0) != 0)'; then
    echo "SKIP: this kernel has no PR_SET_MDWE: the station not run without W+X memory"
    return
  fi
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  setpriv --reuid=marvolen --regid=marvolen --init-groups --no-new-privs --bounding-set=-all \
    env -i PATH=/usr/bin:/bin MARVOLEN_HOME="/var/lib/marvolen/lines/${lines[0]}" \
    MARVOLEN_LINE="${lines[0]}" MARVOLEN_COM1="tcp-modem:127.0.0.1:$port" \
    python3 -c 'import ctypes,os,sys
if ctypes.CDLL(None).prctl(65, 1, 0, 0, 0) != 0: sys.exit("PR_SET_MDWE")
os.execv("/usr/bin/marvolen-station", ["marvolen-station"])' \
    >"$scratch/station.out" 2>&1 &
  pid=$!
  "$scripts/wait-listen.sh" "$port" 20 ||
    { cat "$scratch/station.out"; fail "the confined station does not listen"; }
  kill -0 "$pid" 2>/dev/null || { cat "$scratch/station.out"; fail "the confined station died"; }
  local started=$SECONDS
  kill -TERM "$pid"
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || { cat "$scratch/station.out"; fail "confined station: status $status"; }
  # Within the unit's TimeoutStopSec=10s, with room: the station promises 5 s.
  ((SECONDS - started <= 6)) || fail "the station took $((SECONDS - started)) s to stop"
}

# The lines started as their unit's ExecStart would: as marvolen, with MARVOLEN_HOME and
# MARVOLEN_LINE, the service manager's NOTIFY_SOCKET (a datagram socket the test binds),
# WATCHDOG_USEC and JOURNAL_STREAM (standard output's device and inode) set. Two lines have
# the modem emulator; the third line's device does not exist. Office 1 calls both working
# lines at once (one call finds it busy on the other line), office 2 calls once; then the
# lines' states, marvolen.prom, marvolen-report --check and the notifications are checked.
start_line() {  # NAME PORT_NUMBER DEVICE
  local name=$1 out=$scratch/$1.out
  : >"$out"
  chown marvolen:marvolen "$out"
  setpriv --reuid=marvolen --regid=marvolen --init-groups --no-new-privs --bounding-set=-all \
    env -i PATH=/usr/bin:/bin MARVOLEN_HOME="/var/lib/marvolen/lines/$name" \
    MARVOLEN_LINE="$name" "MARVOLEN_COM$2=$3" NOTIFY_SOCKET="$scratch/notify/$name" \
    WATCHDOG_USEC=2000000 JOURNAL_STREAM="$(stat -c '%d:%i' "$out")" \
    /usr/bin/marvolen-station >>"$out" 2>&1 &
  line_pids+=($!)
}
listen_notify() {  # NAME: records every datagram on the line's socket, one a line
  python3 - "$scratch/notify/$1" "$scratch/$1.notify" <<'PY' &
import os, socket, sys
path, log = sys.argv[1], sys.argv[2]
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(path)
os.chmod(path, 0o666)
with open(log, "a", buffering=1) as out:
    while True:
        out.write(s.recv(4096).decode(errors="replace").replace("\n", "|") + "\n")
PY
  notify_pids+=($!)
}
line_json() {  # NAME FIELD
  python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' \
    "$work/lines/$1.json" "$2"
}
wait_state() {  # NAME STATE: until the line's live state says STATE, 30 s at most
  local i
  for i in $(seq 1 60); do
    [ "$(line_json "$1" state 2>/dev/null)" = "$2" ] && return 0
    sleep 0.5
  done
  return 1
}
check_lines_running() {
  local port_a port_b status name
  local down=pkg$$d extra=pkg$$e
  marvolen-config line "$down" --port 4 --workdir "$work" >/dev/null || fail "line $down"
  marvolen-config line "$extra" --port 3 --workdir "$work" >/dev/null || fail "line $extra"
  install -d -m 0777 "$scratch/notify"
  port_a=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  port_b=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  for name in "${lines[0]}" "$extra" "$down"; do listen_notify "$name"; done
  sleep 0.5
  start_line "${lines[0]}" 1 "tcp-modem:127.0.0.1:$port_a"
  start_line "$extra" 3 "tcp-modem:127.0.0.1:$port_b"
  "$scripts/wait-listen.sh" "$port_a" 20 && "$scripts/wait-listen.sh" "$port_b" 20 ||
    fail "the lines do not listen"
  wait_state "${lines[0]}" waiting && wait_state "$extra" waiting ||
    fail "the lines never said they wait for calls"

  # Office 1 on both lines at once, then office 2. Each office has a table at the station.
  local loc
  for loc in loc01 loc02; do
    runuser -u marvolen -- sh -c "printf 'TARIFA;1\r\n' >'$work/$loc/TARIFA.TBL'"
  done
  mkdir -p "$scratch/office1" "$scratch/office2"
  marvolen-office --station "127.0.0.1:$port_a" --dir "$scratch/office1" --number 1 \
    --password uno --device-id OFICINA1 --timeout 90 >"$scratch/office1a.log" 2>&1 &
  local first=$!
  marvolen-office --station "127.0.0.1:$port_b" --dir "$scratch/office1" --number 1 \
    --password uno --device-id OFICINA1 --timeout 90 >"$scratch/office1b.log" 2>&1 || true
  wait "$first" || true
  marvolen-office --station "127.0.0.1:$port_b" --dir "$scratch/office2" --number 2 \
    --password dos --redial 30 --timeout 90 >"$scratch/office2.log" 2>&1 ||
    { cat "$scratch/office2.log"; tail -20 "$scratch/$extra.out"; fail "office 2's call"; }
  sleep 2
  # Both offices served, both lines waiting: all is well.
  [ "$(line_json "${lines[0]}" state)" = waiting ] || fail "${lines[0]} is not waiting"
  status=0
  runuser -u marvolen -- marvolen-report -C "$work" --check >"$scratch/check0.out" || status=$?
  head -1 "$scratch/check0.out" | grep -q "^MARVOLEN OK - .*|" && [ "$status" -eq 0 ] ||
    { cat "$scratch/check0.out"; fail "--check with every line up: status $status"; }

  # A line whose device does not exist.
  start_line "$down" 4 "/dev/marvolen-no-such-device"
  wait_state "$down" down || fail "$down never said it is down"
  sleep 1  # the page writer's worker catches up with the change

  # The lines' live states and the notifications.
  [ "$(line_json "${lines[0]}" state)" = waiting ] || fail "${lines[0]} is not waiting"
  [ "$(line_json "$down" state)" = down ] || fail "$down is not down"
  line_json "$down" reason | grep -q "No such file" || fail "$down: no reason"
  grep -qx "READY=1.*" "$scratch/${lines[0]}.notify" || fail "no READY=1 from ${lines[0]}"
  grep -q "WATCHDOG=1" "$scratch/${lines[0]}.notify" || fail "no WATCHDOG=1"
  # A line without its device is a running service with its line down, not one that never
  # finishes starting (systemd would restart it at its start time-out, for ever).
  grep -q "STATUS=.*fuera de servicio" "$scratch/$down.notify" ||
    fail "no STATUS= saying why the line is down"
  grep -qx "READY=1" "$scratch/$down.notify" || fail "a line without its device never said READY"
  # Without the journal's socket the lines go to the stream with their priorities: errors at
  # the journal's error priority, the rest at info. (Where a journal listens on the socket it
  # takes them as entries instead, and the stream holds none.)
  if [ ! -S /run/systemd/journal/socket ]; then
    grep -q "^<3>.*ERROR" "$scratch/$down.out" || fail "the device's error is not at priority 3"
    grep -q "^<6>" "$scratch/${lines[0]}.out" || fail "no info lines"
    ! grep -qv "^<[0-7]>" "$scratch/${lines[0]}.out" || fail "a journal line without priority"
  else
    echo "a journal listens on /run/systemd/journal/socket: the stream's priorities not checked"
  fi

  grep -q '"office":1,.*"result":"success"' "$work/calls.jsonl" ||
    { cat "$scratch/office1a.log" "$scratch/office1b.log"; fail "office 1 was not served"; }
  # The busy office was refused as busy, not counted as a wrong password.
  grep -q '"reason":"in_call_on_other_line"' "$work/calls.jsonl" || fail "no busy refusal"
  # The metrics.
  local prom=$work/marvolen.prom
  grep -q "^marvolen_line_up{line=\"${lines[0]}\"} 1" "$prom" || fail "metrics: ${lines[0]} up"
  grep -q "^marvolen_line_up{line=\"$down\"} 0" "$prom" || fail "metrics: $down down"
  grep -q '^marvolen_calls_total{.*result="success"' "$prom" || fail "metrics: no calls"
  # --check: the down line is critical; a missing directory is unknown.
  status=0
  runuser -u marvolen -- marvolen-report -C "$work" --check >"$scratch/check.out" || status=$?
  head -1 "$scratch/check.out" | grep -q "^MARVOLEN CRITICAL" && [ "$status" -eq 2 ] ||
    { cat "$scratch/check.out"; fail "--check with a line down: status $status"; }
  grep -qi "contraseña" "$scratch/check.out" && fail "a busy office taken for password guessing"
  status=0
  marvolen-report -C /nonexistent/marvolen --check >"$scratch/check3.out" || status=$?
  [ "$status" -eq 3 ] && grep -q "^MARVOLEN UNKNOWN" "$scratch/check3.out" ||
    { cat "$scratch/check3.out"; fail "--check on a missing directory: status $status"; }

  # SIGTERM: STOPPING=1, the state says stopped, and the stations end with status 0.
  local pid
  for pid in "${line_pids[@]}"; do kill -TERM "$pid"; done
  for pid in "${line_pids[@]}"; do
    status=0
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || fail "a line stopped with status $status"
  done
  grep -q "STOPPING=1" "$scratch/${lines[0]}.notify" || fail "no STOPPING=1"
  [ "$(line_json "${lines[0]}" state)" = stopped ] || fail "${lines[0]} does not say stopped"
  for pid in "${notify_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "/var/lib/marvolen/lines/$down" "/var/lib/marvolen/lines/$extra"
  echo "--check, every line up:  $(head -1 "$scratch/check0.out")"
  echo "--check, a line down:    $(head -1 "$scratch/check.out")"
  echo "--check, no directory:   $(head -1 "$scratch/check3.out")"
  echo "lines: READY, WATCHDOG, STATUS, STOPPING, journal priorities, states, metrics and --check checked"
}

# A record the tool must never write; removed again if a failing run wrote it.
stray_record=/usr/bin/marvolen.tcp
[ ! -e "$stray_record" ] || stray_record=
line_pids=() notify_pids=()
clean_up() {
  local pid
  for pid in "${line_pids[@]}" "${notify_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  dpkg -P marvolen-gui marvolen >/dev/null 2>&1 || true
  [ -z "$stray_record" ] || rm -f "$stray_record"
  rm -rf "/var/lib/marvolen/lines/${lines[0]}" "/var/lib/marvolen/lines/${lines[1]}" \
    "/var/lib/marvolen/lines/pkg$$c" "/var/lib/marvolen/lines/pkg$$d" \
    "/var/lib/marvolen/lines/pkg$$e" "$work" "$scratch"
}

# One installation at a time on this machine, whichever build runs the test.
exec 9>/var/lock/marvolen-package-test.lock
flock -w 300 9 || fail "another package test holds the lock"
trap clean_up EXIT
check_contents
dpkg_retrying -i "$deb" $gui_deb || fail "dpkg -i"
check_programs
check_man_pages
check_unit
check_logrotate
check_set_up
check_station_confined
check_lines_running
dpkg_retrying -r marvolen-gui marvolen || fail "dpkg -r"
[ ! -e /usr/bin/marvolen-station ] || fail "/usr/bin/marvolen-station left after dpkg -r"
[ ! -e /usr/bin/marvolen ] || fail "/usr/bin/marvolen left after dpkg -r"
[ ! -e /usr/lib/systemd/system/marvolen@.service ] || fail "unit left after dpkg -r"
dpkg_retrying -P marvolen-gui marvolen || fail "dpkg -P"
[ ! -e /etc/logrotate.d/marvolen ] || fail "logrotate entry left after dpkg -P"
echo "PASS: packages built, installed, checked, set up and removed"

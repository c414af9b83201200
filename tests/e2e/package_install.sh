#!/usr/bin/env bash
# The Debian packages: both built from this build ("marvolen" without Qt, "marvolen-gui"),
# installed with dpkg, checked in place (dependencies, stripped programs, man pages, the
# unit's security rating, log rotation), two lines and two offices set up as root with the
# set-up commands and their ownership checked, and both packages removed again. It needs
# root (dpkg); without root or dpkg the test is skipped (exit 77).
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

# The lines started as their unit's ExecStart would (as marvolen, MARVOLEN_HOME and
# MARVOLEN_LINE set, NOTIFY_SOCKET and JOURNAL_STREAM from the test), calls including a busy
# office and a line whose device is missing, and the checks of lines/*.json, marvolen.prom,
# marvolen-report --check and the notifications, go HERE once the station's side is merged.
# Nothing is checked here yet.
check_lines_running() {
  echo "NOT YET: lines not started (the station's notifications and live state come later)"
}

# A record the tool must never write; removed again if a failing run wrote it.
stray_record=/usr/bin/marvolen.tcp
[ ! -e "$stray_record" ] || stray_record=
clean_up() {
  dpkg -P marvolen-gui marvolen >/dev/null 2>&1 || true
  [ -z "$stray_record" ] || rm -f "$stray_record"
  rm -rf "/var/lib/marvolen/lines/${lines[0]}" "/var/lib/marvolen/lines/${lines[1]}" \
    "/var/lib/marvolen/lines/pkg$$c" "$work" "$scratch"
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

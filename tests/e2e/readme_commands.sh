#!/usr/bin/env bash
# Every command the README shows, run as a reader would run it, against scratch directories:
# the README's ```sh blocks are read from the file itself, each after a marker
# "<!-- check: KIND -->" that says how its commands are run. Paths the README names on a real
# machine (the home directory, /var/lib/marvolen, /srv/backup, /dev/ttyUSB0, the demo's port
# 7007) are rewritten into the scratch directory and free ports; nothing else is changed.
# Then the backup the README shows is restored into a fresh directory and serves the next
# call, and a backup waits for a call in progress (an office's lock held) before copying
# that office.
# Usage: readme_commands.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
scripts=$source_dir/scripts
scratch=$(mktemp -d "${TMPDIR:-/tmp}/marvolen-readme.XXXXXX")
chmod 0755 "$scratch"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The README's blocks of one kind, one command a line.
block() {
  awk -v kind="$1" '
    $0 == "<!-- check: " kind " -->" { marked = 1; next }
    marked && /^```sh$/ { inside = 1; marked = 0; next }
    inside && /^```$/ { inside = 0; next }
    inside { print }
    !/^$/ && !/^```/ { marked = marked && /^<!--/ }' "$source_dir/README.md"
}
# Every ```sh block is marked, so none escapes the checks below.
blocks=$(grep -c '^```sh$' "$source_dir/README.md")
marked=$(grep -c '^<!-- check: [a-z]* -->$' "$source_dir/README.md")
[ "$blocks" -eq "$marked" ] || fail "$blocks command blocks in the README, $marked marked"

# The rewrites: build/ is this build, the rest lands in the scratch directory.
rewrite() {
  sed -e "s|^build/|$build/|; s| build/| $build/|g" \
    -e "s|^scripts/|$scripts/|" \
    -e "s|^marvolen-backup |$scripts/marvolen-backup |" \
    -e "s|/var/lib/marvolen|$scratch/var/lib/marvolen|g" \
    -e "s|/srv/backup|$scratch/srv/backup|g" \
    -e "s|/dev/ttyUSB0|tcp-modem:127.0.0.1:$modem_port|g" \
    -e "s|127.0.0.1:7008|127.0.0.1:$trial_port|g" \
    -e "s|127.0.0.1:7007|127.0.0.1:$demo_port|g" \
    -e "s| demo/| $scratch/demo/|g"
}
demo_port=$(free_port)
modem_port=$(free_port)
trial_port=$(free_port)
station_pid=
stop_station() {
  [ -n "$station_pid" ] || return 0
  kill -TERM "$station_pid"
  wait "$station_pid" || fail "the station stopped with status $?"
  station_pid=
}
# run KIND COMMAND: one README command. A station keeps running in the background (the
# reader's other terminal) until the next station or the end; everything else must succeed.
run() {
  local command
  command=$(rewrite <<<"$2")
  echo "\$ $2"
  if [[ $command == *marvolen-station ]]; then
    stop_station
    bash -c "$command" >>"$scratch/station-$1.out" 2>&1 &
    station_pid=$!
    pids+=("$station_pid")
    local port
    port=$(sed -n 's/.*tcp-modem:127.0.0.1:\([0-9]*\).*/\1/p' <<<"$command")
    "$scripts/wait-listen.sh" "$port" 30 ||
      { cat "$scratch/station-$1.out"; fail "the station does not listen: $2"; }
    return
  fi
  bash -c "$command" >"$scratch/out" 2>&1 || { cat "$scratch/out"; fail "$2"; }
  cat "$scratch/out"
}

# Quick start: exactly the two commands. ./test.sh is what CI runs (.ci/run) and what runs
# this test; ./run.sh is scripts/deps.sh, the build and scripts/demo.sh, whose demo the next
# block sets up in the scratch directory and calls.
[ "$(block quickstart)" = $'./run.sh\n./test.sh' ] || fail "Quick start is not ./run.sh, ./test.sh"
grep -qx 'exec ./test.sh' "$source_dir/.ci/run" || fail ".ci/run does not run ./test.sh"
grep -qx 'exec scripts/demo.sh "$@"' "$source_dir/run.sh" || fail "run.sh does not run the demo"

# The demo, as scripts/demo.sh lays it out, with its first call; then the README's call.
export HOME=$scratch/home
mkdir -p "$HOME"
cd "$scratch"
mkdir -p "$scratch/demo/home" "$scratch/demo/work"
"$scripts/demo-data.sh" "$scratch/demo" "$build" >/dev/null
MARVOLEN_HOME=$scratch/demo/home "$build/marvolen-config" set --port 1 --speed 9600 \
  --password demo --workdir ../work >/dev/null
MARVOLEN_HOME=$scratch/demo/home run demo \
  "MARVOLEN_COM1=tcp-modem:127.0.0.1:7007 build/marvolen-station"
"$build/marvolen-office" --station "127.0.0.1:$demo_port" --dir "$scratch/demo/office07" \
  --number 7 --password demo7 --redial 30 >"$scratch/demo-first.log" 2>&1 ||
  { cat "$scratch/demo-first.log"; fail "the demo's first call"; }
while IFS= read -r line; do run demo "$line"; done < <(block demo)
stop_station

# The first set-up, in the scratch HOME: both blocks in one shell, as a reader types them.
setup=$(block setup)
while IFS= read -r line; do
  # The environment a reader exported stays for the following commands.
  if [[ $line == export\ * ]]; then eval "$(rewrite <<<"$line")"; echo "\$ $line"; continue; fi
  run setup "$line"
done <<<"$setup"
grep -q '"office":5,.*"result":"success"' "$HOME/marvolen/work/calls.jsonl" ||
  { cat "$scratch/station-setup.out"; fail "office 5's call was not served"; }
grep -q '^ *5 ' "$scratch/out" || fail "the report does not list office 5"
stop_station
unset MARVOLEN_HOME

# Installing as a service. Building the package, dpkg -i, systemctl and journalctl need root
# and a running systemd: e2e_package builds, installs and runs what they name, and
# e2e_package_lintian checks the packages; here the names they use are checked against the
# build. The set-up commands run in the scratch directory, as the user the service would be
# (nobody, when this runs as root), with their lines under the scratch /var/lib/marvolen.
deb_name=$(sed -n 's|^dpkg -i build/\(.*\)$|\1|p' <<<"$(block service)")
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ "$deb_name" = "marvolen_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "the README installs $deb_name; the build makes version $version"
targets=$(cmake --build "$build" --target help)
grep -qx '\.\.\. package' <<<"$targets" || fail "no package target"
[ -f "$source_dir/packaging/marvolen@.service" ] || fail "no unit marvolen@.service"
as_user=()
service_user=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
  service_user=nobody
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  chown nobody:nogroup "$scratch"
fi
mkdir -p "$scratch/var/lib/marvolen/lines" "$scratch/var/lib/marvolen/work"
[ "$(id -u)" -ne 0 ] || chown -R nobody:nogroup "$scratch/var"
while IFS= read -r line; do
  case $line in
    cmake\ *|dpkg\ *|systemctl\ *|journalctl\ *) echo "(checked, not run) $line"; continue ;;
  esac
  # The line's home goes under the scratch directory, its working directory beside it.
  if [[ $line == marvolen-config\ line\ * ]]; then
    line+=" --lines-dir /var/lib/marvolen/lines --workdir ../../work --user $service_user"
  fi
  command=$(rewrite <<<"$line" | sed "s|^marvolen-|$build/marvolen-|")
  echo "\$ $line"
  "${as_user[@]}" bash -c "$command" || fail "$line"
done < <(block service)
[ -f "$scratch/var/lib/marvolen/lines/com2/marvolen.tcp" ] || fail "no line com2"
[ -f "$scratch/var/lib/marvolen/work/loc08/MARVOLEN.TCP" ] || fail "no office 8"

# Backup and restore, on the first set-up's network (a home, a working directory with office
# 5 and its call): the README's commands back up and restore the service's directories; then
# the same tool backs up the first set-up, which is restored into a fresh directory and serves
# office 5's next call.
mkdir -p "$scratch/srv" && [ "$(id -u)" -ne 0 ] || chown nobody:nogroup "$scratch/srv"
while IFS= read -r line; do
  echo "\$ $line"
  "${as_user[@]}" bash -c "$(rewrite <<<"$line")" || fail "$line"
done < <(block backup)
[ -f "$scratch/var/lib/marvolen/work/loc07/MARVOLEN.TCP" ] || fail "restore lost office 7"

work=$HOME/marvolen/work
# A call in progress: the backup waits for the office's lock.
python3 - "$work/loc05/.marvolen-call.lock" "$scratch/locked" <<'PY' &
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR)
fcntl.lockf(fd, fcntl.LOCK_EX)
open(sys.argv[2], "w").close()
time.sleep(3)
PY
holder=$!
for _ in $(seq 1 50); do [ -f "$scratch/locked" ] && break; sleep 0.1; done
started=$(date +%s%N)
"$scripts/marvolen-backup" "$work" "$scratch/backup" --home "$HOME/marvolen/home" ||
  fail "marvolen-backup"
waited_ms=$((($(date +%s%N) - started) / 1000000))
wait "$holder"
((waited_ms >= 2000)) || fail "the backup did not wait for the office's call lock (${waited_ms} ms)"
for kept in calls.jsonl volenlog.tcp loc05/MARVOLEN.TCP calls; do
  [ -e "$scratch/backup/work/$kept" ] || fail "the backup has no $kept"
done
[ -f "$scratch/backup/homes/home/marvolen.tcp" ] || fail "the backup has no settings record"
for rebuilt in calls.summary estado.html marvolen.prom lines loc05/.marvolen-call.lock; do
  [ ! -e "$scratch/backup/work/$rebuilt" ] || fail "the backup holds $rebuilt, which is rebuilt"
done
# Restored side by side (the record names its working directory as ../work).
restored=$scratch/restored
mkdir -p "$restored/home" "$restored/work"
cp -a "$scratch/backup/work/." "$restored/work/"
cp -a "$scratch/backup/homes/home/." "$restored/home/"
MARVOLEN_HOME=$restored/home run restore \
  "MARVOLEN_COM1=tcp-modem:127.0.0.1:$trial_port build/marvolen-station"
"$build/marvolen-office" --station "127.0.0.1:$trial_port" --dir "$HOME/marvolen/office05" \
  --number 5 --password SECRETA --redial 30 >"$scratch/restored-call.log" 2>&1 ||
  { cat "$scratch/restored-call.log" "$scratch/station-restore.out"; fail "call after restore"; }
stop_station
[ "$(grep -c '"office":5,.*"result":"success"' "$restored/work/calls.jsonl")" -eq 2 ] ||
  fail "the restored log does not hold both of office 5's calls"
"$build/marvolen-report" -C "$restored/work" --office 5 | grep -q . || fail "report after restore"
echo "PASS: every README command ran; a backup restored elsewhere served the next call"

#!/usr/bin/env bash
# The Debian package: built from this build, installed with dpkg, its programs, man pages and
# service unit checked in place, and removed again. It needs root (dpkg); without root or
# dpkg the test is skipped (exit 77).
# Usage: package_install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
  echo "SKIP: installing a package needs root and dpkg"
  exit 77
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/marvolen-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/marvolen_*.deb)

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

check_installed() {
  dpkg_retrying -i "$deb" || fail "dpkg -i"
  for program in marvolen-station marvolen-config marvolen-params marvolen-zip marvolen-xfer \
    marvolen-office marvolen-report; do
    [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program missing"
    man -w "$program" >/dev/null || fail "no man page for $program"
    "/usr/bin/$program" --version | grep -qx "$program [0-9.]*" || fail "$program --version"
  done
  man -P cat marvolen-station 2>/dev/null | grep -q "MARVOLEN_HOME" || fail "man marvolen-station"
  [ -f /usr/lib/systemd/system/marvolen@.service ] || fail "service unit missing"
  [ -f /usr/lib/sysusers.d/marvolen.conf ] && [ -f /usr/lib/tmpfiles.d/marvolen.conf ] ||
    fail "sysusers or tmpfiles entry missing"
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/system/marvolen@com1.service 2>"$scratch/verify.log" ||
      { cat "$scratch/verify.log"; fail "systemd-analyze verify"; }
    [ ! -s "$scratch/verify.log" ] || { cat "$scratch/verify.log"; fail "systemd-analyze warnings"; }
  fi
  dpkg_retrying -r marvolen || fail "dpkg -r"
  [ ! -e /usr/bin/marvolen-station ] || fail "/usr/bin/marvolen-station left after dpkg -r"
  [ ! -e /usr/lib/systemd/system/marvolen@.service ] || fail "unit left after dpkg -r"
}

# One installation at a time on this machine, whichever build runs the test.
exec 9>/var/lock/marvolen-package-test.lock
flock -w 300 9 || fail "another package test holds the lock"
trap 'dpkg -r marvolen >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
check_installed
echo "PASS: package built, installed, checked and removed"

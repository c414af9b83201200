#!/usr/bin/env bash
# The Debian packages as Debian's own checker sees them: both built from this build with
# cpack and run through lintian, which must report no error (E:) and no warning (W:). A tag
# the packages carry on purpose is overridden in packaging/lintian-overrides with the reason
# beside it; lintian reads the override from the package itself.
# Usage: package_lintian.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
command -v lintian >/dev/null || { echo "FAIL: no lintian (scripts/deps.sh installs it)"; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/marvolen-lintian.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; exit 1; }
status=0
for deb in "$scratch"/*.deb; do
  # --tag-display-limit 0: every instance of a tag, so none hides behind another.
  lintian --tag-display-limit 0 --display-level ">=warning" "$deb" >"$scratch/lintian.out" 2>&1 ||
    true
  echo "== lintian $(basename "$deb")"
  cat "$scratch/lintian.out"
  if grep -qE '^[EW]: ' "$scratch/lintian.out"; then
    status=1
  fi
  # The user's guide and the changelog are where an operator on the server looks.
  package=$(dpkg-deb -f "$deb" Package)
  dpkg-deb -c "$deb" >"$scratch/contents"
  for file in copyright changelog.gz; do
    grep -q " \./usr/share/doc/$package/$file$" "$scratch/contents" ||
      { echo "FAIL: $package has no /usr/share/doc/$package/$file"; status=1; }
  done
done
dpkg-deb -c "$scratch"/marvolen_*.deb >"$scratch/contents"
grep -q " \./usr/share/doc/marvolen/README.md$" "$scratch/contents" ||
  { echo "FAIL: no user's guide in /usr/share/doc/marvolen"; status=1; }
((status == 0)) || { echo "FAIL: lintian reports errors or warnings"; exit 1; }

# postinst, run against stand-ins for the system's tools (nothing real is called): a user
# that cannot be made fails the installation with a message, and a made user passes.
stubs=$scratch/stubs
mkdir -p "$stubs"
ln -s "$(command -v grep)" "$stubs/grep"
postinst() {  # SYSUSERS_STATUS USER_EXISTS_AFTER
  local made=$scratch/user-made
  rm -f "$made"
  printf '#!/bin/sh\n[ "%s" = 0 ] && [ "%s" = yes ] && : >"%s"\nexit %s\n' "$1" "$2" "$made" "$1" \
    >"$stubs/systemd-sysusers"
  printf '#!/bin/sh\n[ -e "%s" ]\n' "$made" >"$stubs/getent"
  printf '#!/bin/sh\necho marvolen dialout\n' >"$stubs/id"
  for tool in adduser systemd-tmpfiles systemctl install; do
    printf '#!/bin/sh\nexit 0\n' >"$stubs/$tool"
  done
  chmod +x "$stubs"/*
  PATH=$stubs /bin/sh "$(dirname "$0")/../../packaging/postinst" configure >"$scratch/postinst.out" 2>&1
}
postinst 0 yes || { cat "$scratch/postinst.out"; echo "FAIL: postinst with its user made"; exit 1; }
for case in "1 no" "0 no"; do
  # shellcheck disable=SC2086
  if postinst $case; then echo "FAIL: postinst succeeded without its user ($case)"; exit 1; fi
  grep -q "marvolen" "$scratch/postinst.out" ||
    { echo "FAIL: postinst failed silently ($case)"; exit 1; }
done
echo "postinst: fails loudly without its user"
echo "PASS: lintian reports no error and no warning"

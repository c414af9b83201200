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
  # --no-tag-display-limit: every instance of a tag, so none hides behind another.
  lintian --no-tag-display-limit --display-level ">=warning" "$deb" >"$scratch/lintian.out" 2>&1 ||
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
dpkg-deb -c "$scratch"/marvolen_*.deb | grep -q " \./usr/share/doc/marvolen/README.md$" ||
  { echo "FAIL: no user's guide in /usr/share/doc/marvolen"; status=1; }
((status == 0)) || { echo "FAIL: lintian reports errors or warnings"; exit 1; }
echo "PASS: lintian reports no error and no warning"

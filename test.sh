#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit and end-to-end tests, then
# the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer, then a short
# bounded fuzzing run of the archive reader.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

scripts/deps.sh

echo "== build"
cmake -S . -B build -DMARVOLEN_WERROR=ON >/dev/null
cmake --build build -j"$jobs"

echo "== unit tests"
(cd build && QT_QPA_PLATFORM=offscreen ctest -LE e2e --output-on-failure -j"$jobs" --timeout 300)

# The end-to-end tests spend their time in the station's fixed waits, not on the processor,
# and each has its own ports and directories: they run side by side.
echo "== end-to-end tests"
(cd build && QT_QPA_PLATFORM=offscreen ctest -L e2e --output-on-failure -j8 --timeout 400)

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# The window is thin wiring over the station logic tested here; leaving it out (and the
# optimiser) keeps this second build short.
cmake -S . -B build-asan -DMARVOLEN_SANITIZE=ON -DMARVOLEN_WERROR=ON -DMARVOLEN_WITH_UI=OFF \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
  UBSAN_OPTIONS=print_stacktrace=1 ctest -L unit --output-on-failure -j"$jobs" --timeout 300)

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzzing"
  scripts/fuzz.sh
fi
echo "== all tests passed"

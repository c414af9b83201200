#!/usr/bin/env bash
# A bounded fuzzing run of the archive reader (about a minute). It builds the libFuzzer
# target with clang in its own build directory and starts from the committed corpus; new
# inputs it finds go to a scratch copy, so the repository's corpus stays small.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${MARVOLEN_FUZZ_SECONDS:-30}"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DMARVOLEN_FUZZ=ON -DMARVOLEN_TESTS=OFF \
  -DMARVOLEN_WITH_UI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target fuzz_zip_reader -j"$(nproc)"

# The target unpacks every input: a memory file system keeps that from dominating the run.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp tests/zip/fuzz_corpus/* "$work/"
build-fuzz/fuzz_zip_reader -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 "$work" 2>&1 | tail -n 15

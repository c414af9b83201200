#!/usr/bin/env bash
# Builds and runs the archive benchmark against the library of the normal build.
# `bench/zip_bench.sh quick` leaves out the 65,535-entry extraction and the 200 MB file.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build --target marvolen_zip -j"$(nproc)"
g++ -O2 -std=c++20 -I. bench/zip_bench.cpp build/zip/libmarvolen_zip.a \
  build/platform/libmarvolen_platform.a -lz -o build/zip_bench
build/zip_bench "$@"

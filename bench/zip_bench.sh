#!/usr/bin/env bash
# Builds marvolen-zip and the archive benchmark, and runs it: marvolen-zip against zip/unzip,
# each as a program of its own (see the header of bench/zip_bench.cpp for what is measured).
# `bench/zip_bench.sh quick` leaves out the 65,535-entry extraction and the 200 MB file.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build --target marvolen-zip -j"$(nproc)" >/dev/null
g++ -O2 -std=c++20 bench/zip_bench.cpp -o build/zip_bench
build/zip_bench build/marvolen-zip "$@"

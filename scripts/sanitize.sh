#!/usr/bin/env bash
# Builds everything but the windows with clang, AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ (the fuzz targets too), and runs the unit and protocol tests under it, then the
# end-to-end runs of the real program (Postfix and hostile servers on loopback).
#   scripts/sanitize.sh               build and test
#   scripts/sanitize.sh --build-only  build only (scripts/fuzz.sh uses this)
set -euo pipefail
cd "$(dirname "$0")/.."
CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
  -DLARKPOST_SANITIZE=ON -DLARKPOST_FUZZ=ON -DLARKPOST_BUILD_UI=OFF -DLARKPOST_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j2
[ "${1:-}" = "--build-only" ] && exit 0
cd build-asan
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --output-on-failure -j2 --timeout 300 -L 'unit|e2e'

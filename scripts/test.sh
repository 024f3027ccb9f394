#!/usr/bin/env bash
# Sets up, builds and runs every test: unit, protocol, end-to-end and window tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300

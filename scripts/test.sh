#!/usr/bin/env bash
# Sets up, builds and runs every test: unit, protocol, end-to-end and window tests; then the unit,
# protocol and end-to-end tests again under AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/), and every fuzz target for 15 seconds from its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300)
scripts/sanitize.sh
scripts/fuzz.sh 15

#!/usr/bin/env bash
# Takes pictures of the real windows into docs/: under Xvfb when it is installed, otherwise on
# Qt's offscreen platform. Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target ui_screenshots >/dev/null
tool="$build/tests/ui/ui_screenshots"
mkdir -p docs
if command -v xvfb-run >/dev/null; then
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$tool" docs
else
  QT_QPA_PLATFORM=offscreen "$tool" docs
fi

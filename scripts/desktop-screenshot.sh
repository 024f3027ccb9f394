#!/usr/bin/env bash
# Installs the program into a scratch prefix, starts it the way a desktop menu does (the Exec line
# of its installed .desktop entry) on a private Xvfb screen, and saves a picture of the screen to
# docs/desktop-entry.png. Needs xvfb-run, xwd (x11-apps) and netpbm.
# Usage: scripts/desktop-screenshot.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
for tool in xvfb-run xwd xwdtopnm pnmtopng; do
  command -v "$tool" >/dev/null || { echo "desktop-screenshot.sh: $tool is missing (apt-get install xvfb x11-apps netpbm)" >&2; exit 1; }
done
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
entry="$prefix/share/applications/larkpost.desktop"
[ -f "$entry" ] || { echo "desktop-screenshot.sh: no desktop entry in $prefix" >&2; exit 1; }
exec_line=$(sed -n 's/^Exec=//p' "$entry" | head -n 1)

# The menu finds the program on PATH; the scratch home keeps the user's own files out of it.
cat >"$scratch/show.sh" <<EOF
#!/usr/bin/env bash
export PATH="$prefix/bin:\$PATH" HOME="$scratch/home" QT_QPA_PLATFORM=xcb
mkdir -p "\$HOME"
$exec_line &
app=\$!
sleep 4
xwd -root -silent >"$scratch/screen.xwd"
kill \$app 2>/dev/null || true
wait \$app 2>/dev/null || true
EOF
chmod +x "$scratch/show.sh"
xvfb-run -a -s "-screen 0 900x720x24" "$scratch/show.sh"
mkdir -p docs
xwdtopnm "$scratch/screen.xwd" 2>/dev/null | pnmtopng >docs/desktop-entry.png
echo "docs/desktop-entry.png: $exec_line from $entry"

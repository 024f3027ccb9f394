#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 30) from its seed corpus, in the sanitizer build.
# A long run: scripts/fuzz.sh 1800
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/sanitize.sh --build-only
failed=0
for corpus in fuzz/corpus/*/; do
  name=$(basename "$corpus")
  bin=build-asan/fuzz/$name
  [ -x "$bin" ] || { echo "missing fuzz target $name" >&2; failed=1; continue; }
  # New inputs go to a scratch folder so the checked-in seeds stay small.
  work=$(mktemp -d)
  echo "== $name for ${seconds}s"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="build-asan/fuzz/$name-" "$work" "$corpus" 2>"build-asan/fuzz/$name.log"; then
    tail -40 "build-asan/fuzz/$name.log" >&2
    failed=1
  fi
  grep -E '^stat::number_of_executed_units' "build-asan/fuzz/$name.log" || true
  rm -rf "$work"
done
exit $failed

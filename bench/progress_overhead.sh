#!/usr/bin/env bash
# What progress reporting costs: one message with a large attachment through Postfix's smtp-sink on
# loopback, sent by a larkpost without progress reporting (BASELINE, e.g. a build of an earlier
# commit), by this build with standard error in a file (progress measured, nothing drawn), and by
# this build on a pseudo-terminal (the progress line drawn). Runs take turns, so a slow spell of
# the machine hits every variant alike; the median of each is printed with its ratio to the first.
#
#   bench/progress_overhead.sh [BUILD_DIR] [BASELINE_BINARY] [SIZE_MB]   (defaults: build, none, 200)
#   RUNS=9 bench/progress_overhead.sh build /tmp/larkpost-before 200
set -euo pipefail
# shellcheck source=bench/sink.sh
. "$(dirname "$0")/sink.sh"
cd "$(dirname "$0")/.."

build=${1:-build}
baseline=${2:-}
size_mb=${3:-200}
runs=${RUNS:-7}

larkpost=$build/src/larkpost
[ -x "$larkpost" ] || { echo "progress_overhead.sh: build larkpost first ($larkpost)" >&2; exit 2; }
command -v script >/dev/null || { echo "progress_overhead.sh: needs script (util-linux)" >&2; exit 2; }

work=$(mktemp -d /tmp/larkpost-progress-bench.XXXXXX)
cleanup() {
  stop_sink
  rm -rf "$work"
}
trap cleanup EXIT

start_sink
port=$sink_port

cp "$larkpost" "$work/larkpost"
[ -z "$baseline" ] || cp "$baseline" "$work/larkpost-baseline"
head -c "$((size_mb * 1024 * 1024))" /dev/urandom >"$work/attachment.bin"
args="/NOS /HOST 127.0.0.1 /PORT $port /FROM bench@larkpost.test /TO sink@example.test /SUBJECT bench /BODY one-attachment /FILES attachment.bin"

# One run of a variant: prints its wall time in seconds; fails when the send failed.
run() {
  local start end
  start=$(date +%s.%N)
  case "$1" in
    baseline) (cd "$work" && ./larkpost-baseline $args 2>"$work/err.txt") ;;
    file)     (cd "$work" && ./larkpost $args 2>"$work/err.txt") ;;
    terminal) (cd "$work" && script -qfec "./larkpost $args" /dev/null >"$work/err.txt") ;;
  esac || { echo "progress_overhead.sh: $1 run failed:" >&2; cat "$work/err.txt" >&2; return 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

variants=(file terminal)
[ -z "$baseline" ] || variants=(baseline file terminal)
for v in "${variants[@]}"; do : >"$work/$v.txt"; done
for _ in $(seq 1 "$runs"); do
  for v in "${variants[@]}"; do run "$v" >>"$work/$v.txt"; done
done

median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
echo "$size_mb MB attachment through smtp-sink on 127.0.0.1, $runs runs each, median wall time:"
first=""
for v in "${variants[@]}"; do
  m=$(median <"$work/$v.txt")
  [ -n "$first" ] || first=$m
  case "$v" in
    baseline) label="without progress reporting (baseline binary)" ;;
    file)     label="progress measured, standard error a file" ;;
    terminal) label="progress line drawn on a pseudo-terminal" ;;
  esac
  awk -v l="$label" -v m="$m" -v f="$first" -v all="$(tr '\n' ' ' <"$work/$v.txt")" \
    'BEGIN { printf "  %-46s %7.3f s  %+6.2f%%   (%s)\n", l, m, (m / f - 1) * 100, all }'
done

#!/usr/bin/env bash
# Sends one message with one attachment through Postfix's smtp-sink on loopback with larkpost,
# swaks and curl, several times each, and prints the median wall time and peak resident memory of
# each sender and the ratio to larkpost's.
#
#   bench/compare_peers.sh [BUILD_DIR] [SIZES_MB...]     (defaults: build, 1 20 200)
#   RUNS=5 bench/compare_peers.sh build 1 20             (runs per sender and size, default 5)
#
# Installs swaks, curl and GNU time when they are missing (benchmark only; the tests need none).
set -euo pipefail
# shellcheck source=bench/sink.sh
. "$(dirname "$0")/sink.sh"
cd "$(dirname "$0")/.."

build=${1:-build}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1 20 200)
runs=${RUNS:-5}

larkpost=$build/src/larkpost
[ -x "$larkpost" ] || { echo "compare_peers.sh: build larkpost first ($larkpost)" >&2; exit 2; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
missing=()
command -v swaks >/dev/null || missing+=(swaks)
command -v curl >/dev/null || missing+=(curl)
[ -x /usr/bin/time ] || missing+=(time)
command -v smtp-sink >/dev/null || [ -x /usr/sbin/smtp-sink ] || missing+=(postfix)
if [ ${#missing[@]} -gt 0 ]; then
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

work=$(mktemp -d /tmp/larkpost-bench.XXXXXX)
cleanup() {
  stop_sink
  rm -rf "$work"
}
trap cleanup EXIT

start_sink
port=$sink_port

cp "$larkpost" "$work/larkpost"
from=bench@larkpost.test
to=sink@example.test

# One run: prints "seconds kilobytes" of the command; fails when the sender failed.
measure() {
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >"$work/out.txt" 2>&1 || {
    echo "compare_peers.sh: failed: $*" >&2
    cat "$work/out.txt" >&2
    return 1
  }
  cat "$work/time.txt"
}

run_sender() {
  local sender=$1 file=$2
  case "$sender" in
    larkpost)
      (cd "$work" && measure ./larkpost /NOS /HOST 127.0.0.1 /PORT "$port" /FROM "$from" /TO "$to" \
        /SUBJECT "bench" /BODY "one attachment" /FILES "$(basename "$file")") ;;
    swaks)
      measure swaks --server "127.0.0.1:$port" --from "$from" --to "$to" --header "Subject: bench" \
        --body "one attachment" --attach-type application/octet-stream --attach "$file" --silent 2 ;;
    curl)
      measure curl -sS --url "smtp://127.0.0.1:$port" --mail-from "$from" --mail-rcpt "$to" \
        -H "Subject: bench" -H "From: $from" -H "To: $to" \
        -F "=one attachment;type=text/plain" -F "=@$file;encoder=base64" ;;
  esac
}

median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

printf '%s\n' "Larkpost $("$larkpost" /V | head -n 1 | sed 's/^Larkpost //'); swaks $(swaks --version | head -n 1 | awk '{print $3}'); $(curl --version | head -n 1 | awk '{print $1, $2}'); $runs runs each, smtp-sink on 127.0.0.1"
printf '%-9s %-9s %12s %14s %10s %12s\n' "size" "sender" "median s" "time vs ours" "peak MiB" "mem vs ours"
for mb in "${sizes[@]}"; do
  file=$work/attachment-${mb}MB.bin
  head -c "$((mb * 1024 * 1024))" /dev/urandom >"$file"
  declare -A t m
  for sender in larkpost swaks curl; do
    : >"$work/t.txt"
    : >"$work/m.txt"
    for _ in $(seq 1 "$runs"); do
      read -r secs kb < <(run_sender "$sender" "$file")
      echo "$secs" >>"$work/t.txt"
      echo "$kb" >>"$work/m.txt"
    done
    t[$sender]=$(median <"$work/t.txt")
    m[$sender]=$(median <"$work/m.txt")
  done
  for sender in larkpost swaks curl; do
    awk -v size="${mb} MB" -v s="$sender" -v t="${t[$sender]}" -v m="${m[$sender]}" \
        -v t0="${t[larkpost]}" -v m0="${m[larkpost]}" 'BEGIN {
      tr = (t0 > 0) ? sprintf("%.2fx", t / t0) : "n/a";
      printf "%-9s %-9s %12.2f %14s %10.1f %11.2fx\n", size, s, t, tr, m / 1024, m / m0 }'
  done
  rm -f "$file"
  unset t m
done

#!/usr/bin/env bash
# The CPU time of a small unattended send, start to exit: a plain send to Postfix's smtp-sink (no
# STARTTLS offered), a STARTTLS send to a private Postfix without certificate verification, and
# one with verification against the instance's CA file. Prints the median user+system CPU time of
# each binary over RUNS runs, so two builds (before and after a change) can stand side by side.
#
#   bench/startup_cost.sh [BINARY...]          (default: build/src/larkpost)
#   RUNS=200 bench/startup_cost.sh /tmp/larkpost-before build/src/larkpost
#
# Needs root for the private Postfix (tests/support/postfix.sh) and smtp-sink from postfix.
set -euo pipefail
# shellcheck source=bench/sink.sh
. "$(dirname "$0")/sink.sh"
cd "$(dirname "$0")/.."

binaries=("$@")
[ ${#binaries[@]} -gt 0 ] || binaries=(build/src/larkpost)
runs=${RUNS:-100}
for b in "${binaries[@]}"; do
  [ -x "$b" ] || { echo "startup_cost.sh: no program at $b" >&2; exit 2; }
done

work=$(mktemp -d /tmp/larkpost-startup.XXXXXX)
chmod 755 "$work"  # Postfix's own users must reach its folders inside
cleanup() {
  stop_sink
  bash tests/support/postfix.sh clean "$work/postfix" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

start_sink
port=$sink_port
bash tests/support/postfix.sh start "$work/postfix"
# shellcheck disable=SC1091
. "$work/postfix/ports.env"

python3 - "$runs" "$port" "$TLS_PORT" "$CA_FILE" "$SASL_USER" "$SASL_PASSWORD" "$work" \
  "${binaries[@]}" <<'PY'
import os, shutil, socket, statistics, subprocess, sys, time

runs, sink_port, tls_port, ca, user, password, work = sys.argv[1:8]
binaries = sys.argv[8:]
runs = int(runs)

for _ in range(100):
    try:
        socket.create_connection(("127.0.0.1", int(sink_port)), 1).close()
        break
    except OSError:
        time.sleep(0.05)

common = ["/FROM", "bench@larkpost.test", "/TO", "sink@example.test", "/SUBJECT", "start-up",
          "/BODY", "one line"]
kinds = [
    ("plain (no STARTTLS)", ["/HOST", "127.0.0.1", "/PORT", sink_port]),
    ("STARTTLS, not verified", ["/HOST", "localhost", "/PORT", tls_port, "/AUTH", "1",
                                "/USERID", user, "/PASS", password]),
    ("STARTTLS, verified (/CAFILE)", ["/HOST", "localhost", "/PORT", tls_port, "/AUTH", "1",
                                      "/USERID", user, "/PASS", password, "/CAFILE", ca]),
]
env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}

def cpu_ms(exe, args):
    pid = os.fork()
    if pid == 0:
        fd = os.open(os.devnull, os.O_RDWR)
        for n in (0, 1, 2):
            os.dup2(fd, n)
        os.execve(exe, [exe, *args], env)
    _, status, usage = os.wait4(pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"startup_cost.sh: {exe} {' '.join(args)} failed")
    return (usage.ru_utime + usage.ru_stime) * 1000

print(f"median CPU time (user + system) of one unattended send, {runs} runs each")
for binary in binaries:
    # A folder of its own: no settings file, no logs.
    folder = os.path.join(work, f"bin{binaries.index(binary)}")
    os.makedirs(folder)
    exe = os.path.join(folder, "larkpost")
    shutil.copy2(binary, exe)
    print(binary)
    for name, args in kinds:
        samples = [cpu_ms(exe, common + args) for _ in range(runs)]
        print(f"  {name:30s} {statistics.median(samples):6.1f} ms   "
              f"(min {min(samples):.1f}, max {max(samples):.1f})")
PY

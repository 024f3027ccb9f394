# Sourced by the benchmark scripts: Postfix's smtp-sink on a free loopback port, which accepts
# every message and discards it, fast enough that the sender is what gets measured.
#   start_sink   sets sink_port and sink_pid, and returns once the sink answers
#   stop_sink    ends it (safe to call when it never started)
sink_pid=""
sink_port=""

start_sink() {
  local sink
  sink=$(command -v smtp-sink || echo /usr/sbin/smtp-sink)
  [ -x "$sink" ] || { echo "$(basename "$0"): smtp-sink is missing (package postfix)" >&2; exit 2; }
  sink_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  # 1000 connections may wait.
  "$sink" -u nobody "127.0.0.1:$sink_port" 1000 &
  sink_pid=$!
  for _ in $(seq 1 100); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $sink_port), 1).close()" 2>/dev/null && return 0
    sleep 0.05
  done
}

stop_sink() {
  [ -n "$sink_pid" ] || return 0
  kill "$sink_pid" 2>/dev/null || true
  wait "$sink_pid" 2>/dev/null || true
  sink_pid=""
}

#!/usr/bin/env bash
# The demonstration: starts a private test SMTP server (Postfix) on loopback, sends one message with
# an attachment through it with larkpost, unattended, over STARTTLS with a login, shows the
# activity log and the copy that arrived, and stops the server. Nothing leaves this machine: the
# server relays nothing and delivers every recipient into its own folder.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

build=${LARKPOST_BUILD_DIR:-build}
demo=$PWD/$build/demo
server=$demo/server
app=$demo/app
$sudo tests/support/postfix.sh clean "$server" >/dev/null 2>&1 || true
rm -rf "$app"
mkdir -p "$app"
# A copy of its own, so the settings and log files larkpost keeps beside itself land here.
cp "$build/src/larkpost" "$app/"

trap '$sudo tests/support/postfix.sh stop "$server" >/dev/null 2>&1 || true' EXIT
echo "== Starting a private test SMTP server (Postfix) on 127.0.0.1"
$sudo tests/support/postfix.sh start "$server"
# shellcheck disable=SC1091
. "$server/ports.env"
echo "   port $TLS_PORT: STARTTLS, login as $SASL_USER"

cat >"$app/sample-report.csv" <<'EOF'
month,sent,failed
January,1204,3
February,1187,0
March,1302,1
EOF

recipient=reader@example.test
args=(/HOST 127.0.0.1 /PORT "$TLS_PORT" /AUTH 1 /USERID "$SASL_USER" /PASS "$SASL_PASSWORD"
      /FROM demo@larkpost.test /TO "$recipient" /SUBJECT "Larkpost demo: monthly report"
      /BODY "Hello, the report of the first quarter is attached. Grüße, Larkpost"
      /FILES sample-report.csv /LOG /LOGSMTP)
echo
echo "== Sending (in $app): larkpost ${args[*]}"
rc=0
(cd "$app" && ./larkpost "${args[@]}") || rc=$?
echo "   return code: $rc"

echo
echo "== Activity log ($app/Larkpost.log)"
if [ -f "$app/Larkpost.log" ]; then tr -d '\r' <"$app/Larkpost.log"; fi

echo
echo "== Received copy"
received=""
for _ in $(seq 1 200); do
  received=$($sudo find "$MAILDIR/new" -type f 2>/dev/null | head -n 1)
  [ -n "$received" ] && break
  sleep 0.1
done
if [ -z "$received" ]; then
  echo "   nothing arrived; the server's log is $MAILLOG"
  exit 1
fi
echo "   $received"
$sudo cat "$received" | python3 -c '
import email, email.policy, sys
msg = email.message_from_binary_file(sys.stdin.buffer, policy=email.policy.default)
for key in ("From", "To", "Subject", "Date", "X-Mailer"):
    print(f"   {key}: {msg[key]}")
print("   Body: " + msg.get_body(preferencelist=("plain",)).get_content().strip())
for part in msg.iter_attachments():
    data = part.get_payload(decode=True)
    print(f"   Attachment: {part.get_filename()} ({part.get_content_type()}, {len(data)} bytes)")
'
echo
echo "The SMTP conversation is in $app/Larkpost_SMTP.log; the server keeps the mail after it stops."
exit "$rc"

#!/usr/bin/env bash
# A private Postfix instance on loopback for the end-to-end tests and the demo: nothing is relayed,
# every recipient of every domain is delivered into one maildir, so tests can read back what arrived.
#
#   postfix.sh start DIR   writes DIR/ports.env (PLAIN_PORT, TLS_PORT, AUTH_PORT, SASL_USER, ...)
#   postfix.sh stop DIR
#
# Ports: PLAIN_PORT  no TLS, no authentication, any recipient accepted
#        TLS_PORT    STARTTLS offered, authentication offered and required for relaying
#        AUTH_PORT   no TLS, authentication offered and required (plain-text mechanisms allowed)
# Mail lands in DIR/mail/all/new/ (one file per delivered recipient, with a Delivered-To header).
set -euo pipefail

cmd=${1:?start|stop}
dir=$(realpath -m "${2:?directory}")

sasl_user=larkuser
sasl_realm=larkpost.test
sasl_password='S3cret-pass'

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

stop() {
  [ -f "$dir/conf/main.cf" ] || return 0
  postfix -c "$dir/conf" stop >/dev/null 2>&1 || true
  # master may take a moment to let go of its ports.
  for _ in $(seq 1 50); do
    [ -f "$dir/spool/pid/master.pid" ] && kill -0 "$(cat "$dir/spool/pid/master.pid" 2>/dev/null)" 2>/dev/null || break
    sleep 0.1
  done
}

start() {
  stop
  rm -rf "$dir"
  mkdir -p "$dir"/{conf/sasl,spool,data,mail}
  local plain tls auth
  plain=$(free_port); tls=$(free_port); auth=$(free_port)

  openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 2 \
    -keyout "$dir/conf/key.pem" -out "$dir/conf/cert.pem" >/dev/null 2>&1
  chmod 644 "$dir/conf/key.pem"

  cat >"$dir/conf/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $dir/spool
data_directory = $dir/data
mail_owner = postfix
myhostname = mx.larkpost.test
inet_interfaces = loopback-only
inet_protocols = ipv4
mydestination =
mynetworks = 127.0.0.0/8
relayhost =
default_transport = error:this test server relays nothing
relay_transport = error:this test server relays nothing
virtual_mailbox_domains = static:all
virtual_mailbox_maps = static:all/
virtual_mailbox_base = $dir/mail
virtual_uid_maps = static:65534
virtual_gid_maps = static:65534
virtual_minimum_uid = 100
message_size_limit = 0
virtual_mailbox_limit = 0
maillog_file = $dir/maillog
smtpd_banner = \$myhostname ESMTP
smtpd_tls_cert_file = $dir/conf/cert.pem
smtpd_tls_key_file = $dir/conf/key.pem
smtpd_tls_security_level = none
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
smtpd_sasl_security_options =
smtpd_sasl_tls_security_options =
smtpd_sasl_local_domain = $sasl_realm
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_recipient_restrictions =
broken_sasl_auth_clients = no
alias_maps =
alias_database =
local_recipient_maps =
biff = no
EOF

  cat >"$dir/conf/master.cf" <<EOF
127.0.0.1:$plain inet n - n - - smtpd
127.0.0.1:$tls inet n - n - - smtpd -o smtpd_tls_security_level=may -o smtpd_sasl_auth_enable=yes -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
127.0.0.1:$auth inet n - n - - smtpd -o smtpd_sasl_auth_enable=yes -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF

  cat >"$dir/conf/sasl/smtpd.conf" <<EOF
pwcheck_method: auxprop
auxprop_plugin: sasldb
sasldb_path: $dir/conf/sasldb2
mech_list: PLAIN LOGIN CRAM-MD5 DIGEST-MD5 OTP ANONYMOUS
EOF
  printf '%s' "$sasl_password" | saslpasswd2 -p -c -f "$dir/conf/sasldb2" -u "$sasl_realm" "$sasl_user"
  chown postfix "$dir/conf/sasldb2"
  chmod 640 "$dir/conf/sasldb2"
  chown -R nobody:nogroup "$dir/mail"

  postfix -c "$dir/conf" set-permissions >/dev/null 2>&1 || true
  postfix -c "$dir/conf" check
  postfix -c "$dir/conf" start >/dev/null 2>&1

  # Ready when every port answers its banner.
  local port
  for port in $plain $tls $auth; do
    for i in $(seq 1 100); do
      if python3 - "$port" <<'PY' 2>/dev/null; then break; fi
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1)
s.settimeout(2)
assert s.recv(100).startswith(b"220")
PY
      [ "$i" -lt 100 ] || { echo "postfix did not answer on $port" >&2; exit 1; }
      sleep 0.1
    done
  done

  cat >"$dir/ports.env" <<EOF
PLAIN_PORT=$plain
TLS_PORT=$tls
AUTH_PORT=$auth
SASL_USER=$sasl_user@$sasl_realm
SASL_PASSWORD=$sasl_password
MAILDIR=$dir/mail/all
MAILLOG=$dir/maillog
EOF
}

case "$cmd" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac

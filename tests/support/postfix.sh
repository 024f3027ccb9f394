#!/usr/bin/env bash
# A private Postfix instance on loopback for the end-to-end tests and the demo: nothing is relayed,
# every recipient of every domain is delivered into one maildir, so tests can read back what arrived.
#
#   postfix.sh start DIR   (re)creates DIR, starts the instance, writes DIR/ports.env
#   postfix.sh stop DIR    stops the instance; DIR with its mail and log stays for inspection
#   postfix.sh clean DIR   stops the instance and removes DIR
#
# Ports: PLAIN_PORT  no TLS, no authentication, any recipient accepted
#        TLS_PORT    STARTTLS offered, authentication offered and required for relaying
#        AUTH_PORT   no TLS, authentication offered and required (plain-text mechanisms allowed)
#        IMPLICIT_PORT  TLS from the first byte (wrapper mode, RFC 8314), otherwise as TLS_PORT
#        OTHER_NAME_PORT, EXPIRED_PORT, SELF_SIGNED_PORT  as TLS_PORT, with a certificate made out
#                    for another name, an expired one, and a self-signed one
# TLS_PORT and IMPLICIT_PORT present a certificate for localhost and 127.0.0.1 issued by a CA the
# script makes at every start (CA_FILE); nothing that can expire is kept anywhere.
# On every port the local part "refused" (refused@any.domain) is refused with 550 5.1.1, so tests
# can mix a refused recipient with accepted ones.
# Mail lands in DIR/mail/all/new/ (one file per delivered recipient, with a Delivered-To header);
# the instance's log is DIR/maillog (successful logins show "sasl_method=").
#
# Every instance has its own directory, queue, log and ports, so test runs may start as many as
# they like side by side. Needs root (Postfix's master runs as root); DIR must not contain blanks.
set -euo pipefail

cmd=${1:?start|stop|clean}
dir=$(realpath -m "${2:?directory}")
case "$dir" in *[[:space:]]*) echo "postfix.sh: directory must not contain blanks: $dir" >&2; exit 2 ;; esac

sasl_user=larkuser
sasl_realm=larkpost.test
sasl_password='S3cret-pass'

# Postfix writes its diagnostics to standard error only when that is a terminal; otherwise they go
# to a syslog this machine may not have. Repeat a failed command under a pseudo-terminal to show why.
postfix_cmd() {
  if postfix -c "$dir/conf" "$@" >/dev/null 2>&1; then return 0; fi
  echo "postfix.sh: 'postfix $*' failed for $dir:" >&2
  script -qec "postfix -c $dir/conf check" /dev/null >&2 || true
  if [ -f "$dir/maillog" ]; then tail -n 20 "$dir/maillog" >&2; fi
  return 1
}

master_running() {
  local pid
  pid=$(tr -dc 0-9 2>/dev/null <"$dir/spool/pid/master.pid") || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}

stop() {
  [ -f "$dir/conf/main.cf" ] || return 0
  master_running || return 0
  postfix -c "$dir/conf" stop >/dev/null 2>&1 || true
  # The master lets go of its ports and children a moment after the stop command returns.
  for _ in $(seq 1 100); do
    master_running || return 0
    sleep 0.05
  done
  postfix -c "$dir/conf" abort >/dev/null 2>&1 || true
}

# Seven distinct free loopback ports, held together while they are chosen.
free_ports() {
  python3 -c '
import socket
socks = [socket.socket() for _ in range(7)]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in socks))'
}

write_config() {
  local plain=$1 tls=$2 auth=$3 implicit=$4 other_name=$5 expired=$6 self_signed=$7
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
maillog_file_prefixes = $dir
smtpd_banner = \$myhostname ESMTP
smtpd_peername_lookup = no
smtpd_error_sleep_time = 0
smtpd_soft_error_limit = 1000
smtpd_hard_error_limit = 1000
smtpd_junk_command_limit = 1000
in_flow_delay = 0
smtpd_tls_cert_file = $dir/conf/cert.pem
smtpd_tls_key_file = $dir/conf/key.pem
smtpd_tls_security_level = none
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
smtpd_sasl_security_options =
smtpd_sasl_tls_security_options =
smtpd_sasl_local_domain = $sasl_realm
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_recipient_restrictions = check_recipient_access texthash:$dir/conf/recipient_access
broken_sasl_auth_clients = no
alias_maps =
alias_database =
local_recipient_maps =
biff = no
EOF

  printf 'refused@ 550 5.1.1 Mailbox unavailable\n' >"$dir/conf/recipient_access"

  cat >"$dir/conf/master.cf" <<EOF
127.0.0.1:$plain inet n - n - - smtpd
127.0.0.1:$tls inet n - n - - smtpd -o smtpd_tls_security_level=may -o smtpd_sasl_auth_enable=yes -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
127.0.0.1:$auth inet n - n - - smtpd -o smtpd_sasl_auth_enable=yes -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
127.0.0.1:$implicit inet n - n - - smtpd -o smtpd_tls_wrappermode=yes -o smtpd_tls_security_level=encrypt -o smtpd_sasl_auth_enable=yes -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
127.0.0.1:$other_name inet n - n - - smtpd -o smtpd_tls_security_level=may -o smtpd_tls_cert_file=$dir/conf/other-name.pem -o smtpd_tls_key_file=$dir/conf/other-name.key -o smtpd_sasl_auth_enable=yes -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
127.0.0.1:$expired inet n - n - - smtpd -o smtpd_tls_security_level=may -o smtpd_tls_cert_file=$dir/conf/expired.pem -o smtpd_tls_key_file=$dir/conf/expired.key -o smtpd_sasl_auth_enable=yes -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
127.0.0.1:$self_signed inet n - n - - smtpd -o smtpd_tls_security_level=may -o smtpd_tls_cert_file=$dir/conf/self-signed.pem -o smtpd_tls_key_file=$dir/conf/self-signed.key -o smtpd_sasl_auth_enable=yes -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
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
}

# Ready when every port answers with its banner (through TLS on the implicit port, the fourth);
# gives up early when the master could not bind.
wait_ready() {
  python3 - "$dir/maillog" "$@" <<'PY'
import socket, ssl, sys, time
log, ports = sys.argv[1], [int(p) for p in sys.argv[2:]]
implicit = ports[3]
plain_context = ssl.create_default_context()
plain_context.check_hostname = False
plain_context.verify_mode = ssl.CERT_NONE
deadline = time.monotonic() + 20
pending = list(ports)
while pending and time.monotonic() < deadline:
    try:
        with open(log, errors="replace") as f:
            if "Address already in use" in f.read():
                sys.exit(3)
    except FileNotFoundError:
        pass
    port = pending[0]
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as raw:
            raw.settimeout(5)
            s = plain_context.wrap_socket(raw) if port == implicit else raw
            if s.recv(100).startswith(b"220"):
                s.sendall(b"QUIT\r\n")
                pending.pop(0)
                continue
    except OSError:
        pass
    time.sleep(0.05)
sys.exit(1 if pending else 0)
PY
}

# The queue as Postfix's own set-permissions would lay it out (postfix-files), made directly: the
# start-up check that would otherwise create it takes seconds, and a fresh queue needs none of it.
make_queue() {
  local q=$dir/spool d
  install -d -o root -g root -m 755 "$q" "$q/pid"
  install -d -o postfix -g root -m 700 "$dir/data"
  for d in active bounce corrupt defer deferred flush hold incoming private saved trace; do
    install -d -o postfix -g root -m 700 "$q/$d"
  done
  install -d -o postfix -g postdrop -m 730 "$q/maildrop"
  install -d -o postfix -g postdrop -m 710 "$q/public"
  touch "$q/quick-start"
}

# A CA of this instance's own and the server certificates the ports present, all made now with
# short lives: valid for localhost and 127.0.0.1, for another name, expired, and self-signed.
make_certificates() {
  local c=$dir/conf
  local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  openssl req -x509 "${ec[@]}" -subj "/CN=Larkpost Test CA" -days 2 \
    -keyout "$c/ca.key" -out "$c/ca.pem" >/dev/null 2>&1
  issue() {  # name, common name, subjectAltName, days (negative: already expired)
    openssl req "${ec[@]}" -subj "/CN=$2" -keyout "$c/$1.key" -out "$c/$1.csr" >/dev/null 2>&1
    printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$3" >"$c/$1.ext"
    openssl x509 -req -in "$c/$1.csr" -CA "$c/ca.pem" -CAkey "$c/ca.key" -CAcreateserial \
      -days "$4" -extfile "$c/$1.ext" -out "$c/$1.pem" >/dev/null 2>&1
  }
  issue server localhost DNS:localhost,IP:127.0.0.1 2
  issue other-name mx.elsewhere.test DNS:mx.elsewhere.test 2
  issue expired localhost DNS:localhost,IP:127.0.0.1 -1
  openssl req -x509 "${ec[@]}" -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
    -days 2 -keyout "$c/self-signed.key" -out "$c/self-signed.pem" >/dev/null 2>&1
  cp "$c/server.pem" "$c/cert.pem"
  cp "$c/server.key" "$c/key.pem"
  chmod 644 "$c"/*.key "$c"/*.pem
}

start() {
  stop
  rm -rf "$dir"
  mkdir -p "$dir"/{conf/sasl,spool,data,mail,sasl}

  make_certificates

  # Debian's Postfix reads the Cyrus settings from $config_directory/sasl/smtpd.conf. The user
  # database lives outside the configuration directory, which Postfix wants owned by root.
  cat >"$dir/conf/sasl/smtpd.conf" <<EOF
pwcheck_method: auxprop
auxprop_plugin: sasldb
sasldb_path: $dir/sasl/sasldb2
mech_list: PLAIN LOGIN CRAM-MD5 DIGEST-MD5 OTP ANONYMOUS
EOF
  printf '%s' "$sasl_password" | saslpasswd2 -p -c -f "$dir/sasl/sasldb2" -u "$sasl_realm" "$sasl_user"
  chown -R postfix "$dir/sasl"
  chmod 640 "$dir/sasl/sasldb2"
  chown -R nobody:nogroup "$dir/mail"

  # A chosen port can be taken by someone else before the master binds it: try again with others.
  local attempt ports status
  for attempt in 1 2 3 4 5; do
    read -r -a ports <<<"$(free_ports)"
    write_config "${ports[@]}"
    rm -f "$dir/maillog"
    make_queue
    postfix_cmd start
    status=0
    wait_ready "${ports[@]}" || status=$?
    [ "$status" -eq 0 ] && break
    stop
    if [ "$status" -ne 3 ] || [ "$attempt" -eq 5 ]; then
      echo "postfix.sh: the instance in $dir did not answer on ports ${ports[*]}" >&2
      if [ -f "$dir/maillog" ]; then tail -n 20 "$dir/maillog" >&2; fi
      exit 1
    fi
  done

  cat >"$dir/ports.env" <<EOF
PLAIN_PORT=${ports[0]}
TLS_PORT=${ports[1]}
AUTH_PORT=${ports[2]}
IMPLICIT_PORT=${ports[3]}
OTHER_NAME_PORT=${ports[4]}
EXPIRED_PORT=${ports[5]}
SELF_SIGNED_PORT=${ports[6]}
CA_FILE=$dir/conf/ca.pem
SELF_SIGNED_CERT=$dir/conf/self-signed.pem
SERVER_CERT=$dir/conf/server.pem
SASL_USER=$sasl_user@$sasl_realm
SASL_PASSWORD=$sasl_password
MAILDIR=$dir/mail/all
MAILLOG=$dir/maillog
EOF
}

case "$cmd" in
  start) start ;;
  stop) stop ;;
  clean) stop; rm -rf "$dir" ;;
  *) echo "usage: $0 start|stop|clean DIR" >&2; exit 2 ;;
esac

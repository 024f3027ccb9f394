#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the demo need. Quick when all are there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  qt6-base-dev libgl-dev libbotan-2-dev libssl-dev openssl libidn2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  postfix sasl2-bin libsasl2-modules libsasl2-modules-otp
  python3 xvfb xauth
  man-db groff-base librsvg2-bin
)
# The OAuth 2.0 tests run an SMTP server written for Node.js (npm's smtp-server); a Node.js from
# elsewhere that brings its own npm serves as well as Debian's two packages.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then packages+=(nodejs npm); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# Postfix must not set itself up as the machine's mail server: the tests run private instances.
echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

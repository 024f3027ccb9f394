#!/usr/bin/env bash
# Sets up the machine, builds larkpost and runs the demonstration (scripts/demo.sh): a sample
# message with an attachment sent through a private test SMTP server on loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
exec scripts/demo.sh

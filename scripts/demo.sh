#!/usr/bin/env bash
# Shows what larkpost does from the command line. For now it prints the program's help; it
# becomes a send through a local SMTP server once the send workflow is in.
set -euo pipefail
cd "$(dirname "$0")/.."
build/src/larkpost '/?'

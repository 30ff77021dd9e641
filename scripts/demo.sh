#!/usr/bin/env bash
# Installs what is missing, builds, and runs one whole mail check through the library
# against built-in loopback POP3 and SMTP servers, in a temporary instance.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
exec build/bin/postwain demo

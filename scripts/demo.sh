#!/usr/bin/env bash
# Installs what is missing, builds, and shows Postwain at work in a temporary instance.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
if build/bin/postwain demo; then exit 0; fi
# Until the built-in demo servers exist: start and stop an instance and show its log.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
build/bin/postwain run --home "$home" &
pid=$!
sleep 3
kill -TERM "$pid"
wait "$pid"
cat "$home"/logs/Postwain\ Log\ -\ *.txt

#!/usr/bin/env bash
# Builds and runs the relay benchmark in an optimised build of its own; prints MB/s and
# the peak memory of a single-user and of a domain transfer of 10 MB and of 100 MB, plain
# and from a POP3 server that speaks TLS.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DPOSTWAIN_TESTS=OFF >/dev/null
build-bench/bin/bench_relay

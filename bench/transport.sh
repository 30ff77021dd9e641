#!/usr/bin/env bash
# Builds and runs the transport benchmark in an optimised build of its own; prints the
# MB/s of 1024-byte ReceiveData takes next to a plain blocking recv loop, and the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DPOSTWAIN_TESTS=OFF >/dev/null
build-bench/bin/bench_transport

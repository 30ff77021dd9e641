#!/usr/bin/env bash
# A provider far away: Dovecot to Postfix through a delay proxy at 0, 50 and 200 ms round
# trips, Postwain beside a pipelining fetcher into a maildir (bench/wan.py says more).
#   bench/wan.sh [wan.py options, e.g. --messages 200 --size 10240 --rtt 50]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh mpop dovecot-core dovecot-pop3d postfix python3 time >/dev/null
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DPOSTWAIN_TESTS=OFF >/dev/null
python3 -B bench/wan.py build-bench/bin "$@"

#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs the unit and integration
# tests plain and under AddressSanitizer with UndefinedBehaviorSanitizer, then every
# scripts/test-*.sh (fuzz, end-to-end), and ends with the balance of tests to code
# (scripts/balance.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# The tests spend most of their time waiting on sockets and timers: two per core.
run_ctest() { (cd "$1" && ctest -j "$((2 * $(nproc)))" --output-on-failure --timeout 300); }

echo "== building build"
scripts/build.sh build
echo "== testing build"
run_ctest build
# Only what the tests run, at -O1: the sanitizers find the same faults, the build is quicker.
echo "== building build-asan"
cmake -S . -B build-asan -G Ninja -DPOSTWAIN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  >/dev/null
cmake --build build-asan -j "$(nproc)" --target unit_tests integration_tests scripted_rasapi postwain
echo "== testing build-asan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest build-asan
for extra in scripts/test-*.sh; do
  echo "== $extra"
  "$extra"
done
echo "All Postwain tests passed."
scripts/balance.sh

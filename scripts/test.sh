#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs every test twice,
# plain and under AddressSanitizer with UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

run_suite() {
  local dir=$1
  shift
  echo "== building $dir"
  scripts/build.sh "$dir" "$@"
  echo "== testing $dir"
  (cd "$dir" && ctest -j "$(nproc)" --output-on-failure --timeout 300)
}

run_suite build
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DPOSTWAIN_SANITIZE=ON
for extra in scripts/test-*.sh; do
  [ -e "$extra" ] || continue
  echo "== $extra"
  "$extra"
done
echo "All Postwain tests passed."

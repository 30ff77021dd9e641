#!/usr/bin/env bash
# Line and branch coverage of src/ by the unit and integration tests (gcovr).
#   scripts/coverage.sh            the summary and a table per file
#   COVERAGE_DETAIL=0 ...          the summary only
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh gcovr
dir=build-coverage
# Atomic counters: the notifier and scheduler threads run the same code as the test thread.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=--coverage -fprofile-update=atomic" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$dir" -j "$(nproc)"
find "$dir" -name '*.gcda' -delete
(cd "$dir" && ctest -j "$(nproc)" --timeout 300 --output-on-failure) >"$dir/ctest.log" ||
  { tail -n 40 "$dir/ctest.log"; echo "coverage: tests failed"; exit 1; }
# Notes searched in the build only: a Wine prefix in the tree links to the whole file system.
report=(gcovr -r . "$dir" --object-directory "$dir" --filter 'src/' --exclude-unreachable-branches
  --exclude-throw-branches --exclude-directories '.*/CMakeFiles/[0-9][0-9.]*')
[ "${COVERAGE_DETAIL:-1}" = 0 ] || "${report[@]}"
# gcovr replaces its output file rather than writing into it: never point it at a device.
"${report[@]}" --print-summary -o "$dir/coverage.txt" | grep -E '^(lines|branches):'

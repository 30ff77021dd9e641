#!/usr/bin/env bash
# The balance of tests to code: every non-blank line under tests/ and fuzz/ (code, tables,
# fault lists; the fuzz seed corpus is data the fuzzers start from) against every non-blank
# line of src/, bench/, scripts/, cmake/ and the build files. Counts what git tracks.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { grep -v '^fuzz/corpus/' | tr '\n' '\0' | xargs -0 -r cat | grep -c -v '^[[:space:]]*$' || true; }
tests=$(git ls-files -- tests fuzz | count)
code=$(git ls-files -- src bench scripts cmake CMakeLists.txt .ci/run | count)
echo "tests/code: $tests / $code non-blank lines ($(awk "BEGIN { printf \"%.1f\", 100 * $tests / $code }") %)"

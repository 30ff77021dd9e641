#!/usr/bin/env bash
# Builds Postwain into build/ (or the directory given), binaries in build/bin/.
# Extra arguments go to CMake, e.g. scripts/build.sh build-asan -DPOSTWAIN_SANITIZE=ON
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"

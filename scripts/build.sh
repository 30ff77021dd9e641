#!/usr/bin/env bash
# Builds Postwain into build/ (or the directory given), binaries in build/bin/.
# Extra arguments go to CMake, e.g. scripts/build.sh build-asan -DPOSTWAIN_SANITIZE=ON
# scripts/build.sh --windows [CMAKE ARGS] cross-builds pwt.dll and postwain.exe with
# mingw-w64: 32-bit into build-win32/bin/, 64-bit into build-win64/bin/ (the tests that
# run under Wine too with -DPOSTWAIN_TESTS=ON; scripts/test-windows.sh builds them).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--windows" ]; then
  shift
  for target in win32:i686 win64:x86_64; do
    dir=build-${target%%:*}
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-${target##*:}.cmake" \
      -DPOSTWAIN_TESTS=OFF "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
  done
  exit 0
fi
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each for a short while on its seed corpus in fuzz/corpus/<target>/, as many at
# once as there are cores. FUZZ_SECONDS sets the time per target (default 10). New
# inputs found go to a temporary directory, so the seed corpus stays as committed.
set -euo pipefail
cd "$(dirname "$0")/.."
export seconds=${FUZZ_SECONDS:-10} dir=build-fuzz work
cmake -S fuzz -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build "$dir" -j "$(nproc)"
mkdir -p "$dir/artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fuzz_one() {
  local target
  target=$(basename "$1")
  mkdir -p "$work/$target"
  if "$dir/bin/fuzz_$target" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$target-" "$work/$target" "$1" 2>"$work/$target.log"; then
    echo "fuzz_$target for ${seconds}s: $(grep -E '^stat::number_of_executed_units' "$work/$target.log" || true)"
  else
    tail -n 60 "$work/$target.log"
    echo "fuzz_$target failed"
    return 1
  fi
}
export -f fuzz_one
printf '%s\n' fuzz/corpus/*/ | xargs -P "$(nproc)" -I{} bash -c 'fuzz_one {}'
echo "Fuzz targets ran clean."

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each for a short while on its seed corpus in fuzz/corpus/<target>/.
# FUZZ_SECONDS sets the time per target (default 10). New inputs found go to a
# temporary directory, so the seed corpus stays as committed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-10}
dir=build-fuzz
cmake -S fuzz -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build "$dir" -j "$(nproc)"
mkdir -p "$dir/artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for corpus in fuzz/corpus/*/; do
  target=$(basename "$corpus")
  mkdir -p "$work/$target"
  echo "== fuzz_$target for ${seconds}s"
  "$dir/bin/fuzz_$target" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$target-" "$work/$target" "$corpus" 2>"$work/$target.log" ||
    { tail -n 60 "$work/$target.log"; echo "fuzz_$target failed"; exit 1; }
  grep -E '^(stat::number_of_executed_units|Done)' "$work/$target.log" || true
done
echo "Fuzz targets ran clean."

#!/usr/bin/env bash
# Builds an optimised host tree without sanitizers and runs the benchmarks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh"
cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_SANITIZE=OFF
cmake --build "$root/build/bench" -j "$(nproc)"
for b in "$root"/build/bench/bench/velmora_bench_*; do
    [ -x "$b" ] || continue
    "$b" --benchmark_repetitions=${VELMORA_BENCH_REPETITIONS:-5} --benchmark_report_aggregates_only=true "$@"
done

#!/usr/bin/env bash
# Builds the benchmark program (Release) and runs it once on small tables, to
# prove that every figure can still be measured and every result it checks is
# right. No time is asserted; the run fails only when a call or a value read
# back is wrong.
#
# TAVL_BENCH_SIZE=full runs the full benchmark instead (one to five minutes,
# most of the spread from the disk, which the figures on a file dropped from
# the page cache read; 1.2 GB of generated tables under the system's
# temporary directory, or under TAVL_BENCH_DIR). The summary table is written
# to build-bench/bench-<size>-summary.md.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${TAVL_BENCH_BUILD:-$root/build-bench}
size=${TAVL_BENCH_SIZE:-small}
jobs=$(nproc)

bash scripts/deps.sh cmake g++ make libbenchmark-dev

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVL_BUILD_BENCH=ON \
  -DBUILD_TESTING=OFF -DTAVL_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --target tavl_bench -j "$jobs"

if [ "$size" = small ]; then command="bash scripts/check-bench.sh"; else command="TAVL_BENCH_SIZE=$size bash scripts/check-bench.sh"; fi
args=(--size="$size" --summary="$build/bench-$size-summary.md" --command="$command"
  --benchmark_color=false)
if [ -n "${TAVL_BENCH_DIR:-}" ]; then
  args+=(--data-dir="$TAVL_BENCH_DIR")
elif [ "$size" = small ]; then
  args+=(--data-dir="$build/bench-data")
fi
"$build/bench/tavl_bench" "${args[@]}"

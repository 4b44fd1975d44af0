#!/usr/bin/env bash
# Hardening stage of scripts/check: fuzzes the library and runs the
# concurrency tests under ThreadSanitizer. Fails on any finding.
#
# 1. Builds the libFuzzer targets of tests/fuzz/ with clang, the library
#    instrumented for coverage, AddressSanitizer and UndefinedBehaviorSanitizer.
# 2. Runs each target for FUZZ_SECONDS (default 60) on a scratch copy of its
#    seed corpus (tests/fuzz/corpus/<target>), two at a time; a crash, leak,
#    sanitizer report or timeout fails the stage, and the input that caused
#    it is printed and kept under the build directory.
# 3. Builds the public-interface tests with ThreadSanitizer and runs the
#    concurrency tests.
#
# FUZZ_BUILD_DIR and TSAN_BUILD_DIR choose the build directories.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
fuzz_dir=${FUZZ_BUILD_DIR:-build/hardening-fuzz}
tsan_dir=${TSAN_BUILD_DIR:-build/hardening-tsan}
seconds=${FUZZ_SECONDS:-60}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
targets=(codec loaded indexed index_file linereader roundtrip)

bash scripts/deps.sh cmake make clang libclang-rt-14-dev libgtest-dev libcsv-dev

echo "-- building the fuzz targets (clang, ASan, UBSan, libFuzzer)"
CC=clang CXX=clang++ cmake -S "$root" -B "$fuzz_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVL_BUILD_FUZZ=ON -DTAVL_SANITIZE=fuzzer-no-link,address,undefined \
  -DBUILD_TESTING=OFF -DTAVL_BUILD_TOOLS=OFF >/dev/null
cmake --build "$fuzz_dir" -j "$jobs" --target "${targets[@]/#/fuzz_}"

findings="$fuzz_dir/findings"
rm -rf "$findings"
mkdir -p "$findings"
# Saves sync to the disk; on a memory file system that costs nothing, so the
# fuzzers run several times faster there.
scratch=$(mktemp -d -p /dev/shm tavl-hardening-XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT

run_target() { # target
  local t=$1 work="$scratch/$1"
  mkdir -p "$work/tmp"
  cp -r "tests/fuzz/corpus/$t" "$work/corpus"
  TMPDIR="$work/tmp" \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$fuzz_dir/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/$t-" "$work/corpus" \
      >"$work/log" 2>&1
}

echo "-- fuzzing each target for ${seconds}s"
declare -A status
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
  pids=()
  for t in "${targets[@]:i:jobs}"; do
    run_target "$t" &
    pids+=("$!:$t")
  done
  for entry in "${pids[@]}"; do
    if wait "${entry%%:*}"; then status[${entry#*:}]=0; else status[${entry#*:}]=$?; fi
  done
done

failed=0
summary=""
for t in "${targets[@]}"; do
  log="$scratch/$t/log"
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}' | tail -1)
  runs=${runs:-0}
  summary+=" $t=$runs"
  if [ "${status[$t]}" != 0 ] || [ "$runs" -eq 0 ]; then
    failed=1
    echo "FUZZ FINDING in $t (exit ${status[$t]}, $runs executions):"
    grep -E 'FINDING|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error|SUMMARY' "$log" | head -20 || true
    for input in "$findings/$t"-*; do
      [ -f "$input" ] || continue
      echo "  reproducer $input ($(wc -c <"$input") bytes):"
      od -A x -t x1z -v "$input" | head -20
    done
    echo "  full log:"
    tail -40 "$log"
  fi
done
echo "fuzz executions:$summary"

echo "-- concurrency tests under ThreadSanitizer"
cmake -S "$root" -B "$tsan_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVL_SANITIZE=thread \
  -DTAVL_BUILD_TOOLS=OFF >/dev/null
cmake --build "$tsan_dir" -j "$jobs" --target tavl_api_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  "$tsan_dir/tests/tavl_api_tests" --gtest_filter='Concurrency.*' || failed=1

if [ "$failed" != 0 ]; then
  echo "hardening stage failed"
  exit 1
fi
echo "hardening stage passed"

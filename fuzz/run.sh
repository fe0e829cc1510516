#!/usr/bin/env bash
# Builds the receive-path fuzzer with clang into build-fuzz/ and runs it for the given
# number of seconds (default 60) from the committed seeds, in the given number of
# processes (default 1) that share what they find. New inputs go to build-fuzz/corpus/;
# an input that fails is written to build-fuzz/ as crash-* or leak-*. With more than one
# process, each writes its log to build-fuzz/fuzz-N.log and the total is printed last.
#   fuzz/run.sh 3600      # an hour
#   fuzz/run.sh 3600 2    # an hour on two cores
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${2:-1}
dir=${KEYVANE_FUZZ_DIR:-build-fuzz}
scripts/deps.sh clang libclang-rt-14-dev
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DKEYVANE_FUZZ=ON -DKEYVANE_BUILD_TESTS=OFF -DKEYVANE_BUILD_BENCH=OFF
fi
cmake --build "$dir" --target receive_fuzzer
mkdir -p "$dir/corpus"
# Absolute paths: the target changes its current folder while an input runs.
dir=$(cd "$dir" && pwd)
# Leaks are looked for in every input; one allocation above 64 MB, or more than 2 GB
# in all, is a failure, as is an input that takes more than 60 s (the slowest honest
# ones, a thousand addresses that each build key files, take about 15 s). Freed memory
# stays poisoned for the last 64 MB freed, far more than one input allocates; the
# default 256 MB cost a third of the run in page faults. Inputs stay within 4 KB: room
# for a file of three blocks, and half the time of each input that 8 KB allowed.
parallel=()
if [ "$jobs" -gt 1 ]; then
  parallel=(-jobs="$jobs" -workers="$jobs")
  rm -f "$dir"/fuzz-*.log
fi
seeds=$PWD/fuzz/corpus
# In build-fuzz/: where the processes' logs go.
(cd "$dir" &&
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=64} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  ./fuzz/receive_fuzzer -max_total_time="$seconds" -max_len=4096 -timeout=60 \
    -rss_limit_mb=2048 -malloc_limit_mb=64 -print_final_stats=1 "${parallel[@]}" \
    -artifact_prefix="$dir/" "$dir/corpus" "$seeds")
if [ "$jobs" -gt 1 ]; then
  # A process that failed ends its log with the failure; all of them end with their totals.
  total=0
  for log in "$dir"/fuzz-*.log; do
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$(basename "$log"): ${runs:-no total (see the log)} inputs"
    total=$((total + ${runs:-0}))
  done
  echo "all $jobs processes: $total inputs in $seconds s, $((total / seconds)) per second"
  ! grep -l "ERROR\|receive_fuzzer: " "$dir"/fuzz-*.log
fi

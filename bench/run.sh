#!/usr/bin/env bash
# run.sh: builds the benchmarks (Release, in build-bench/) and runs them, then
# prints the figure table: each figure, its baseline measured in the same run,
# their ratio, the target and the verdict. Extra arguments go to the
# benchmark program (Google Benchmark flags, e.g. --benchmark_filter='^1').
#
# Environment:
#   ORV_BENCH_DIR           where the temporary settings stores go (default:
#                           /dev/shm when writable, else $TMPDIR or /tmp)
#   ORV_BENCH_REPETITIONS   repetitions of each benchmark (default 5; the
#                           table shows the median)
#   ORV_BENCH_BUILD_DIR     build directory (default build-bench)
#   ORV_BENCH_DISK_DIR      a directory on a disk, for the durable-set figure
#                           (default /var/tmp): what a sync costs there
#   ORV_BENCH_SCALE=1       the scale table at 1,000, 10,000 and 50,000 devices
#                           (orv_scale; a few minutes more) instead of its
#                           10,000-device row alone
#
# Installs what is missing with scripts/setup.sh (libbenchmark-dev); nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh libbenchmark-dev

build_dir=${ORV_BENCH_BUILD_DIR:-build-bench}
mkdir -p "$build_dir"
log="$build_dir/bench-build.log"
if ! { cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_BENCH=ON \
         -DORV_BUILD_TESTS=OFF -DORV_BUILD_TOOLS=OFF &&
       cmake --build "$build_dir" -j "$(nproc)" --target orv_bench orv_scale; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "run.sh: the build failed" >&2
  exit 1
fi

# A store on tmpfs measures the library, not the disk: on ext4, replacing a
# value with contents forces a data flush (auto_da_alloc) that dwarfs the rest.
if [ -z "${ORV_BENCH_DIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export ORV_BENCH_DIR=/dev/shm
fi
store_dir=${ORV_BENCH_DIR:-${TMPDIR:-/tmp}}

details="$build_dir/bench-details.txt"
results="$build_dir/bench-results.json"
echo "machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
  "Linux $(uname -r); stores in $store_dir ($(df -PT "$store_dir" | awk 'NR == 2 { print $2 }'))"
disk_dir=${ORV_BENCH_DISK_DIR:-/var/tmp}
echo "durable sets on disk in $disk_dir ($(df -PT "$disk_dir" | awk 'NR == 2 { print $2 }'))"
"$build_dir/bench/orv_bench" \
  --benchmark_repetitions="${ORV_BENCH_REPETITIONS:-5}" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$results" --benchmark_out_format=json \
  "$@" 2>"$details"
echo "per-run report: $details; JSON: $results"
# The resident memory after wait_for_sync, against the cache's heap, in a
# process of its own (in orv_bench, memory earlier figures freed is reused).
echo "resident after wait_for_sync, 10,000 devices (stores in $store_dir):"
if [ "${ORV_BENCH_SCALE:-0}" = 1 ]; then
  "$build_dir/bench/orv_scale" 1000 10000 50000 2>/dev/null || echo "resident: target missed"
else
  "$build_dir/bench/orv_scale" 10000 2>/dev/null || echo "resident: target missed"
fi

#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets of fuzz/ with clang
# (AddressSanitizer + UndefinedBehaviorSanitizer) in $ORV_BUILD_DIR (default:
# build-fuzz) and runs each for SECONDS (default 30), starting from its seed
# corpus fuzz/corpus/<target>/. New inputs go to <build dir>/corpus/<target>/,
# a crashing input to <build dir>/artifacts/; reproduce one with
#   build-fuzz/fuzz/<target>_fuzzer <build dir>/artifacts/<file>
# Without clang it only says so.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found; the fuzzers need clang and libFuzzer: skipped"
  exit 0
fi
scripts/setup.sh libclang-rt-dev  # libFuzzer and the sanitizer runtimes of clang

build_dir=${ORV_BUILD_DIR:-build-fuzz}
cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ -DORV_BUILD_FUZZERS=ON \
  -DORV_BUILD_TESTS=OFF -DORV_BUILD_TOOLS=OFF -DORV_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
for source in fuzz/*_fuzzer.cpp; do
  name=$(basename "$source" .cpp)
  targets+=("${name%_fuzzer}")
done
cmake --build "$build_dir" -j "$(nproc)" --target "${targets[@]/%/_fuzzer}"

# The scratch stores live in memory when they can: a disk makes each input wait.
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

status=0
mkdir -p "$build_dir/artifacts"
for target in "${targets[@]}"; do
  corpus="$build_dir/corpus/$target"
  log="$build_dir/$target.log"
  mkdir -p "$corpus"
  echo "fuzz: $target for $seconds s"
  if ASAN_OPTIONS=detect_leaks=1 "$build_dir/fuzz/${target}_fuzzer" -max_total_time="$seconds" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build_dir/artifacts/$target-" "$corpus" "fuzz/corpus/$target" \
      >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    per_second=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "fuzz: $target: ${runs:-?} executions (${per_second:-?}/s), corpus $(ls "$corpus" | wc -l) new inputs, no failure"
  else
    status=1
    echo "fuzz: $target FAILED; the end of $log:"
    tail -n 60 "$log"
  fi
done
exit $status

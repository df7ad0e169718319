#!/usr/bin/env bash
# test.sh: sets the machine up, builds everything and runs the whole test
# suite. Extra arguments go to CMake's configure step, e.g.
#   scripts/test.sh -DORV_SANITIZE=thread
# The build directory is $ORV_BUILD_DIR (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

# e2fsprogs: the power-cut tests make ext4 images; RapidCheck: the models.
extra=(libgtest-dev e2fsprogs librapidcheck-dev)
case " $* " in *" -DORV_BUILD_BENCH=ON "*) extra+=(libbenchmark-dev) ;; esac
scripts/setup.sh "${extra[@]}"
build_dir=${ORV_BUILD_DIR:-build}
cmake -S . -B "$build_dir" "$@"
cmake --build "$build_dir" -j "$(nproc)"
# The suite mostly waits (on the sync thread's retries, on watches): twice as
# many tests as cores. Sanitizer builds are busy and keep one a core.
jobs=$(nproc)
[[ " $* " == *ORV_SANITIZE=* ]] || jobs=$((jobs * 2))
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" --timeout 600

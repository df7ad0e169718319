#!/usr/bin/env bash
# test-armhf.sh: cross-builds the libraries, tools and tests for 32-bit ARM
# (armhf) and runs the whole test suite under qemu-arm. Extra arguments go to
# CMake's configure step. The build directory is $ORV_BUILD_DIR (default:
# build-armhf).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-armhf.sh
build_dir=${ORV_BUILD_DIR:-build-armhf}
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf-toolchain.cmake" \
  -DORV_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 900

#!/usr/bin/env bash
# package.sh: builds the Debian packages (cmake/packaging.cmake says which) in
# $ORV_PACKAGE_DIR (default: build-deb): a Release build with debug
# information for the -dbgsym packages, installed to /usr without RUNPATH,
# its binaries stripped. Prints the packages' paths. Extra arguments go to
# CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh dpkg-dev scdoc
build_dir=${ORV_PACKAGE_DIR:-build-deb}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_RPATH=ON -DORV_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" >/dev/null
rm -f "$build_dir"/*.deb "$build_dir"/*.ddeb
(cd "$build_dir" && cpack -G DEB >cpack.log 2>&1) || { cat "$build_dir/cpack.log" >&2; exit 1; }
ls "$PWD/$build_dir"/*.deb "$PWD/$build_dir"/*.ddeb

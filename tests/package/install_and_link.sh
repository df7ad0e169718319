#!/usr/bin/env bash
# install_and_link.sh: the installed package as a user meets it. Builds
# $ORV_BUILD_DIR (default: build; configured without tests if new), installs
# it to a temporary prefix, moves the prefix elsewhere (nothing may point into
# the build tree or the old place), then with no LD_LIBRARY_PATH:
#   - runs the installed tools on a store made from examples/home-network.json;
#   - builds examples/client.cpp as an outside CMake project (find_package,
#     asking for C++14 so that the package must raise it to C++17), and
#     with pkg-config as its README section says;
#   - runs both clients against the store, and the two stream services.
set -euo pipefail
cd "$(dirname "$0")/../.."
unset LD_LIBRARY_PATH ORV_SETTINGS_DIR
export ORV_LOG_LEVEL=0
build_dir=${ORV_BUILD_DIR:-build}
[ -f "$build_dir/CMakeCache.txt" ] || cmake -S . -B "$build_dir" -DORV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build_dir" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/prefix"
prefix=$work/prefix store=$work/store
mkdir "$store"
"$prefix/bin/orv-settings" --root "$store" import examples/home-network.json ||
  fail "the installed orv-settings"
owner=$("$prefix/bin/orv-devices" --root "$store" mac a4:83:e7:12:9b:40) && [ "$owner" == laptop-anna ] ||
  fail "the installed orv-devices: $owner"
# client HOW PROGRAM: the client built with HOW finds the owner of a MAC.
client() {
  out=$(ORV_SETTINGS_DIR=$store "$2" a4:83:e7:12:9b:40) &&
    [ "$out" == "a4:83:e7:12:9b:40 belongs to laptop-anna" ] || fail "the $1 client said: $out"
}

cmake -S examples -B "$work/cmake-client" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_STANDARD=14 >/dev/null
cmake --build "$work/cmake-client" >/dev/null || fail "the find_package client doesn't build"
client find_package "$work/cmake-client/orv-example-client"
# The stream services list the store's devices from their stream's snapshot.
out=$(ORV_SETTINGS_DIR=$store "$work/cmake-client/orv-example-stream-poll" 1) &&
  grep -qx "in step: 12 devices" <<<"$out" || fail "the poll() stream service said: $out"
if [ -x "$work/cmake-client/orv-example-stream-sd-event" ]; then
  out=$(ORV_SETTINGS_DIR=$store "$work/cmake-client/orv-example-stream-sd-event" 1) &&
    grep -qx "synced" <<<"$out" || fail "the sd-event stream service said: $out"
fi

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --variable=includedir orvdevmgmt)/orv/devmgmt.h" -ef "$prefix/include/orv/devmgmt.h" ] ||
  fail "pkg-config's includedir: $(pkg-config --variable=includedir orvdevmgmt)"
# shellcheck disable=SC2046  # pkg-config's words are meant to split
g++ -std=c++17 -o "$work/pc-client" examples/client.cpp $(pkg-config --cflags --libs orvdevmgmt) \
  -Wl,-rpath,"$(pkg-config --variable=libdir orvdevmgmt)" || fail "the pkg-config client doesn't build"
client pkg-config "$work/pc-client"
echo "install and link: ok"

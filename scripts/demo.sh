#!/usr/bin/env bash
# demo.sh: the device library at work, in a few seconds after the build.
#
# Sets the machine up (scripts/setup.sh), builds the tools in $ORV_DEMO_BUILD_DIR
# (default: build-demo), imports examples/home-network.json into a private
# temporary store, and runs `orv-devices watch` on it while a scripted set of
# changes plays through `orv-settings`: a speaker joins, is named, is blocked
# and unblocked, changes IP, and leaves. Ends by itself and removes its store.
# Set ORV_DEMO_PAUSE (seconds, default 1) to slow it down or speed it up.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "demo: checking the Debian packages the build needs (scripts/setup.sh)"
scripts/setup.sh
build_dir=${ORV_DEMO_BUILD_DIR:-build-demo}
pause=${ORV_DEMO_PAUSE:-1}
log="$build_dir/demo-build.log"
mkdir -p "$build_dir"
echo "demo: building the two libraries and the tools in $build_dir, a line per step"
echo "demo: (a minute or two the first time on a small machine; the full log: $log)"
# Each compile and link step shows as "demo: [ 40%] compiling <source>".
progress='s|CMakeFiles/[^/]*\.dir/||
s/^\[ *([0-9]+%|[0-9]+\/[0-9]+)\] Building CXX object (.*)\.o$/demo: [\1] compiling \2/p
s/^\[ *([0-9]+%|[0-9]+\/[0-9]+)\] Linking CXX (shared library|static library|executable) (.*)$/demo: [\1] linking \3/p'
if ! { cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_TESTS=OFF &&
  cmake --build "$build_dir" -j "$(nproc)" --target orv-settings orv-devices; } 2>&1 |
  tee "$log" | sed -nuE "$progress"; then
  tail -n 40 "$log" >&2
  echo "demo: the build failed; see $log" >&2
  exit 1
fi
settings_tool="$build_dir/tools/orv-settings"
devices_tool="$build_dir/tools/orv-devices"

store=$(mktemp -d -t orv-demo.XXXXXX)
watch_pid=""
cleanup() {
  if [ -n "$watch_pid" ] && kill -0 "$watch_pid" 2>/dev/null; then
    kill -TERM "$watch_pid" 2>/dev/null || true
    wait "$watch_pid" 2>/dev/null || true
  fi
  rm -rf "$store"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

settings() { "$settings_tool" --root "$store" "$@"; }

bold="" plain=""
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; fi
# say TEXT: a headline between the watcher's lines.
say() { printf '\n%s== %s%s\n' "$bold" "$1" "$plain"; }

# step TEXT ARGS...: tells what happens, shows the orv-settings command, runs
# it, and gives the watcher a moment to print what the library reported.
step() {
  say "$1"
  shift
  local shown="$ orv-settings" arg
  for arg in "$@"; do
    case $arg in
      "" | *[[:space:]]*) shown+=" \"$arg\"" ;;
      *) shown+=" $arg" ;;
    esac
  done
  echo "$shown"
  settings "$@"
  sleep "$pause"
}

echo "demo: importing examples/home-network.json into the private store $store"
settings import examples/home-network.json
echo "demo: starting orv-devices watch (the library's view of the store, event by event)"
echo
"$devices_tool" --root "$store" watch &
watch_pid=$!
sleep "$pause"

device=/devices/speaker-kitchen
mac=b8:e9:37:0a:11:22
step "A speaker joins the network: the gateway records its MAC and IP" \
  set "$device/macs/$mac" 192.168.1.80
step "Someone names it" set "$device/display_name" "Lautsprecher Küche"
step "Its traffic is blocked: the library sends a traffic-blocked report" \
  set "$device/traffic_blocked" 1
step "And unblocked again" set "$device/traffic_blocked" 0
step "Its DHCP lease changes: same MAC, new IP" set "$device/macs/$mac" 192.168.1.81
step "It leaves: its record is deleted" del "$device"

say "Stopping the watcher with SIGTERM"
kill -TERM "$watch_pid"
status=0
wait "$watch_pid" || status=$?
watch_pid=""
if [ "$status" -ne 0 ]; then
  echo "demo: orv-devices watch ended with status $status" >&2
  exit 1
fi
echo
echo "demo: done; the temporary store is removed. Next:"
echo "  $devices_tool --help        $settings_tool --help"
echo "  scripts/test.sh             (the whole test suite)"

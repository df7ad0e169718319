#!/usr/bin/env bash
# debian_packages.sh: the Debian packages as a gateway's developer meets them.
# Builds them (scripts/package.sh), checks what each holds and depends on,
# installs them with dpkg into a scratch root (its own package database; the
# maintainer scripts run outside it), and from there runs both tools on a
# store, builds the -dev package's example client with CMake and with
# pkg-config and runs it, renders the man pages and loads the completion.
# lintian (installed if missing) must find no error.
set -euo pipefail
cd "$(dirname "$0")/../.."
unset ORV_SETTINGS_DIR
export ORV_LOG_LEVEL=0
scripts/setup.sh lintian file man-db
mapfile -t built < <(scripts/package.sh)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Each package: its name, what it must hold, what it must depend on.
declare -A holds=(
  [libvirazezazor1]='usr/lib/*/libvirazezazor.so.1.0.0'
  [liborvdevmgmt1]='usr/lib/*/liborvdevmgmt.so.1.0.0'
  [liborvdevmgmt-dev]='usr/include/orv/devmgmt.h usr/include/orv/devmgmt_mutex.h usr/lib/*/liborvdevmgmt.so usr/lib/*/pkgconfig/orvdevmgmt.pc usr/lib/*/cmake/orvdevmgmt/orvdevmgmtConfig.cmake usr/share/man/man7/orvdevmgmt.7.gz'
  [orv-tools]='usr/bin/orv-settings usr/bin/orv-devices usr/share/man/man1/orv-settings.1.gz usr/share/bash-completion/completions/orv-devices')
declare -A depends=(
  [libvirazezazor1]='libc6 libjansson4 libstdc++6' [liborvdevmgmt1]='libvirazezazor1 libjansson4 libstdc++6'
  [liborvdevmgmt-dev]='liborvdevmgmt1 libvirazezazor1 libjansson-dev' [orv-tools]='liborvdevmgmt1 libvirazezazor1')
debs=() dbgsyms=0
for file in "${built[@]}"; do
  name=$(dpkg-deb -f "$file" Package)
  case $file in *.ddeb) dbgsyms=$((dbgsyms + 1))
    [[ $(dpkg-deb -c "$file") == *"/usr/lib/debug/.build-id/"*".debug"* ]] || fail "$name: no debug symbols"
    continue ;; esac
  debs+=("$file")
  contents=$(dpkg-deb -c "$file" | awk '{print $6}')
  for pattern in ${holds[$name]}; do
    grep -qx "\./${pattern//\*/[^/]*}" <<<"$contents" || fail "$name lacks $pattern"
  done
  wants=", $(dpkg-deb -f "$file" Depends),"
  for dependency in ${depends[$name]}; do
    [[ $wants == *", $dependency "* || $wants == *", $dependency,"* ]] ||
      fail "$name doesn't depend on $dependency: $wants"
  done
  unset "holds[$name]"
done
[ "${#holds[@]}" -eq 0 ] && [ "$dbgsyms" -eq 3 ] || fail "missing: ${!holds[*]}; $dbgsyms -dbgsym packages"

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless -i "${debs[@]}" \
  >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }
[ "$(dpkg --root="$root" -l | grep -c '^ii ')" -eq 4 ] || fail "not every package installed"
lib=$(dirname "$(echo "$root"/usr/lib/*/liborvdevmgmt.so.1)")
file -L "$lib/liborvdevmgmt.so.1" | grep -q ', stripped' || fail "liborvdevmgmt.so.1 is not stripped"
# The scratch root is not in the loader's search path: say it.
export LD_LIBRARY_PATH=$lib

store=$work/store
mkdir "$store"
"$root/usr/bin/orv-settings" --root "$store" import examples/home-network.json || fail "orv-settings"
owner=$("$root/usr/bin/orv-devices" --root "$store" mac a4:83:e7:12:9b:40) && [ "$owner" == laptop-anna ] ||
  fail "orv-devices: $owner"
client() {
  out=$(ORV_SETTINGS_DIR=$store "$2" a4:83:e7:12:9b:40) &&
    [ "$out" == "a4:83:e7:12:9b:40 belongs to laptop-anna" ] || fail "the $1 client said: $out"
}
examples=$root/usr/share/doc/liborvdevmgmt-dev/examples
cmake -S "$examples" -B "$work/cmake-client" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/cmake-client" >/dev/null || fail "the find_package client doesn't build"
client find_package "$work/cmake-client/orv-example-client"
g++ -std=c++17 -Wall -Wextra -Werror "$examples/client.cpp" -o "$work/pc-client" \
  $(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config --cflags --libs orvdevmgmt) || fail "the pkg-config client doesn't build"
client pkg-config "$work/pc-client"

for page in man1/orv-settings.1 man1/orv-devices.1 man7/orvdevmgmt.7; do
  MANWIDTH=80 man -l "$root/usr/share/man/$page.gz" 2>&1 | grep -q '^NAME$' || fail "man -l $page"
done
completion=$root/usr/share/bash-completion/completions
[ "$(bash -c 'source "$1"; source "$2"; complete -p orv-settings orv-devices' - \
  "$completion/orv-settings" "$completion/orv-devices")" == $'complete -F _orv_settings orv-settings\ncomplete -F _orv_devices orv-devices' ] ||
  fail "complete -p"
lintian --fail-on error "${debs[@]}" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log" >&2; fail "lintian"; }
echo "debian packages: ok (${#debs[@]} packages, $dbgsyms with debug symbols)"

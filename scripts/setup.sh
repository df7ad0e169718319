#!/usr/bin/env bash
# setup.sh [PACKAGE...]: installs the Debian packages that build the libraries,
# the tools and the examples (libsystemd-dev for the sd-event one), and the
# extra PACKAGEs, if any is missing: scripts/test.sh adds
# GoogleTest (and Google Benchmark when it builds the benchmarks),
# bench/run.sh Google Benchmark. Run as root (or with sudo available) on a
# Debian machine.
set -euo pipefail

packages=(g++ make cmake pkg-config libjansson-dev libsystemd-dev "$@")
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# apt's progress goes to stderr with ours: a caller's standard output is its
# own data (package.sh prints the packages' paths).
{
  if ! "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
    "${as_root[@]}" apt-get update
    "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
  fi
} >&2

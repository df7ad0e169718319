#!/usr/bin/env bash
# setup-armhf.sh: installs what the 32-bit ARM cross build needs, if any is
# missing: Debian's armhf cross compiler, the armhf (multiarch) Jansson and
# GoogleTest, the armhf C and C++ runtimes (multiarch libc6 and libstdc++6), and
# qemu-arm to run the armhf programs on this machine.
# Run as root (or with sudo available) on a Debian machine. Does nothing, and
# fast, when everything is there.
set -euo pipefail

packages=(g++-arm-linux-gnueabihf libjansson-dev:armhf libgtest-dev:armhf libstdc++6:armhf
          cmake make pkg-config)

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

missing=()
for package in "${packages[@]}"; do
  is_installed "$package" || missing+=("$package")
done
# qemu-arm comes with qemu-user or qemu-user-static (qemu-arm-static); either will do.
if ! command -v qemu-arm >/dev/null && ! command -v qemu-arm-static >/dev/null; then
  missing+=(qemu-user)
fi
# RapidCheck for the model tests, where Debian has it for armhf: without it the
# cross build leaves them out and says so.
optional=()
is_installed librapidcheck-dev:armhf || optional+=(librapidcheck-dev:armhf)
[ ${#missing[@]} -eq 0 ] && [ ${#optional[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
need_update=false
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  echo "setup-armhf: adding the armhf architecture" >&2
  "${as_root[@]}" dpkg --add-architecture armhf
  need_update=true
fi
try_optional() {
  [ ${#optional[@]} -eq 0 ] ||
    "${as_root[@]}" apt-get install -y --no-install-recommends "${optional[@]}" ||
    echo "setup-armhf: no ${optional[*]} here: the model tests are left out" >&2
}
if [ ${#missing[@]} -eq 0 ]; then
  try_optional
  exit 0
fi
echo "setup-armhf: installing ${missing[*]}" >&2
if $need_update || ! "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  # A mirror in the middle of a sync fails one index; the others still serve.
  "${as_root[@]}" apt-get update ||
    echo "setup-armhf: apt-get update reported errors; trying the install anyway" >&2
  if ! "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
    # Some Debian releases ship only the static qemu-arm.
    missing=("${missing[@]/#qemu-user/qemu-user-static}")
    "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi
try_optional

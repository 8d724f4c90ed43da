#!/usr/bin/env bash
# Installs every Debian package the builds, tests and benchmarks need.
# Safe to run again: it only installs what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev llvm-14 lld-14 googletest
  binutils file python3 dpkg-dev libzstd-dev zstd bsdiff
  g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64
  xvfb xauth xdotool x11-utils imagemagick fonts-wqy-microhei
  osslsigncode openssl libssl-dev acl procps nginx-light squid
  qemu-system-x86 debootstrap e2fsprogs
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]}; run this script as root" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # The tests start their own nginx and squid on loopback: the packages' services are not started.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# zstd for the mingw builds, from Debian's source package.
"$(dirname "$0")/build-zstd.sh"

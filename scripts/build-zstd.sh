#!/usr/bin/env bash
# zstd for the mingw builds (the client DLL, the Windows publish command):
# Debian ships none, so this takes Debian's own source package, which apt
# checks against the archive key, and cross-builds it as a static library
# for each architecture. Done once; a later run finds it built.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/zstd
arches=(i686 x86_64)
built=1
for a in "${arches[@]}"; do
  [ -f "$out/$a/lib/libzstd.a" ] && [ -f "$out/$a/include/zstd.h" ] || built=0
done
[ "$built" = 1 ] && exit 0

src=$out/source
if ! ls -d "$src"/libzstd-*/lib >/dev/null 2>&1; then
  if ! apt-get source --print-uris libzstd >/dev/null 2>&1; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "build-zstd: apt has no deb-src entry for zstd; run this script as root" >&2
      exit 1
    fi
    # Source entries for the very archives the machine installs from.
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
        >/etc/apt/sources.list.d/project-deb-src.sources
    else
      grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
        >/etc/apt/sources.list.d/project-deb-src.list
    fi
    apt-get update -qq
  fi
  rm -rf "$src" && mkdir -p "$src"
  # apt verifies the .dsc against the signed Release file; dpkg-source the rest.
  # The newest version whose source a mirror serves (some serve no security sources).
  for v in $(apt-cache showsrc libzstd | awk '/^Version:/ {print $2}' | sort -rV); do
    if (cd "$src" && chmod 777 . && apt-get source -qq "libzstd=$v" >/dev/null 2>&1); then
      break
    fi
  done
  ls -d "$src"/libzstd-*/lib >/dev/null
fi
dir=$(ls -d "$src"/libzstd-*/ | head -1)
echo "build-zstd: $(basename "$dir") from Debian's source package"

for a in "${arches[@]}"; do
  rm -rf "$out/$a.build" && cp -r "$dir" "$out/$a.build"
  # Single-threaded, no legacy formats or deprecated API: what the client and
  # the publish command call.
  make -s -C "$out/$a.build/lib" libzstd.a CC="$a-w64-mingw32-gcc" AR="$a-w64-mingw32-ar" \
    CFLAGS="-O2 -ffunction-sections -fdata-sections" ZSTD_LEGACY_SUPPORT=0 ZSTD_LIB_DEPRECATED=0 \
    ZSTD_LIB_DICTBUILDER=0 >/dev/null
  mkdir -p "$out/$a/lib" "$out/$a/include"
  cp "$out/$a.build/lib/libzstd.a" "$out/$a/lib/"
  cp "$out/$a.build/lib/zstd.h" "$out/$a.build/lib/zstd_errors.h" "$out/$a/include/"
  rm -rf "$out/$a.build"
  echo "build-zstd: $out/$a/lib/libzstd.a"
done

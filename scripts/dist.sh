#!/usr/bin/env bash
# The distribution folder a client team takes: the x86 release updater.exe,
# client_launch.dll for x86 and x64 with their import libraries (Visual C++'s
# .lib, mingw's .dll.a) and .def files, the C header, the publish command for
# Linux and Windows x64, a CMake package config, and SHA256SUMS over all.
#   dist.sh [OUT]    OUT defaults to dist/
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
out=${1:-dist}
for preset in release-x86 release-x64 publish-linux; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
rm -rf "$out"
mkdir -p "$out/include" "$out/x86" "$out/x64" "$out/linux-x64"
cp build/publish-linux/publish/publish "$out/linux-x64/"
mkdir -p "$out/windows-x64" && cp build/release-x64/publish/publish.exe "$out/windows-x64/"
cp build/release-x86/updater.exe "$out/"
cp src/capi/client_launch.h "$out/include/"
mkdir -p "$out/lib/cmake/client_launch"
cp cmake/client_launchConfig.cmake build/release-x64/client_launchConfigVersion.cmake \
  "$out/lib/cmake/client_launch/"
for arch in x86 x64; do
  cp "build/release-$arch/client_launch.dll" "build/release-$arch/client_launch.lib" \
    "build/release-$arch/libclient_launch.dll.a" "$out/$arch/"
done
# x86: the stdcall names with their argument sizes.
cp src/capi/client_launch_x86.def "$out/x86/client_launch.def"
cp src/capi/client_launch.def "$out/x64/client_launch.def"
(cd "$out" && find . -type f ! -name SHA256SUMS | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
echo "dist: $(cd "$out" && pwd)"
(cd "$out" && find . -type f | LC_ALL=C sort | sed 's/^/  /')

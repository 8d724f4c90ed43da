#!/usr/bin/env bash
# A CMake client finds client_launch in the distribution folder and links it,
# with mingw for x86 and x64: the exe imports the DLL of its architecture.
#   package_config.sh DIST
set -euo pipefail
dist=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src"
cat >"$work/src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(client C)
find_package(client_launch 1.0 REQUIRED)
add_executable(client WIN32 client.c)
target_link_libraries(client PRIVATE client_launch::client_launch)
CMAKE
cat >"$work/src/client.c" <<'C'
#include <windows.h>
#include "client_launch.h"
int WINAPI WinMain(HINSTANCE a, HINSTANCE b, LPSTR c, int d) {
  kl_release* release = 0;
  (void)a; (void)b; (void)c; (void)d;
  return KlCheckRelease(L"C:\\releases", 0, L"key", L"KelvoClient", L"C:\\Kelvo", L"1.0", &release, 0);
}
C
for arch in x86 x64; do
  case $arch in
    x86) cc=i686-w64-mingw32-gcc-win32 dump=i686-w64-mingw32-objdump machine=i386 ;;
    x64) cc=x86_64-w64-mingw32-gcc-posix dump=x86_64-w64-mingw32-objdump machine=x86-64 ;;
  esac
  cmake -S "$work/src" -B "$work/$arch" -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$dist" >/dev/null
  cmake --build "$work/$arch" >/dev/null
  headers=$("$dump" -p -f "$work/$arch/client.exe")
  grep -q "DLL Name: client_launch.dll" <<<"$headers" ||
    { echo "FAIL: the $arch client does not import client_launch.dll"; exit 1; }
  grep -q "file format pei-$machine" <<<"$headers" ||
    { echo "FAIL: the $arch client is not $machine"; exit 1; }
done
echo "a CMake client finds client_launch in $dist and links it, x86 and x64"

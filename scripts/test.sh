#!/usr/bin/env bash
# Every test: host (simulated Windows, sanitizers), Wine (real API), the
# checks on the x86 release exe and the client DLLs, the distribution folder,
# and the x86 lane: that exe, the i686 DLL and the i686 test suite under
# 32-bit Wine in a QEMU guest (built once, then cached).
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

step() { printf '\n== %s\n' "$*"; }

step "host build and tests (simulated Windows, ASan + UBSan)"
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host

step "fuzzing the command line, the manifest and the decoder, ${UPDATER_FUZZ_SECONDS:-60} s each (libFuzzer)"
cmake --preset fuzz -DUPDATER_FUZZ_SECONDS="${UPDATER_FUZZ_SECONDS:-60}" >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz

step "x86 release exe and its checks"
cmake --preset release-x86 >/dev/null
cmake --build --preset release-x86
ctest --preset release-x86

step "x64 client DLL and its checks"
cmake --preset release-x64 >/dev/null
cmake --build --preset release-x64
ctest --preset release-x64

step "distribution folder"
./scripts/dist.sh build/dist
(cd build/dist && sha256sum --quiet -c SHA256SUMS) && echo "SHA256SUMS verify"
# The shipped publish command makes a release that it verifies.
tmp=$(mktemp -d) && mkdir "$tmp/v2" && echo 2.0 >"$tmp/v2/core.dll"
build/dist/linux-x64/publish keygen "$tmp/k" >/dev/null
build/dist/linux-x64/publish release --from "$tmp/v2" --to "$tmp/r" --product KelvoClient \
  --version 2.0 --key "$tmp/k.key"
build/dist/linux-x64/publish verify "$tmp/r" --public "$tmp/k.pub" && rm -rf "$tmp"
tests/release/package_config.sh build/dist

step "x86-64 Windows build, tests under Wine"
cmake --preset wine-x64 >/dev/null
cmake --build --preset wine-x64
ctest --preset wine-x64

step "x86 lane: the release exe and the i686 Wine tests in the x86 guest"
cmake --preset wine-x86 >/dev/null
cmake --build --preset wine-x86
tests/x86/lane.sh test "$(pwd)" "$(pwd)/build/wine-x86" "$(pwd)/build/release-x86/updater.exe" \
  "$(pwd)/build/wine-x86/lane"

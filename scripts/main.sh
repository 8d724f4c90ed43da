#!/usr/bin/env bash
# The main job: build the release exe, check it, then the whole cycle under
# Wine in a throwaway prefix: publish version 2.0, serve it with nginx on
# loopback, and let client 1.0 check, fetch and apply it through the launch
# library. By default under 64-bit Wine here (the x86-64 build of the same
# sources: this kernel cannot run 32-bit programs); with --x86, the x86 release
# exe itself in the x86 guest (QEMU, 32-bit Wine; the first run builds the guest).
# The updater is the keyed build: it embeds the release key made here and
# installs only what that key signed.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

echo "== building the x86 release exe and checking it"
cmake --preset release-x86 >/dev/null
cmake --build --preset release-x86
ctest --preset release-x86 --output-on-failure | tail -3
echo "release exe: $(pwd)/build/release-x86/updater.exe"

echo "== building the publish command"
cmake --preset publish-linux >/dev/null
cmake --build --preset publish-linux --target publish
export UPDATER_PUBLISH=$(pwd)/build/publish-linux/publish/publish

echo "== the release key, made once, and the keyed updater that embeds it"
keys=$(pwd)/build/demo-keys
mkdir -p "$keys"
[ -f "$keys/release.key" ] || "$UPDATER_PUBLISH" keygen "$keys/release" >/dev/null
# One key per line, as keygen prints it: the .pub file's body.
sed '1d;$d' "$keys/release.pub" | tr -d '\n' >"$keys/trusted.txt" && echo >>"$keys/trusted.txt"
export UPDATER_DEMO_KEY=$keys/release
keyed() {  # keyed PRESET DIR [TARGETS...]: the updater (and TARGETS), with the key
  cmake --preset "$1" -B "$2" -DUPDATER_RELEASE_KEYS="$keys/trusted.txt" -DUPDATER_TESTS=OFF >/dev/null
  cmake --build "$2" --target updater "${@:3}"
}

if [ "${1:-}" = --x86 ]; then
  echo "== building the i686 stand-in client, then the demo in the x86 guest"
  cmake --preset wine-x86 >/dev/null
  cmake --build --preset wine-x86
  # The guest takes the release DLL from beside the exe.
  keyed release-x86 build/demo-x86 client_launch_dll
  echo "keyed release exe: $(pwd)/build/demo-x86/updater.exe"
  exec tests/x86/lane.sh demo "$(pwd)" "$(pwd)/build/wine-x86" \
    "$(pwd)/build/demo-x86/updater.exe" "$(pwd)/build/wine-x86/demo"
fi

echo "== building the x86-64 exe and the stand-in client for Wine"
cmake --preset wine-x64 >/dev/null
cmake --build --preset wine-x64
keyed wine-x64 build/demo-x64

exec tests/e2e/demo.sh "$(pwd)/build/demo-x64/updater.exe" \
  "$(pwd)/build/wine-x64/tests/KelvoClient.exe" "$(pwd)/build/wine-x64/demo"

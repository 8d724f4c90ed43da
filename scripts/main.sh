#!/usr/bin/env bash
# The main job. For now: build all three configurations and run the release checks.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
for preset in host release-x86 wine-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
ctest --preset release-x86
echo "release exe: $(pwd)/build/release-x86/updater.exe"

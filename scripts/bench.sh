#!/usr/bin/env bash
# Benchmarks (not tests): the program's operations and whole run under Wine,
# each beside its baseline, and the x86 exe's whole run in the x86 guest, as a
# table; also written to build/bench/report.md. First the bytes an update
# fetches on real releases of real programs (from the npm registry), against
# zstd's and bsdiff's, written to build/bench/bytes.md.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
for preset in release-x86 wine-x64 wine-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
cmake --preset publish-linux >/dev/null
cmake --build --preset publish-linux --target publish >/dev/null
export UPDATER_PUBLISH=$(pwd)/build/publish-linux/publish/publish
mkdir -p build/bench
python3 tests/bench/bytes_bench.py "$UPDATER_PUBLISH" "$(pwd)/build/bench/bytes" \
  "$(pwd)/build/bench/bytes.md"
rm -f build/bench/x86.json
tests/x86/lane.sh bench "$(pwd)" "$(pwd)/build/wine-x86" "$(pwd)/build/release-x86/updater.exe" \
  "$(pwd)/build/bench/x86" && cp build/bench/x86/share/out/x86.json build/bench/x86.json
exec python3 tests/bench/run_bench.py "$(pwd)" "$(pwd)/build/wine-x64" \
  "$(pwd)/build/release-x86/updater.exe" "$(pwd)/build/bench" "$(pwd)/build/bench/x86.json"

#!/usr/bin/env bash
# Benchmarks (not tests): the program's operations and whole run under Wine,
# each beside its baseline, as a table; also written to build/bench/report.md.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
for preset in release-x86 wine-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
exec python3 tests/bench/run_bench.py "$(pwd)" "$(pwd)/build/wine-x64" \
  "$(pwd)/build/release-x86/updater.exe" "$(pwd)/build/bench"

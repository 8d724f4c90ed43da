#!/usr/bin/env bash
# Two clean builds of the release exe, in two different folders, must be
# byte-identical: no link timestamp and no build path inside.
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for b in first second-build-elsewhere; do
  cmake -S "$src" --preset release-x86 -B "$work/$b" >/dev/null
  cmake --build "$work/$b" --target updater >/dev/null
done
if cmp "$work/first/updater.exe" "$work/second-build-elsewhere/updater.exe"; then
  echo "two clean builds are byte-identical ($(stat -c %s "$work/first/updater.exe") bytes," \
       "sha256 $(sha256sum "$work/first/updater.exe" | cut -c1-16)...)"
else
  echo "FAIL: the two builds differ"
  exit 1
fi

#!/usr/bin/env bash
# Two clean builds of release binaries, in two different folders, must be
# byte-identical: no link timestamp and no build path inside.
#   reproducible.sh SRC PRESET "TARGET..." "FILE..."
set -euo pipefail
src=$1 preset=$2 targets=$3 files=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for b in first second-build-elsewhere; do
  cmake -S "$src" --preset "$preset" -B "$work/$b" >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$work/$b" --target $targets >/dev/null
done
for f in $files; do
  if cmp "$work/first/$f" "$work/second-build-elsewhere/$f"; then
    echo "$f: two clean builds are byte-identical ($(stat -c %s "$work/first/$f") bytes," \
         "sha256 $(sha256sum "$work/first/$f" | cut -c1-16)...)"
  else
    echo "FAIL: the two builds of $f differ"
    exit 1
  fi
done

#!/usr/bin/env bash
# Inside the x86 guest, as root: the job named in /share/mode (see lane.sh),
# on a copy of the shared files, in the 32-bit prefix made with the image.
set -u
# Not /tmp: the guest's tmpfs keeps no extended attributes, where Wine stores
# the hidden and system attributes.
share=/share work=/var/tmp/lane
mode=$(cat "$share/mode")
rm -rf "$work" && mkdir -p "$work"
cp -r "$share/repo" "$share/bin" "$work/" && chmod -R a+rX "$work"
[ -d "$share/releases" ] && cp -r "$share/releases" "$work/" && export E2E_RELEASES=$work/releases
[ -d "$share/demo" ] && cp -r "$share/demo" "$work/demo-release" &&
  export DEMO_RELEASE=$work/demo-release/kelvo DEMO_KEY=$work/demo-release/key.txt
[ -f "$share/demo/keyed" ] && export DEMO_KEYED=1
# UTF-8, or xdotool cannot match the Chinese captions.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
export UPDATER_WINE_ARCH=win32 UPDATER_WINE_TEMPLATE=/opt/wine-x86/prefix E2E_PATIENCE=4
# The emulated CPU copies about a tenth as fast: a smaller file still takes
# long enough to be stopped part-way.
export E2E_BIG_MIB=160
export UPDATER_DOWNLOAD_HOST=$(cat "$share/download-host")
runner=$work/repo/scripts/wine-run.sh

timed() {  # timed LABEL COMMAND...: runs it and says how long it took
  local start=$SECONDS rc
  "${@:2}"
  rc=$?
  printf '%s: exit code %s after %s s\n' "$1" "$rc" $((SECONDS - start))
  return $rc
}

suite() {
  "$runner" "$work/suite" --init >/dev/null && "$runner" "$work/suite" --persist || return 1
  "$runner" "$work/suite" "$work/bin/wine_tests.exe" --gtest_color=no
  local rc=$?
  "$runner" "$work/suite" --kill
  return $rc
}

case $mode in
  test)
    echo "== i686 Wine test suite (contract, system operations)"
    timed "i686 Wine test suite" suite; suite_rc=$?
    echo "== end to end with the x86 release updater.exe"
    timed "x86 end to end" bash "$work/repo/tests/e2e/e2e.sh" \
      "$work/bin/updater.exe" "$work/bin/KelvoClient.exe" "$work/e2e"; e2e_rc=$?
    cp -r "$work/e2e-artifacts" "$share/out/" 2>/dev/null
    [ "$suite_rc" -eq 0 ] && [ "$e2e_rc" -eq 0 ]
    ;;
  demo)
    bash "$work/repo/tests/e2e/demo.sh" "$work/bin/updater.exe" "$work/bin/KelvoClient.exe" "$work/demo"
    ;;
  bench)
    python3 "$work/repo/tests/bench/run_bench.py" --x86-guest "$work/repo" "$work/bin" "$work/bench" \
      && cp "$work/bench/x86.json" "$share/out/"
    ;;
  *)
    echo "unknown mode: $mode"
    exit 2
    ;;
esac

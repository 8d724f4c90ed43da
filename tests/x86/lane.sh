#!/usr/bin/env bash
# Runs the x86 exes in the x86 guest (scripts/x86-guest.sh), under 32-bit Wine:
#   test   the i686 Wine test suite, then the end-to-end scenarios with the
#          release updater.exe exactly as built
#   demo   the main job's demo update, with the release updater.exe
#   bench  the whole-run benchmark rows (printed as JSON)
#   lane.sh MODE REPO X86_TEST_BUILD RELEASE_EXE OUT
# Screenshots and logs land in OUT/share/out.
set -euo pipefail
mode=$1 repo=$2 build=$3 exe=$4 out=$5
share=$out/share

rm -rf "$share"
mkdir -p "$share/bin" "$share/repo/scripts" "$share/repo/tests" "$share/out"
cp "$exe" "$share/bin/updater.exe"
for f in KelvoClient.exe KelvoClient-v2.exe KelvoClientC.exe wine_tests.exe noop.exe noop_dlls.exe \
         desktop_keeper.exe updater_keyed.exe; do
  cp "$build/tests/$f" "$share/bin/"
done
# The release DLL, as shipped, beside the C client and the tests that load it.
cp "$(dirname "$exe")/client_launch.dll" "$share/bin/"
cp "$repo/scripts/wine-run.sh" "$share/repo/scripts/"
# The guest has no publish command: the releases it updates from are made here.
publish=${UPDATER_PUBLISH:-$repo/build/host/publish/publish}
if [ "$mode" = demo ]; then
  d=$share/demo
  mkdir -p "$d/v2/lang" "$d/v1/lang" && cp "$build/tests/KelvoClient-v2.exe" "$d/v2/KelvoClient.exe"
  printf 'core 2.0' >"$d/v2/core.dll" && printf 'lang 1.0' >"$d/v2/lang/en.pak"
  head -c $((4 << 20)) /dev/urandom >"$d/data.bin" && cp "$d/data.bin" "$d/v2/"
  cp "$build/tests/KelvoClient.exe" "$d/v1/KelvoClient.exe" && printf 'core 1.0' >"$d/v1/core.dll"
  printf 'lang 1.0' >"$d/v1/lang/en.pak" && cp "$d/data.bin" "$d/v1/"
  # The key the keyed updater embeds (scripts/main.sh), or a new one.
  if [ -n "${UPDATER_DEMO_KEY:-}" ]; then
    cp "$UPDATER_DEMO_KEY.key" "$d/key.key" && sed '1d;$d' "$UPDATER_DEMO_KEY.pub" | tr -d '\n' >"$d/key.txt"
    touch "$d/keyed"
  else
    "$publish" keygen "$d/key" | tail -1 >"$d/key.txt"
  fi
  "$publish" release --from "$d/v1" --to "$d/kelvo" --product KelvoClient --version 1.0 \
    --key "$d/key.key" >/dev/null
  "$publish" release --from "$d/v2" --to "$d/kelvo" --product KelvoClient --version 2.0 \
    --key "$d/key.key" >/dev/null
  rm -rf "$d/v2" "$d/v1"
fi
if [ "$mode" = test ]; then
  "$repo/tests/e2e/make_releases.sh" "$publish" \
    "$build/tests/KelvoClient-v2.exe" "$share/releases"
fi
cp -r "$repo/tests/e2e" "$repo/tests/x86" "$repo/tests/bench" "$share/repo/tests/"
echo "$mode" >"$share/mode"
echo "${UPDATER_DOWNLOAD_HOST:-download.example.com}" >"$share/download-host"
echo 'exec bash /share/repo/tests/x86/guest-job.sh' >"$share/job.sh"

"$repo/scripts/x86-guest.sh" run "$share" "${UPDATER_LANE_SECONDS:-1800}"

#!/usr/bin/env bash
# The main job: the whole cycle under Wine, told step by step, as a vendor and
# a user would see it. Versions 1.0 and 2.0 are published with the publish
# command and served by nginx on loopback; client 1.0 checks 2.0, fetches the
# changed files by their deltas from 1.0 with a progress display, verifies and
# stages them and starts the updater, which ends it, installs them and starts 2.0.
#   demo.sh UPDATER_EXE CLIENT_EXE ROOT     (CLIENT_EXE-v2.exe beside it is version 2.0)
# In the x86 guest there is neither publish nor nginx: the release is
# published on the host (DEMO_RELEASE, DEMO_KEY) and read from a folder.
# UPDATER_DEMO_KEY (NAME for NAME.key and NAME.pub) is the key a keyed
# updater was built with; without it a key is made here.
set -u
REPO=$(cd "$(dirname "$0")/../.." && pwd)
UPDATER_EXE=$1 CLIENT_EXE=$2 ROOT=$3
PUBLISH=${UPDATER_PUBLISH:-$REPO/build/publish-linux/publish/publish}
. "$REPO/tests/e2e/lib.sh"
trap stop_everything EXIT

say() { printf '\n-> %s\n' "$*"; }
show() { printf '   %-44s %s\n' "$1" "$(cat "$2" 2>/dev/null || echo '(none)')"; }
version() { tail -1 "$KELVO/KelvoClient.started" | cut -d' ' -f3; }

say "Making a throwaway Wine prefix in $ROOT"
rm -rf "$ROOT" "$ROOT-publish"
start_display && make_prefix || exit 1
KELVO="$PREFIX/drive_c/Kelvo"
SERVED="$PREFIX/drive_c/releases/kelvo"
printf '   per-user data folder: %s\n' "$APPDATA_DIR"

# The same data file in 1.0 and 2.0: it is not fetched.
data=$ROOT-publish/data.bin
mkdir -p "$ROOT-publish" && head -c $((4 << 20)) /dev/urandom >"$data"
if [ -n "${DEMO_RELEASE:-}" ]; then
  say "Version 2.0 was published on the host (the guest has no publish command)"
  mkdir -p "$SERVED" && cp -r "$DEMO_RELEASE/." "$SERVED/" && cp "$DEMO_RELEASE/../data.bin" "$data"
  KEY=$(cat "$DEMO_KEY")
else
  say "Publishing versions 1.0 and 2.0 of the client with publish"
  v1=$ROOT-publish/KelvoClient-1.0 v2=$ROOT-publish/KelvoClient-2.0
  mkdir -p "$v1/lang" && cp "$CLIENT_EXE" "$v1/KelvoClient.exe"
  printf 'core 1.0' >"$v1/core.dll" && printf 'lang 1.0' >"$v1/lang/en.pak" && cp "$data" "$v1/"
  mkdir -p "$v2/lang" && cp "${CLIENT_EXE%.exe}-v2.exe" "$v2/KelvoClient.exe"
  printf 'core 2.0' >"$v2/core.dll" && printf 'lang 1.0' >"$v2/lang/en.pak" && cp "$data" "$v2/"
  keybase=${UPDATER_DEMO_KEY:-$ROOT-publish/release}
  if [ -n "${UPDATER_DEMO_KEY:-}" ]; then
    printf '   the release key: %s.key (made with publish keygen)\n' "$keybase"
  else
    "$PUBLISH" keygen "$keybase" | sed 's/^/   /'
  fi
  # What the client embeds: the public key's PEM body, as keygen printed it.
  KEY=$(sed '1d;$d' "$keybase.pub" | tr -d '\n')
  "$PUBLISH" release --from "$v1" --to "$SERVED" --product KelvoClient --version 1.0 \
    --key "$keybase.key" | sed 's/^/   /'
  "$PUBLISH" release --from "$v2" --to "$SERVED" --product KelvoClient --version 2.0 \
    --key "$keybase.key" | sed 's/^/   /'
  "$PUBLISH" verify "$SERVED" --public "$keybase.pub" | sed 's/^/   /'
fi
# A keyed updater embeds that key (in the guest, DEMO_KEYED says so).
KEYED=${DEMO_KEYED:-${UPDATER_DEMO_KEY:+1}}
if [ -n "$KEYED" ]; then
  printf '   updater.exe is the keyed build: it embeds this key and installs only what it signed\n'
fi
own "$PREFIX/drive_c/releases"
printf '   the release folder:\n'
(cd "$SERVED" && find . -type f | LC_ALL=C sort | sed 's|^\./|     |')

if command -v nginx >/dev/null; then
  say "Serving it with nginx on loopback"
  serve_releases "$PREFIX/drive_c/releases" || { echo "nginx did not start"; exit 1; }
  SOURCE="http://127.0.0.1:$WEB_PORT/kelvo"
else
  say "Serving it from a folder, as a file share would"
  SOURCE='C:\releases\kelvo'
fi
printf '   the client will read %s\n' "$SOURCE"

say "Installing version 1.0 of the client, with updater.exe, in C:\\Kelvo"
install_into Kelvo with-client
put "$KELVO/core.dll" "core 1.0" && put "$KELVO/lang/en.pak" "lang 1.0"
cp "$data" "$KELVO/data.bin" && own "$KELVO"
show 'C:\Kelvo\core.dll' "$KELVO/core.dll"
show 'C:\Kelvo\lang\en.pak' "$KELVO/lang/en.pak"

say "Starting client 1.0 and letting it check for the new version"
start_client Kelvo /update-release "$SOURCE" "$KEY" || exit 1
old=$CLIENT_WINE_PID
printf '   client %s running\n' "$(version)"
wait "$old"; old_rc=$?
printf '   it checked the signed release and said:\n'
sed 's/^/     /' "$KELVO/KelvoClient.launch"
printf '   progress as it fetched (bytes done / bytes in all):\n'
awk 'NR == 1 || NR % 2 == 0' "$KELVO/KelvoClient.progress" | tail -4 | sed 's/^/     /'
wait_starts "$KELVO" 2 >/dev/null

say "What changed"
printf '   the client was ended by the updater with exit code %s\n' "$old_rc"
show 'C:\Kelvo\core.dll' "$KELVO/core.dll"
show 'C:\Kelvo\lang\en.pak (unchanged, not fetched)' "$KELVO/lang/en.pak"
cmp -s "$KELVO/KelvoClient.exe" "${CLIENT_EXE%.exe}-v2.exe" && same=yes || same=no
printf '   C:\\Kelvo\\KelvoClient.exe is the new one: %s\n' "$same"
fetched=$(grep '^fetching' "$KELVO/KelvoClient.launch")
printf '   fetched: %s\n' "${fetched#fetching }"
# Bytes fetched against the changed files' own size and the whole release's.
bytes=$(sed -n 's/^fetching .* files, \([0-9]*\) of .*/\1/p' "$KELVO/KelvoClient.launch")
files=$(sed -n 's/^by delta (\([0-9]*\) bytes of files).*/\1/p' "$KELVO/KelvoClient.launch")
whole=$(awk '/^files / {n = $2; next} n > 0 {s += $2; n--} END {print s}' "$SERVED/stable.3.manifest")
printf '   %s\n' "$(grep '^by delta' "$KELVO/KelvoClient.launch")"
awk -v b="$bytes" -v f="$files" -v w="$whole" 'BEGIN {
  printf "   bytes fetched: %d, %.2f%% of the changed files (%d bytes), %.3f%% of the release (%d bytes)\n",
         b, 100 * b / f, f, 100 * b / w, w }' </dev/null
if [ -f "$ROOT/nginx/access.log" ]; then
  printf '   what nginx served:\n'
  awk '{print "     " $9, $10, $7}' "$ROOT/nginx/access.log"
fi
left=$(find "$STAGING" -type f -printf '%P ')
printf '   staging folder now holds: %s\n' "${left:-(nothing)}"
printf '   dialogs shown: %s\n' "$(shown_texts | wc -l)"
recorded=no
cmp -s "$KELVO/ release.manifest" "$SERVED/stable.3.manifest" && recorded=yes
printf '   the updater recorded release 2.0 in C:\\Kelvo (" release.manifest"): %s\n' "$recorded"
printf '   client running now: %s instance(s), version %s\n' "$(running_clients)" "$(version)"

if [ "$old_rc" = 0 ] && [ "$(cat "$KELVO/core.dll")" = "core 2.0" ] && [ "$same" = yes ] \
   && [ "$(running_clients)" = 1 ] && [ "$(version)" = 2.0 ] && [ -z "$left" ] \
   && grep -q "^fetching 2 of 4 files" "$KELVO/KelvoClient.launch" \
   && grep -q "^by delta (.*): KelvoClient.exe" "$KELVO/KelvoClient.launch" \
   && { [ -z "$KEYED" ] || [ "$recorded" = yes ]; }; then
  say "Version 2.0 was published, fetched (only what changed, by delta), verified and installed; the client runs again."
else
  say "The update did not go as expected."
  exit 1
fi

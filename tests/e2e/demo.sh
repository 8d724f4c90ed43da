#!/usr/bin/env bash
# The main job: a real update under Wine, told step by step. The client
# drives it, as a real one would: it stages the new version through the launch
# library and starts the updater, which ends it, installs, and starts it again.
#   demo.sh UPDATER_EXE CLIENT_EXE ROOT     (CLIENT_EXE-v2.exe beside it is version 2.0)
set -u
REPO=$(cd "$(dirname "$0")/../.." && pwd)
UPDATER_EXE=$1 CLIENT_EXE=$2 ROOT=$3
. "$REPO/tests/e2e/lib.sh"
trap stop_everything EXIT

say() { printf '\n-> %s\n' "$*"; }
show() { printf '   %-44s %s\n' "$1" "$(cat "$2" 2>/dev/null || echo '(none)')"; }
version() { tail -1 "$KELVO/KelvoClient.started" | cut -d' ' -f3; }

say "Making a throwaway Wine prefix in $ROOT"
rm -rf "$ROOT"
start_display && make_prefix || exit 1
KELVO="$PREFIX/drive_c/Kelvo"
NEW="$PREFIX/drive_c/Downloads/KelvoV2"
printf '   per-user data folder: %s\n' "$APPDATA_DIR"

say "Installing version 1.0 of the client, with updater.exe, in C:\\Kelvo"
install_into Kelvo with-client
put "$KELVO/core.dll" "core 1.0"
put "$KELVO/lang.pak" "lang 1.0"
show 'C:\Kelvo\core.dll' "$KELVO/core.dll"
show 'C:\Kelvo\lang.pak' "$KELVO/lang.pak"

say "Version 2.0 has been downloaded to C:\\Downloads\\KelvoV2"
mkdir -p "$NEW" && cp "${CLIENT_EXE%.exe}-v2.exe" "$NEW/KelvoClient.exe"
put "$NEW/core.dll" "core 2.0"
put "$NEW/lang.pak" "lang 2.0"
ls "$NEW" | sed 's/^/   /'

say "Starting the client and asking it to update itself from there"
start_client Kelvo /update-from 'C:\Downloads\KelvoV2' || exit 1
old=$CLIENT_WINE_PID
printf '   client %s running\n' "$(version)"
wait "$old"; old_rc=$?
printf '   it staged the files in %s\\KelvoClient\\UPDATE_TEMP and\n' "$APPDATA_DIR"
sed 's/^/   /' "$KELVO/KelvoClient.launch"
wait_starts "$KELVO" 2 >/dev/null

say "What changed"
printf '   the client was ended by the updater with exit code %s\n' "$old_rc"
show 'C:\Kelvo\core.dll' "$KELVO/core.dll"
show 'C:\Kelvo\lang.pak' "$KELVO/lang.pak"
cmp -s "$KELVO/KelvoClient.exe" "$NEW/KelvoClient.exe" && same=yes || same=no
printf '   C:\\Kelvo\\KelvoClient.exe is the new one: %s\n' "$same"
left=$(find "$STAGING" -type f -printf '%P ')
printf '   staging folder now holds: %s\n' "${left:-(nothing)}"
printf '   dialogs shown: %s\n' "$(shown_texts | wc -l)"
printf '   client running now: %s instance(s), version %s\n' "$(running_clients)" "$(version)"

if [ "$old_rc" = 0 ] && [ "$(cat "$KELVO/core.dll")" = "core 2.0" ] && [ "$(cat "$KELVO/lang.pak")" = "lang 2.0" ] \
   && [ "$same" = yes ] && [ "$(running_clients)" = 1 ] && [ "$(version)" = 2.0 ]; then
  say "Version 2.0 was installed and the client runs again."
else
  say "The update did not go as expected."
  exit 1
fi

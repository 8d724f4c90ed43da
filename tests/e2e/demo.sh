#!/usr/bin/env bash
# The main job: a real update under Wine, told step by step.
#   demo.sh UPDATER_EXE CLIENT_EXE ROOT
set -u
REPO=$(cd "$(dirname "$0")/../.." && pwd)
UPDATER_EXE=$1 CLIENT_EXE=$2 ROOT=$3
. "$REPO/tests/e2e/lib.sh"
trap stop_everything EXIT

say() { printf '\n-> %s\n' "$*"; }
show() { printf '   %-44s %s\n' "$1" "$(cat "$2" 2>/dev/null || echo '(none)')"; }

say "Making a throwaway Wine prefix in $ROOT"
rm -rf "$ROOT"
start_display && make_prefix || exit 1
KELVO="$PREFIX/drive_c/Kelvo"
printf '   per-user data folder: %s\n' "$APPDATA_DIR"

say "Installing version 1.0 of the client in C:\\Kelvo"
install_into Kelvo with-client
put "$KELVO/core.dll" "core 1.0"
put "$KELVO/lang.pak" "lang 1.0"
show 'C:\Kelvo\core.dll' "$KELVO/core.dll"
show 'C:\Kelvo\lang.pak' "$KELVO/lang.pak"

say "Staging version 2.0 in $APPDATA_DIR\\KelvoClient\\UPDATE_TEMP"
put "$STAGING/core.dll" "core 2.0"
put "$STAGING/lang.pak" "lang 2.0"
ls "$STAGING" | sed 's/^/   /'

say "Starting the client"
start_client Kelvo || exit 1
old=$CLIENT_WINE_PID
printf '   running client instances: %s\n' "$(running_clients)"

say "Running: C:\\Kelvo\\updater.exe --files core.dll|lang.pak  (in C:\\Kelvo)"
start_updater Kelvo 'C:\Kelvo\updater.exe' --files 'core.dll|lang.pak'
rc=$(wait_updater)
wait "$old"; old_rc=$?
wait_starts "$KELVO" 2 >/dev/null

say "What changed"
printf '   updater exit code: %s\n' "$rc"
printf '   old client ended with exit code: %s\n' "$old_rc"
show 'C:\Kelvo\core.dll' "$KELVO/core.dll"
show 'C:\Kelvo\lang.pak' "$KELVO/lang.pak"
left=$(ls -A "$STAGING" | tr '\n' ' ')
printf '   staging folder now holds: %s\n' "${left:-(nothing)}"
printf '   dialogs shown: %s\n' "$(shown_texts | wc -l)"
printf '   client starts noted: %s; running now: %s\n' "$(starts_noted "$KELVO")" "$(running_clients)"

if [ "$rc" = 0 ] && [ "$(cat "$KELVO/core.dll")" = "core 2.0" ] && [ "$(cat "$KELVO/lang.pak")" = "lang 2.0" ] \
   && [ "$(running_clients)" = 1 ]; then
  say "The update was installed and the client runs again."
else
  say "The update did not go as expected."
  exit 1
fi

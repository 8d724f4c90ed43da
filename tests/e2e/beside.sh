#!/usr/bin/env bash
# The end-to-end suite with a second copy of it running beside, in a prefix
# of its own, as Wine work of the same user: each must end, find and answer
# only its own processes and dialogs. Both must pass.
#   beside.sh UPDATER_EXE CLIENT_EXE ROOT     (the second copy in ROOT-beside)
set -u
here=$(cd "$(dirname "$0")" && pwd)
beside_log="$3-beside.log"
bash "$here/e2e.sh" "$1" "$2" "$3-beside" >"$beside_log" 2>&1 &
beside=$!
bash "$here/e2e.sh" "$@"
status=$?
wait "$beside"
beside_status=$?
printf '\nthe copy that ran beside: %s\n' "$(tail -n 1 "$beside_log")"
if [ "$beside_status" -ne 0 ]; then
  awk '/^[^ ]/ { title = $0 } /^    FAIL/ { if (title) print title; title = ""; print }' "$beside_log"
  echo "its whole output: $beside_log"
fi
[ "$status" -eq 0 ] && [ "$beside_status" -eq 0 ]

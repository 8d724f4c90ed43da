#!/usr/bin/env bash
# The release folders the end-to-end scenarios update from, made with the
# publish command on Linux (for the x86 lane, on the host before the guest):
#   make_releases.sh PUBLISH CLIENT_V2_EXE OUT
# OUT/key.txt is the public key as a client embeds it; OUT/good is version
# 2.0 of KelvoClient; OUT/deltas is 1.0, 1.5, then 2.0, with deltas from the
# two before (the v1 stand-in beside CLIENT_V2_EXE is 1.0's client; 1.5's is
# it with bytes appended); OUT/deltas-tampered has its client's deltas
# altered; OUT/rollout rolls 2.0 out, and OUT/rollout-halted has it halted;
# every other folder is an attack on a client 1.0.
# OUT/keyed-* are signed by the second of the keyed test updater's two keys
# (tests/e2e/keys, its text in OUT/second.txt).
set -euo pipefail
publish=$1 v2=$2 out=$3
v1=${v2%-v2.exe}.exe
rm -rf "$out" && mkdir -p "$out/v2/lang" "$out/v1/lang" "$out/v15/lang"
cp "$v2" "$out/v2/KelvoClient.exe"
printf 'core 1.0' >"$out/v2/core.dll"
printf 'deutsch 2.0' >"$out/v2/lang/de.pak"
cp "$v1" "$out/v1/KelvoClient.exe" && printf 'core 1.0' >"$out/v1/core.dll"
printf 'deutsch 1.0' >"$out/v1/lang/de.pak"
cp -r "$out/v1/." "$out/v15/" && printf 'release 1.5' >>"$out/v15/KelvoClient.exe"
printf 'deutsch 1.5' >"$out/v15/lang/de.pak"
"$publish" keygen "$out/key" | tail -1 >"$out/key.txt"
"$publish" keygen "$out/other" >/dev/null
release() {  # release FOLDER VERSION [OPTIONS...]
  "$publish" release --from "${from:-$out/v2}" --to "$out/$1" --version "$2" --product KelvoClient \
    --key "$out/key.key" "${@:3}" >/dev/null
}
release good 2.0
"$publish" verify "$out/good" --public "$out/key.pub" >/dev/null
from=$out/v1 release deltas 1.0
from=$out/v15 release deltas 1.5
release deltas 2.0
"$publish" verify "$out/deltas" --public "$out/key.pub" >/dev/null
# KelvoClient.exe is the first file fetched: an attack on it stages nothing.
# Its stored objects: as it is, compressed, and its deltas.
objects_of_client() {  # objects_of_client FOLDER
  echo "files/$(sha256sum "$v2" | cut -d' ' -f1)"
  awk '/^stored / {on = 1; next} on && $1 == 0 {print "files/" $2}' "$1/stable.3.manifest"
}
cp -r "$out/good" "$out/tampered-file"
for o in $(objects_of_client "$out/tampered-file"); do
  printf 'X' | dd of="$out/tampered-file/$o" bs=1 seek=5 conv=notrunc status=none
done
cp -r "$out/good" "$out/longer-file"
for o in $(objects_of_client "$out/longer-file"); do printf 'more' >>"$out/longer-file/$o"; done
cp -r "$out/good" "$out/tampered-manifest"
for m in stable.manifest stable.3.manifest; do
  sed -i 's/^\([0-9a-f]*\) \([0-9]*\) lang\/de.pak$/\1 \2 lang\/fr.pak/' "$out/tampered-manifest/$m"
  cmp -s "$out/good/$m" "$out/tampered-manifest/$m" && exit 1
done
# The deltas of the client altered: it falls back to its compressed whole.
cp -r "$out/deltas" "$out/deltas-tampered"
for o in $(awk '/^stored / {on = 1; next} on && $1 == 0 && NF == 5 {print "files/" $2}' \
             "$out/deltas/stable.3.manifest"); do
  printf 'X' | dd of="$out/deltas-tampered/$o" bs=1 seek=5 conv=notrunc status=none
done
# 2.0 rolling out over 7 days, half of them gone (about 10% of installs
# offered it); and the same halted.
release rollout 2.0 --rollout 7 --published "$(date -u -d '-84 hours' +%Y-%m-%dT%H:%M:%SZ)"
cp -r "$out/rollout" "$out/rollout-halted"
"$publish" halt --to "$out/rollout-halted" --key "$out/key.key" >/dev/null
"$publish" release --from "$out/v2" --to "$out/other-key" --version 2.0 --product KelvoClient \
  --key "$out/other.key" >/dev/null
release old 0.9
release expired 2.0 --published 2020-01-01T00:00:00Z --lifetime 1
"$publish" release --from "$out/v2" --to "$out/other-product" --version 2.0 \
  --product OtherClient --key "$out/key.key" >/dev/null
keys=$(cd "$(dirname "$0")" && pwd)/keys
keyed() {  # keyed FOLDER VERSION PRODUCT [OPTIONS...]
  "$publish" release --from "$out/v2" --to "$out/$1" --version "$2" --product "$3" \
    --key "$keys/second.key" "${@:4}" >/dev/null
}
keyed keyed-good 2.0 KelvoClient
keyed keyed-old 1.5 KelvoClient
keyed keyed-expired 2.0 KelvoClient --published 2020-01-01T00:00:00Z --lifetime 1
keyed keyed-other-product 2.0 OtherClient
grep -v '^#' "$keys/trusted.txt" | tail -1 >"$out/second.txt"
rm -rf "$out/v2" "$out/v1" "$out/v15"

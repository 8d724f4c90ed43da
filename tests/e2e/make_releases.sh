#!/usr/bin/env bash
# The release folders the end-to-end scenarios update from, made with the
# publish command on Linux (for the x86 lane, on the host before the guest):
#   make_releases.sh PUBLISH CLIENT_V2_EXE OUT
# OUT/key.txt is the public key as a client embeds it; OUT/good is version
# 2.0 of KelvoClient; every other folder is an attack on a client 1.0.
# OUT/keyed-* are signed by the second of the keyed test updater's two keys
# (tests/e2e/keys, its text in OUT/second.txt).
set -euo pipefail
publish=$1 v2=$2 out=$3
rm -rf "$out" && mkdir -p "$out/v2/lang"
cp "$v2" "$out/v2/KelvoClient.exe"
printf 'core 1.0' >"$out/v2/core.dll"
printf 'deutsch 2.0' >"$out/v2/lang/de.pak"
"$publish" keygen "$out/key" | tail -1 >"$out/key.txt"
"$publish" keygen "$out/other" >/dev/null
release() {  # release FOLDER VERSION [OPTIONS...]
  "$publish" release --from "$out/v2" --to "$out/$1" --version "$2" --product KelvoClient \
    --key "$out/key.key" "${@:3}" >/dev/null
}
release good 2.0
"$publish" verify "$out/good" --public "$out/key.pub" >/dev/null
# KelvoClient.exe is the first file fetched: an attack on it stages nothing.
exe=files/$(sha256sum "$v2" | cut -d' ' -f1)
cp -r "$out/good" "$out/tampered-file"
printf 'X' | dd of="$out/tampered-file/$exe" bs=1 seek=100 conv=notrunc status=none
cp -r "$out/good" "$out/longer-file" && printf 'more' >>"$out/longer-file/$exe"
cp -r "$out/good" "$out/tampered-manifest"
sed -i 's/^\([0-9a-f]*\) \([0-9]*\) lang\/de.pak$/\1 \2 lang\/fr.pak/' "$out/tampered-manifest/stable.manifest"
cmp -s "$out/good/stable.manifest" "$out/tampered-manifest/stable.manifest" && exit 1
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
rm -rf "$out/v2"

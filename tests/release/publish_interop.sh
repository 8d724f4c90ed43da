#!/usr/bin/env bash
# The publish command on Linux (libcrypto) and on Windows (CNG, under Wine)
# write the same release for the same input, and each verifies the other's;
# keys from either load in openssl, and openssl's keys in both.
#   publish_interop.sh LINUX_PUBLISH WINDOWS_PUBLISH_EXE WINE_RUN WINE_ROOT
set -uo pipefail
abs() { printf '%s/%s' "$(cd "$(dirname "$1")" && pwd)" "$(basename "$1")"; }
linux=$(abs "$1") windows=$(abs "$2") root=$(abs "$4")
wine_run="$(abs "$3") $root"
vectors=$(cd "$(dirname "$0")/../vectors" && pwd)
work=$root/publish-interop
rm -rf "$work" && mkdir -p "$work/v2/lang"
failures=0
check() {  # check DESCRIPTION COMMAND...
  local rc=0
  "${@:2}" >"$work/last.log" 2>&1 || rc=$?
  if [ "$rc" -eq 0 ]; then echo "ok    $1"; else echo "FAIL  $1 (exit code $rc)"; cat "$work/last.log"; failures=$((failures + 1)); fi
}
z() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
win() {  # win ARGS... with Linux paths given as z PATH
  $wine_run "$windows" "$@"
}
printf 'core 2.0' >"$work/v2/core.dll"
printf 'deutsch' >"$work/v2/lang/de.pak"
printf '语言' >"$work/v2/lang/语言.pak"
[ "$(id -u)" -eq 0 ] && chown -R updater-wine: "$work"
at=2026-12-08T13:00:00Z

check "Windows keygen" win keygen "$(z "$work/win")"
check "openssl reads the Windows private key" openssl pkey -in "$work/win.key" -noout
check "its public key is the one openssl derives" \
  cmp <(openssl pkey -in "$work/win.key" -pubout) "$work/win.pub"
check "Linux keygen" "$linux" keygen "$work/lin"

check "Linux release with the Linux key" "$linux" release --from "$work/v2" --to "$work/rl" \
  --product KelvoClient --version 2.0 --key "$work/lin.key" --published $at
check "Windows release of the same files with the Windows key" win release --from "$(z "$work/v2")" \
  --to "$(z "$work/rw")" --product KelvoClient --version 2.0 --key "$(z "$work/win.key")" --published $at
check "the two manifests are byte for byte the same" cmp "$work/rl/stable.manifest" "$work/rw/stable.manifest"
check "and the stored files" diff -r "$work/rl/files" "$work/rw/files"
check "Windows verifies the Linux release" win verify "$(z "$work/rl")" --public "$(z "$work/lin.pub")"
check "Linux verifies the Windows release" "$linux" verify "$work/rw" --public "$work/win.pub"
check "openssl verifies the Windows signature" bash -c "python3 -c '
import sys; s=open(sys.argv[1],\"rb\").read()
def i(b):
    b=b.lstrip(b\"\\0\") or b\"\\0\"
    if b[0]&0x80: b=b\"\\0\"+b
    return bytes([2,len(b)])+b
body=i(s[:32])+i(s[32:]); sys.stdout.buffer.write(bytes([0x30,len(body)])+body)' '$work/rw/stable.sig' >'$work/rw.der' &&
  openssl dgst -sha256 -verify '$work/win.pub' -signature '$work/rw.der' '$work/rw/stable.manifest'"
check "Windows refuses the Linux release under the wrong key" \
  bash -c "$wine_run '$windows' verify '$(z "$work/rl")' --public '$(z "$work/win.pub")' 2>&1 |
           grep -q 'no signature by'"
[ "$(id -u)" -eq 0 ] && chown -R updater-wine: "$work"  # the Linux key, for Wine's user
check "Windows signs with both keys, as in a key rotation" win release --from "$(z "$work/v2")" \
  --to "$(z "$work/r2")" --product KelvoClient --version 2.0 --key "$(z "$work/win.key")" \
  --key "$(z "$work/lin.key")"
check "and Linux finds a signature by each" "$linux" verify "$work/r2" --public "$work/win.pub" \
  --public "$work/lin.pub"

for form in pkcs8 sec1; do
  cp "$vectors/p256-$form.key" "$work/$form.key"
  [ "$(id -u)" -eq 0 ] && chown updater-wine: "$work/$form.key"
  check "Windows signs with openssl's $form key" win release --from "$(z "$work/v2")" \
    --to "$(z "$work/r-$form")" --product KelvoClient --version 2.0 --key "$(z "$work/$form.key")"
  check "and Linux verifies it" "$linux" verify "$work/r-$form" --public \
    <(openssl pkey -in "$vectors/p256-$form.key" -pubout)
done

check "Windows: sign elsewhere" win release --from "$(z "$work/v2")" --to "$(z "$work/rx")" \
  --product KelvoClient --version 2.0 --sign-elsewhere
check "openssl signs the pending bytes" openssl dgst -sha256 -sign "$work/win.key" \
  -out "$work/rx.der" "$work/rx/stable.manifest.pending"
check "and the pending compressed manifest" openssl dgst -sha256 -sign "$work/win.key" \
  -out "$work/rx.3.der" "$work/rx/stable.3.manifest.pending"
[ "$(id -u)" -eq 0 ] && chown -R updater-wine: "$work"
check "Windows attaches the DER signatures" win attach --to "$(z "$work/rx")" \
  --signature "$(z "$work/rx.der")" --signature-3 "$(z "$work/rx.3.der")" \
  --public "$(z "$work/win.pub")"
check "Linux verifies the result" "$linux" verify "$work/rx" --public "$work/win.pub"

printf 'x' >"$work/v2/CON.txt" && [ "$(id -u)" -eq 0 ] && chown updater-wine: "$work/v2/CON.txt"
check "Windows refuses a device name with the launch library's code" bash -c \
  "$wine_run '$windows' release --from '$(z "$work/v2")' --to '$(z "$work/rc")' --product K \
   --version 1 --key '$(z "$work/win.key")' 2>&1 | grep -q 'code 10'"
[ "$failures" -eq 0 ] && echo "the Linux and Windows publishers agree" || exit 1

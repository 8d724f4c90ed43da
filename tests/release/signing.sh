#!/usr/bin/env bash
# The signing step with a throwaway self-signed certificate: a signed copy
# verifies against that certificate, and without a certificate nothing is signed.
set -euo pipefail
repo=$1 exe=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

out=$(env -u UPDATER_SIGN_CERT -u UPDATER_SIGN_KEY "$repo/scripts/sign.sh" "$exe" "$work/unsigned.exe")
echo "$out"
[ ! -e "$work/unsigned.exe" ] || { echo "FAIL: signed without a certificate"; exit 1; }
case "$out" in *"not signed"*) ;; *) echo "FAIL: did not say that nothing was signed"; exit 1 ;; esac

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Kelvo test signing" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
UPDATER_SIGN_CERT="$work/cert.pem" UPDATER_SIGN_KEY="$work/key.pem" \
  "$repo/scripts/sign.sh" "$exe" "$work/signed.exe"
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed.exe" >"$work/verify.log" 2>&1 \
  || { cat "$work/verify.log"; echo "FAIL: the signature does not verify"; exit 1; }
grep -q "Signature verification: ok" "$work/verify.log" || { cat "$work/verify.log"; exit 1; }

# A byte changed after signing must break the signature.
cp "$work/signed.exe" "$work/tampered.exe"
printf 'X' | dd of="$work/tampered.exe" bs=1 seek=1024 conv=notrunc 2>/dev/null
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/tampered.exe" >/dev/null 2>&1; then
  echo "FAIL: a tampered exe still verifies"; exit 1
fi
echo "signed copy verifies; a tampered copy does not"

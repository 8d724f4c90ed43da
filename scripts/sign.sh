#!/usr/bin/env bash
# Signs updater.exe or client_launch.dll with Authenticode.
#   sign.sh IN OUT    (an exe or a DLL)
# The certificate and key come from UPDATER_SIGN_CERT (PEM or SPC) and
# UPDATER_SIGN_KEY (PEM); UPDATER_SIGN_TIMESTAMP_URL adds an RFC 3161 time
# stamp. Without a certificate and key nothing is signed.
set -euo pipefail
in=$1 out=$2
if [ -z "${UPDATER_SIGN_CERT:-}" ] || [ -z "${UPDATER_SIGN_KEY:-}" ]; then
  echo "sign: UPDATER_SIGN_CERT and UPDATER_SIGN_KEY are not set; $in was not signed"
  exit 0
fi
args=(sign -certs "$UPDATER_SIGN_CERT" -key "$UPDATER_SIGN_KEY" -h sha256
      -n "Kelvo client updater" -in "$in" -out "$out")
[ -n "${UPDATER_SIGN_TIMESTAMP_URL:-}" ] && args+=(-ts "$UPDATER_SIGN_TIMESTAMP_URL")
osslsigncode "${args[@]}" >/dev/null
echo "sign: signed $out"

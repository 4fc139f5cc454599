#!/bin/bash
# Signs one Windows executable in place with Authenticode (osslsigncode),
# with the certificate that the environment names: either
#   QL7420_SIGN_PKCS12 (a PKCS#12 file) and QL7420_SIGN_PASSWORD_FILE (its
#   password, if it has one), or
#   QL7420_SIGN_CERT and QL7420_SIGN_KEY (PEM certificate chain and key);
# and QL7420_SIGN_TIMESTAMP, a time-stamping server's URL, if one is reachable.
#   packaging/windows/sign.sh FILE
set -euo pipefail
file=$1
args=(-h sha256 -n "QL-7420 FW Update Tool" -i https://fwupdate.example.com/)
if [ -n "${QL7420_SIGN_PKCS12:-}" ]; then
    args+=(-pkcs12 "$QL7420_SIGN_PKCS12")
    [ -z "${QL7420_SIGN_PASSWORD_FILE:-}" ] || args+=(-readpass "$QL7420_SIGN_PASSWORD_FILE")
elif [ -n "${QL7420_SIGN_CERT:-}" ] && [ -n "${QL7420_SIGN_KEY:-}" ]; then
    args+=(-certs "$QL7420_SIGN_CERT" -key "$QL7420_SIGN_KEY")
else
    echo "sign.sh: set QL7420_SIGN_PKCS12, or QL7420_SIGN_CERT and QL7420_SIGN_KEY" >&2
    exit 1
fi
[ -z "${QL7420_SIGN_TIMESTAMP:-}" ] || args+=(-ts "$QL7420_SIGN_TIMESTAMP")
osslsigncode sign "${args[@]}" -in "$file" -out "$file.signed" >/dev/null
mv "$file.signed" "$file"
echo "signed: $(basename "$file")"

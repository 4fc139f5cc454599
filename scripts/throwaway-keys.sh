#!/bin/bash
# Makes signing keys that prove the signing steps and are good for nothing
# else, in the empty folder DIR:
#   DIR/ca.pem         an authority made for the run;
#   DIR/signing.p12    a code-signing certificate it signed, with its key,
#   DIR/password       under this password;
#   DIR/gnupg          a link to a GNUPGHOME with an OpenPGP key, without
#                      passphrase, for release@example.com, in a short folder
#                      of its own below /tmp: gpg-agent's sockets lie in
#                      GNUPGHOME, and a socket's path must fit in 108 bytes,
#                      which a deep checkout's DIR may not leave room for.
#                      Give gpg the link's target (readlink -f);
#   DIR/firmware.pub   a minisign key pair, without password, for signing
#   DIR/firmware.key   the firmware that the release's programs take.
#   scripts/throwaway-keys.sh DIR
set -euo pipefail
bash "$(dirname "$0")/install-deps.sh" --only openssl gpg minisign >&2
dir=$1
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
cd "$dir"
{
    openssl req -x509 -newkey rsa:3072 -nodes -days 2 -subj "/CN=QL-7420 throwaway authority" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
        -keyout ca.key -out ca.pem
    openssl req -newkey rsa:3072 -nodes -subj "/CN=QL-7420 throwaway code signing" \
        -keyout signing.key -out signing.csr
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
        >signing.ext
    openssl x509 -req -in signing.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile signing.ext -out signing.pem
    openssl rand -hex 16 >password
    openssl pkcs12 -export -inkey signing.key -in signing.pem -certfile ca.pem \
        -passout file:password -out signing.p12
    rm ca.key ca.srl signing.key signing.csr signing.ext
    gnupg=$(mktemp -d /tmp/ql7420-gnupg.XXXXXX)
    ln -s "$gnupg" gnupg
    GNUPGHOME=$gnupg gpg --batch --passphrase '' \
        --quick-gen-key "QL-7420 throwaway release key <release@example.com>" ed25519 sign 2d
    minisign -G -W -p firmware.pub -s firmware.key
} >keys.log 2>&1 || { cat keys.log >&2; exit 1; }

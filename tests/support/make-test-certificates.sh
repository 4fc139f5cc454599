#!/bin/bash
# Makes the certificates the https tests serve, in folder $1:
#   authority.pem          the authority the tests trust
#   other-authority.pem    an authority nobody trusts unless a test pins it
#   server.key             the one key behind every server certificate
#   trusted.pem            from the authority, for 127.0.0.1
#   other-authority-server.pem  from the other authority, for 127.0.0.1
#   wrong-host.pem         from the authority, for firmware.invalid only
#   expired.pem            from the authority, for 127.0.0.1, expired a day ago
#   trusted-name.pem       from the authority, for firmware.example.com
#   other-authority-name.pem  from the other authority, for firmware.example.com
# The commands are those that OpenSSL 3.0 (Debian 12) and 3.5 (Debian 13)
# both accept.
set -euo pipefail
cd "$1"

new_authority() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
        -keyout "$1.key" -out "$1.pem" -days 2 -subj "/CN=$2" 2>/dev/null
}

# issue NAME AUTHORITY DAYS SUBJECT_ALT_NAME
issue() {
    printf 'subjectAltName=%s\n' "$4" >"$1.ext"
    openssl x509 -req -in server.csr -CA "$2.pem" -CAkey "$2.key" -days "$3" \
        -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}

# issue_expired NAME AUTHORITY SUBJECT_ALT_NAME: valid from two days ago until
# yesterday. Only "openssl ca" takes a window in the past on both releases
# (3.5 refuses a negative -days), and it wants a database and a policy.
issue_expired() {
    mkdir -p "$1.ca"
    : >"$1.ca/index.txt"
    echo 01 >"$1.ca/serial"
    cat >"$1.ca/openssl.cnf" <<CONFIG
[ca]
default_ca = expired
[expired]
database = $1.ca/index.txt
serial = $1.ca/serial
new_certs_dir = $1.ca
default_md = sha256
policy = anything
copy_extensions = none
[anything]
commonName = supplied
CONFIG
    printf 'subjectAltName=%s\n' "$3" >"$1.ext"
    openssl ca -batch -notext -config "$1.ca/openssl.cnf" \
        -cert "$2.pem" -keyfile "$2.key" -in server.csr -extfile "$1.ext" \
        -startdate "$(date -u -d '2 days ago' +%Y%m%d%H%M%SZ)" \
        -enddate "$(date -u -d '1 day ago' +%Y%m%d%H%M%SZ)" \
        -out "$1.pem" 2>/dev/null
}

new_authority authority "QL-7420 test authority"
new_authority other-authority "Some other authority"
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout server.key -out server.csr -subj "/CN=firmware server" 2>/dev/null

issue trusted authority 2 IP:127.0.0.1
issue other-authority-server other-authority 2 IP:127.0.0.1
issue wrong-host authority 2 DNS:firmware.invalid
issue trusted-name authority 2 DNS:firmware.example.com
issue other-authority-name other-authority 2 DNS:firmware.example.com
issue_expired expired authority IP:127.0.0.1

#!/usr/bin/env bash
# Makes the test namespace's TLS material once per build tree, in DIR:
#   test-ca.crt         the test CA the namespace trusts
#   service.pem         HOST's certificate and key, signed by the test CA
#   untrusted-ca.crt    a second CA that nothing trusts
#   untrusted-service.pem  HOST's certificate and key, signed by that one, and
#                       that CA's certificate: a server that sends its root lets
#                       WinInet name the fault (ERROR_INTERNET_INVALID_CA), where
#                       an issuer it cannot find is ERROR_INTERNET_SEC_CERT_REV_FAILED
# Made anew when a file is missing, no longer covers HOST, or is about to expire.
# Usage: test-certificates.sh DIR HOST
set -euo pipefail
DIR=$1
HOST=$2
[ -n "$HOST" ] || { echo "test-certificates.sh: no host name given" >&2; exit 2; }

valid() {
    local f
    for f in test-ca.crt service.pem untrusted-ca.crt untrusted-service.pem; do
        [ -s "$DIR/$f" ] || return 1
    done
    for f in service.pem untrusted-service.pem; do
        openssl x509 -in "$DIR/$f" -noout -checkend 2592000 >/dev/null 2>&1 || return 1
        openssl x509 -in "$DIR/$f" -noout -checkhost "$HOST" 2>/dev/null | grep -q "does match" || return 1
    done
    openssl verify -CAfile "$DIR/test-ca.crt" "$DIR/service.pem" >/dev/null 2>&1 || return 1
    openssl verify -CAfile "$DIR/untrusted-ca.crt" "$DIR/untrusted-service.pem" >/dev/null 2>&1 || return 1
    [ "$(grep -c "BEGIN CERTIFICATE" "$DIR/untrusted-service.pem")" = 2 ] || return 1
}

# Usage: make_pair CA_NAME CA_CN SERVICE_NAME [with-ca]
make_pair() {
    local ca=$1 cn=$2 service=$3 with_ca=${4:-} work=$DIR/.work
    rm -rf "$work" && mkdir -p "$work"
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=$cn" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$work/ca.key" -out "$work/ca.crt" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$HOST" \
        -keyout "$work/service.key" -out "$work/service.csr" 2>/dev/null
    printf '%s\n' "subjectAltName=DNS:$HOST" "basicConstraints=critical,CA:FALSE" \
        "keyUsage=critical,digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" >"$work/service.ext"
    openssl x509 -req -in "$work/service.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" \
        -set_serial "0x$(openssl rand -hex 16)" -days 825 -extfile "$work/service.ext" \
        -out "$work/service.crt" 2>/dev/null
    cat "$work/service.crt" "$work/service.key" ${with_ca:+"$work/ca.crt"} >"$DIR/$service"
    # The CA's key is not kept: nothing else is ever signed with it.
    mv "$work/ca.crt" "$DIR/$ca"
    rm -rf "$work"
}

mkdir -p "$DIR"
valid && exit 0
make_pair test-ca.crt "Quorvia Test CA" service.pem
# A name of its own, so that no chain is ever built from it to the trusted CA.
make_pair untrusted-ca.crt "Quorvia Untrusted Test CA" untrusted-service.pem with-ca
valid || { echo "test-certificates.sh: the certificates made in $DIR do not check out" >&2; exit 1; }

#!/bin/sh
# TLS servers for the engine tests (tests/base/TlsEngineServerTest.cpp):
# makes a test CA and certificates with the openssl command line, starts one
# `openssl s_server -rev` per certificate on 127.0.0.1, runs the given
# command with KAVRA_TEST_TLS_* naming them, and stops them however the
# command ends. With --wine the certificate folder is named as a Windows
# program under Wine sees it. Plain POSIX sh, so that the emulated 32-bit
# guest's busybox runs it too.
#
#   good        CN/SAN localhost and 127.0.0.1, signed by ca.pem
#   other-name  self-signed for other.example (trusted through its own file)
#   expired     as good, but its notAfter lies a day back
#   unknown-ca  as good, but signed by a CA the tests are not given
#   and good again, on a TLS 1.2 server that demands a client certificate
#               (in TLS 1.3 its refusal would come after the handshake);
#               client.pem is one it accepts, signed by ca.pem
#
# Usage: .ci/tls-servers.sh [--wine COMMAND] [--certs DIR] COMMAND [ARG...]
#        .ci/tls-servers.sh --make-certs DIR
#   --wine COMMAND   the wine to ask for the folder's Windows name
#   --certs DIR      serve certificates made earlier with --make-certs
#                    (the guest has no time to make RSA keys)
set -eu

wine=""
made=""
while [ $# -gt 0 ]; do
    case $1 in
    --wine) wine=$2; shift 2 ;;
    --certs) made=$2; shift 2 ;;
    --make-certs) make_only=$2; shift 2 ;;
    *) break ;;
    esac
done

if [ -n "${make_only:-}" ]; then
    dir=$make_only
    mkdir -p "$dir"
else
    dir=$(mktemp -d "${TMPDIR:-/tmp}/kavra-tls.XXXXXX")
fi
pids=""
cleanup() {
    for pid in $pids; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    [ -n "${make_only:-}" ] || rm -rf "$dir"
}
trap cleanup EXIT

# RSA, not EC: Wine's crypt32 (8.0) refuses an ECDSA signature whose r or s
# has a leading zero byte, so about one certificate in a hundred signed with
# an EC key would fail its chain under Wine for no fault of the engine.
key() {
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$dir/$1.key" 2>/dev/null
}

# authority NAME CN: a self-signed CA.
authority() {
    key "$1"
    openssl req -x509 -new -key "$dir/$1.key" -subj "/CN=$2" -days 30 -out "$dir/$1.pem"
}

# leaf NAME CN SAN DAYS [CA [USAGE]]: a certificate for USAGE (default
# serverAuth) signed by CA, or self-signed (and so its own CA) without one.
# DAYS -1 makes it expired.
leaf() {
    name=$1 cn=$2 san=$3 days=$4 ca=${5:-} usage=${6:-serverAuth}
    key "$name"
    if [ -z "$ca" ]; then
        openssl req -x509 -new -key "$dir/$name.key" -subj "/CN=$cn" -days "$days" \
            -addext "subjectAltName=$san" -out "$dir/$name.pem"
        return
    fi
    printf 'subjectAltName=%s\nextendedKeyUsage=%s\nbasicConstraints=CA:FALSE\n' "$san" "$usage" \
        >"$dir/$name.ext"
    openssl req -new -key "$dir/$name.key" -subj "/CN=$cn" -out "$dir/$name.csr"
    openssl x509 -req -in "$dir/$name.csr" -CA "$dir/$ca.pem" -CAkey "$dir/$ca.key" \
        -days "$days" -extfile "$dir/$name.ext" -out "$dir/$name.pem" 2>/dev/null
}

make_certs() {
    authority ca "kavra test CA"
    authority other-ca "kavra other CA"
    leaf good localhost "DNS:localhost,IP:127.0.0.1" 30 ca
    leaf other-name other.example "DNS:other.example" 30
    leaf expired localhost "DNS:localhost,IP:127.0.0.1" -1 ca
    leaf unknown-ca localhost "DNS:localhost,IP:127.0.0.1" 30 other-ca
    leaf client "kavra test client" "DNS:client.example" 30 ca clientAuth
}

# serve NAME VARIABLE [OPTION...]: starts s_server with NAME's certificate
# and sets VARIABLE to its port.
serve() {
    name=$1 variable=$2
    shift 2
    log=$dir/$name-$variable.log
    openssl s_server -accept 127.0.0.1:0 -cert "$dir/$name.pem" -key "$dir/$name.key" -rev "$@" \
        </dev/null >"$log" 2>&1 &
    pids="$pids $!"
    tries=0
    while [ "$tries" -lt 600 ]; do
        if grep -q '^ACCEPT ' "$log"; then
            eval "$variable=$(sed -n 's/^ACCEPT .*:\([0-9]*\)$/\1/p' "$log")"
            return
        fi
        sleep 0.1
        tries=$((tries + 1))
    done
    echo "tls-servers: s_server for $name did not start:" >&2
    cat "$log" >&2
    exit 1
}

if [ -n "${make_only:-}" ]; then
    make_certs
    exit 0
fi
if [ -n "$made" ]; then
    cp "$made"/*.pem "$made"/*.key "$dir/"
else
    make_certs
fi
serve good KAVRA_TEST_TLS_GOOD_PORT
serve other-name KAVRA_TEST_TLS_OTHER_NAME_PORT
serve expired KAVRA_TEST_TLS_EXPIRED_PORT
serve unknown-ca KAVRA_TEST_TLS_UNKNOWN_CA_PORT
serve good KAVRA_TEST_TLS_CLIENT_CERT_PORT -Verify 1 -CAfile "$dir/ca.pem" -tls1_2
KAVRA_TEST_TLS_CERTS=$dir
if [ -n "$wine" ]; then
    KAVRA_TEST_TLS_CERTS=$($wine winepath -w "$dir" 2>/dev/null)
fi
export KAVRA_TEST_TLS_GOOD_PORT KAVRA_TEST_TLS_OTHER_NAME_PORT KAVRA_TEST_TLS_EXPIRED_PORT
export KAVRA_TEST_TLS_UNKNOWN_CA_PORT KAVRA_TEST_TLS_CLIENT_CERT_PORT KAVRA_TEST_TLS_CERTS
"$@"

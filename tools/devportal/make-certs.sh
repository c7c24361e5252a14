#!/bin/sh
# Creates a throw-away test CA and a loopback server certificate issued by it.
# Files that already exist are kept, so a build tree can call this on every run
# and a Wine prefix that already trusts the CA keeps working. Never touches the
# host's trust store.
set -eu

usage() {
    cat <<'USAGE'
usage: make-certs.sh OUTDIR

Creates, unless already present, in OUTDIR:
  ca.key      test CA private key (RSA 2048, PEM)
  ca.pem      test CA certificate (PEM), the file clients trust (curl --cacert,
              Python ssl cafile, trust-ca-reg.py for a Wine prefix)
  ca.der      the same CA certificate in DER form
  server.key  server private key (RSA 2048, PEM)
  server.pem  server certificate signed by the CA, subjectAltName
              DNS:localhost, DNS:127.0.0.1, IP:127.0.0.1 (Wine matches host
              names against DNS entries only, hence the DNS form of the address)

A server certificate is only issued when server.pem is missing; if ca.pem is
newly created while an old server.pem exists, the old server.pem no longer
chains to it: delete OUTDIR to start over.
USAGE
}

case "${1:-}" in
    -h|--help) usage; exit 0 ;;
    "") usage >&2; exit 2 ;;
esac
[ $# -eq 1 ] || { usage >&2; exit 2; }

out=$1
mkdir -p "$out"
umask 077

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

if [ ! -f "$out/ca.key" ] || [ ! -f "$out/ca.pem" ]; then
    if [ -f "$out/ca.key" ] || [ -f "$out/ca.pem" ]; then
        echo "make-certs.sh: $out holds only half of the CA (ca.key or ca.pem); remove it and retry" >&2
        exit 1
    fi
    cat >"$tmp/ca.cnf" <<'CNF'
[req]
distinguished_name = dn
x509_extensions = ca_ext
prompt = no
[dn]
CN = TESSARO Development Test CA
O = TESSARO development
[ca_ext]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$tmp/ca.key" 2>/dev/null
    openssl req -new -x509 -config "$tmp/ca.cnf" -key "$tmp/ca.key" -sha256 -days 3650 \
        -set_serial "0x$(openssl rand -hex 16)" -out "$tmp/ca.pem"
    mv "$tmp/ca.key" "$out/ca.key"
    chmod 644 "$tmp/ca.pem"
    mv "$tmp/ca.pem" "$out/ca.pem"
fi

if [ ! -f "$out/ca.der" ]; then
    openssl x509 -in "$out/ca.pem" -outform DER -out "$tmp/ca.der"
    chmod 644 "$tmp/ca.der"
    mv "$tmp/ca.der" "$out/ca.der"
fi

if [ ! -f "$out/server.key" ] || [ ! -f "$out/server.pem" ]; then
    cat >"$tmp/server.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = localhost
O = TESSARO development
[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, DNS:127.0.0.1, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
    if [ -f "$out/server.key" ]; then
        cp "$out/server.key" "$tmp/server.key"
    else
        openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$tmp/server.key" 2>/dev/null
    fi
    openssl req -new -config "$tmp/server.cnf" -key "$tmp/server.key" -out "$tmp/server.csr"
    openssl x509 -req -in "$tmp/server.csr" -CA "$out/ca.pem" -CAkey "$out/ca.key" \
        -set_serial "0x$(openssl rand -hex 16)" -sha256 -days 825 \
        -extfile "$tmp/server.cnf" -extensions server_ext -out "$tmp/server.pem" 2>/dev/null
    [ -f "$out/server.key" ] || mv "$tmp/server.key" "$out/server.key"
    chmod 644 "$tmp/server.pem"
    mv "$tmp/server.pem" "$out/server.pem"
fi

openssl verify -CAfile "$out/ca.pem" "$out/server.pem" >/dev/null

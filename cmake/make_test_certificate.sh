#!/usr/bin/env bash
# Makes the test-signing key and its self-signed certificate: a signing
# certificate, not an authority (basicConstraints CA:FALSE, keyUsage
# digitalSignature, extendedKeyUsage codeSigning), valid from one day before
# the build time (SOURCE_DATE_EPOCH when set, else now) for five years, so that
# a test machine whose clock is somewhat behind the build machine's accepts it.
#   make_test_certificate.sh KEY CERT
set -euo pipefail
key=$1 cert=$2
subject="/CN=Tarvik Test Signing"
build_time=${SOURCE_DATE_EPOCH:-$(date +%s)}
stamp() { date -u -d "@$1" +%Y%m%d%H%M%SZ; }
work=$(mktemp -d /tmp/tarvik-cert.XXXXXX)
trap 'rm -rf "$work"' EXIT
: >"$work/index.txt"
echo "01$(openssl rand -hex 15)" >"$work/serial"
cat >"$work/ca.cnf" <<CONF
[ca]
default_ca = self
[self]
database = $work/index.txt
new_certs_dir = $work
serial = $work/serial
default_md = sha256
policy = any
unique_subject = no
x509_extensions = signing
[any]
commonName = supplied
[signing]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
CONF
openssl req -new -newkey rsa:3072 -nodes -subj "$subject" -keyout "$work/key" \
  -out "$work/csr" 2>/dev/null
openssl ca -batch -config "$work/ca.cnf" -selfsign -keyfile "$work/key" -in "$work/csr" \
  -notext -startdate "$(stamp $((build_time - 86400)))" \
  -enddate "$(stamp $((build_time + 5 * 365 * 86400)))" -out "$work/cert" 2>/dev/null
mv "$work/key" "$key"
mv "$work/cert" "$cert"

#!/usr/bin/env bash
# The test certificate as the package build makes it, for a fixed build time:
# valid from exactly one day before it, five years long, a signing certificate
# and no authority (basicConstraints CA:FALSE, keyUsage digitalSignature only,
# extendedKeyUsage codeSigning).
#   certificate.sh MAKE_TEST_CERTIFICATE
set -u
maker=$1
work=$(mktemp -d /tmp/tarvik-certificate.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check NAME ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then echo "ok   $1"; else
    echo "FAIL $1: got '$2', want '$3'"; failures=$((failures + 1))
  fi
}
# 2027-01-15 08:00:00 UTC.
SOURCE_DATE_EPOCH=1800000000 "$maker" "$work/key" "$work/cert" || { echo "FAIL no certificate"; exit 1; }
x509() { openssl x509 -in "$work/cert" -noout "$@"; }
check "valid from a day before the build time" "$(x509 -startdate)" "notBefore=Jan 14 08:00:00 2027 GMT"
check "valid for five years" "$(x509 -enddate)" "notAfter=Jan 14 08:00:00 2032 GMT"
check "subject" "$(x509 -subject)" "subject=CN = Tarvik Test Signing"
check "self-signed" "$(x509 -issuer)" "issuer=CN = Tarvik Test Signing"
extension() { x509 -ext "$1" | tail -n +2 | tr -d ' '; }
check "basicConstraints" "$(x509 -ext basicConstraints | head -1 | tr -d ' ')$(extension basicConstraints)" \
  "X509v3BasicConstraints:criticalCA:FALSE"
check "keyUsage" "$(extension keyUsage)" "DigitalSignature"
check "extendedKeyUsage" "$(extension extendedKeyUsage)" "CodeSigning"
check "the key matches the certificate" "$(openssl pkey -in "$work/key" -pubout)" "$(x509 -pubkey)"
[ "$failures" -eq 0 ]

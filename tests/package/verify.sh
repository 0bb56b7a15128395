#!/usr/bin/env bash
# Checks the release folder with readers that share no code with the catalog
# writer: osslsigncode verifies every embedded signature and every catalog
# against the test certificate and looks every PE file of a package up in its
# catalog; openssl's ASN.1 dump must hold the SHA-1 hash of every other file
# (the INF, hashed flat). The catalog is a version 1 (Windows 7 reads no
# other): SHA-1 members only. A copy of each file changed by one byte
# must fail the same checks.
#   verify.sh PACKAGE_DIR TARVIK_CATALOG
set -u
out=$(cd "$1" && pwd)
catalog_tool=$2
work=$(mktemp -d /tmp/tarvik-verify.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
checks=0
check() {  # check NAME COMMAND...: the command must succeed
  checks=$((checks + 1))
  local name=$1
  shift
  if "$@" >"$work/log" 2>&1; then echo "ok   $name"; else
    echo "FAIL $name"; sed 's/^/     /' "$work/log" | tail -8; failures=$((failures + 1))
  fi
}
refuse() {  # refuse NAME COMMAND...: the command must fail
  checks=$((checks + 1))
  local name=$1
  shift
  if "$@" >"$work/log" 2>&1; then
    echo "FAIL $name (accepted)"; failures=$((failures + 1))
  else echo "ok   $name"; fi
}

cert=$work/test-signing.pem
check "the certificate is DER with the test subject and code signing" \
  bash -c "openssl x509 -inform DER -in '$out/tarvik-test-signing.cer' -out '$cert' &&
           openssl x509 -in '$cert' -noout -subject | grep -qx 'subject=CN = Tarvik Test Signing' &&
           openssl x509 -in '$cert' -noout -ext extendedKeyUsage | grep -q 'Code Signing'"
check "the certificate signs code and is no authority" \
  bash -c "openssl x509 -in '$cert' -noout -ext basicConstraints,keyUsage,extendedKeyUsage |
           tr -d ' ' | grep -v '^X509v3' | diff - <(printf '%s\n' CA:FALSE DigitalSignature CodeSigning)"
# Made at build time at the latest, it is valid from a day before.
valid_a_day_ago() {
  local start
  start=$(openssl x509 -in "$cert" -noout -startdate | cut -d= -f2)
  [ "$(date -d "$start" +%s)" -le $(($(date +%s) - 86400)) ]
}
check "the certificate was valid a day ago" valid_a_day_ago
check "setup.exe is in the release folder" test -s "$out/setup.exe"

signed() { osslsigncode verify -CAfile "$cert" -in "$1" | grep -q '^Succeeded'; }
in_catalog() { osslsigncode verify -CAfile "$cert" -catalog "$2" -in "$1" | grep -q '^Succeeded'; }
is_pe() { [ "$(head -c 2 "$1")" = MZ ]; }
# The catalog's ASN.1 holds the file's SHA-1 as an OCTET STRING.
flat_in_catalog() {
  local dump sha1
  dump=$(openssl asn1parse -inform DER -in "$2") || return 1
  sha1=$(sha1sum "$1" | cut -c1-40)
  grep -qi "OCTET STRING *\[HEX DUMP\]:${sha1}\$" <<<"$dump"
}
# A version-1 catalog: subject algorithm szOID_CATALOG_LIST_MEMBER, members
# described by CAT_MEMBERINFO, SHA-1 digests (the signature is SHA-256).
version1() {
  local dump
  dump=$(openssl asn1parse -inform DER -in "$1") || return 1
  grep -q ':1.3.6.1.4.1.311.12.1.2$' <<<"$dump" && ! grep -q ':1.3.6.1.4.1.311.12.1.3$' <<<"$dump" &&
    grep -q ':1.3.6.1.4.1.311.12.2.2$' <<<"$dump" && ! grep -q ':1.3.6.1.4.1.311.12.2.3$' <<<"$dump" &&
    grep -q ':sha1$' <<<"$dump"
}
flip() { cp "$1" "$2"; printf "\\x$(printf %02x $((0x$(od -An -tx1 -j "$3" -N1 "$1" | tr -d " ") ^ 1)))" |
           dd of="$2" bs=1 seek="$3" conv=notrunc status=none; }

for dir in "$out"/*/; do
  name=$(basename "$dir")
  inf=$dir/$name.inf
  description=$("$catalog_tool" describe "$inf")
  cat=$dir/$(awk '$1 == "catalog" {print $2}' <<<"$description")
  mapfile -t files < <(awk '$1 == "file" {print $2}' <<<"$description")
  check "$name: the catalog is signed by the test certificate" signed "$cat"
  for file in "$name.inf" "${files[@]}"; do
    path=$dir/$file
    if is_pe "$path"; then
      check "$name: $file carries a signature of the test certificate" signed "$path"
      check "$name: $file is in the catalog (osslsigncode)" in_catalog "$path" "$cat"
      # One byte of code, past the headers.
      flip "$path" "$work/$file" 4096
      refuse "$name: $file changed by one byte: its signature fails" signed "$work/$file"
      refuse "$name: $file changed by one byte: not in the catalog" in_catalog "$work/$file" "$cat"
    else
      check "$name: $file is in the catalog (flat SHA-1)" flat_in_catalog "$path" "$cat"
      flip "$path" "$work/$file" 10
      refuse "$name: $file changed by one byte: not in the catalog" flat_in_catalog "$work/$file" "$cat"
    fi
  done
  listing=$("$catalog_tool" list "$cat")
  members=$(grep -c '^member ' <<<"$listing")
  check "$name: one member (SHA-1) per file" test "$members" = $((${#files[@]} + 1))
  check "$name: a version-1 catalog (openssl asn1parse)" version1 "$cat"
  check "$name: the catalog names every hardware ID of the INF" \
    bash -c "diff <(awk '\$1 == \"hwid\" {print \$2}' <<<'$description') \
                  <(awk '\$1 == \"attribute\" && \$2 ~ /^HWID/ {print \$3}' <<<'$listing')"
  check "$name: the catalog's OS attribute is Windows 7 to 11" \
    grep -qx 'attribute OSAttr 2:6.1,2:6.2,2:6.3,2:10.0' <<<"$listing"
  flip "$cat" "$work/$name.cat" 200
  refuse "$name: the catalog changed by one byte fails its signature" signed "$work/$name.cat"
done

check "the CAB holds the product's package folder and nothing at its root" \
  bash -c "gcab -l '$out/Tarvik4v2.cab' | awk '{print \$1}' | sort | tr '\\\\' / |
           diff - <(cd '$out' && ls Tarvik4v2/* | sort)"

echo "$checks checks, $failures failed"
[ "$failures" -eq 0 ]

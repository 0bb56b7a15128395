#!/usr/bin/env bash
# Assembles the release folder from the win64 build: one folder per driver
# package (its INF, the files the INF names, test-signed, and its catalog,
# signed), setup.exe, the test certificate's public part and the CAB for
# attestation signing. Which files a package holds and what its catalog is
# called come from the INF.
#   assemble_package.sh CATALOG_TOOL WIN64_DIR INF_DIR SIGNING_DIR OUT_DIR
# The test key is made once per build folder (SIGNING_DIR) and never leaves it.
set -euo pipefail
catalog_tool=$1 win64=$(cd "$2" && pwd) inf_dir=$(cd "$3" && pwd) signing=$4 out=$5
packages=(Tarvik4v2 vkeybus)   # INF base names; the first is the product, the CAB holds it
cab_packages=(Tarvik4v2)
fail() { echo "assemble_package: $*" >&2; exit 1; }

mkdir -p "$signing"
key=$signing/test-signing.key cert=$signing/test-signing.pem
# A certificate of an older build that is still an authority is made anew.
if [ ! -s "$key" ] || [ ! -s "$cert" ] ||
  ! openssl x509 -in "$cert" -noout -ext basicConstraints 2>/dev/null | grep -q 'CA:FALSE'; then
  "$(dirname "$0")/make_test_certificate.sh" "$key" "$cert" ||
    fail "openssl cannot make the test certificate"
fi

sign() {  # sign FILE DESCRIPTION: embeds (or, for a catalog, adds) a SHA-256 signature
  osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "$2" -in "$1" -out "$1.signed" \
    >/dev/null || fail "osslsigncode cannot sign $1"
  mv "$1.signed" "$1"
}

# The one file of the win64 build with this name.
built() {
  local found
  found=$(find "$win64" -name "$1" -type f -not -path '*/CMakeFiles/*')
  [ -n "$found" ] || fail "$1 is not in the win64 build ($win64); build the win64 preset first"
  [ "$(wc -l <<<"$found")" = 1 ] || fail "$1 is in the win64 build more than once"
  echo "$found"
}

rm -rf "$out"
mkdir -p "$out"
for name in "${packages[@]}"; do
  inf=$inf_dir/$name.inf
  [ -f "$inf" ] || fail "no $inf"
  dir=$out/$name
  mkdir -p "$dir"
  cp "$inf" "$dir/"
  description=$("$catalog_tool" describe "$inf") || fail "cannot read $inf"
  catalog=$(awk '$1 == "catalog" {print $2}' <<<"$description")
  while read -r file; do
    cp "$(built "$file")" "$dir/$file"
    case "${file,,}" in
    *.sys | *.exe | *.dll) sign "$dir/$file" "$name" ;;
    esac
  done < <(awk '$1 == "file" {print $2}' <<<"$description")
  "$catalog_tool" make "$dir/$name.inf" "$dir" "$dir/$catalog" || fail "no catalog for $name"
  sign "$dir/$catalog" "$name"
done

cp "$(built setup.exe)" "$out/"
openssl x509 -in "$cert" -outform DER -out "$out/tarvik-test-signing.cer"
# Attestation signing takes a CAB with one folder per driver package and no
# file at its root.
cab_files=()
for name in "${cab_packages[@]}"; do
  for file in "$out/$name"/*; do cab_files+=("$name/${file##*/}"); done
done
(cd "$out" && gcab -c -z Tarvik4v2.cab "${cab_files[@]}") || fail "gcab cannot make the CAB"
echo "package: $out"

#!/usr/bin/env bash
# Checks the version resource of a cross-built Windows binary, as a file's
# properties show it: the resource section read back by windres.
#   check_version.sh WINDRES FILE VERSION driver|app
# VERSION is w.x.y.z; FILEVERSION and PRODUCTVERSION must hold its numbers,
# the strings the company, a description, the versions and the file's name.
set -u
windres=$1 file=$2 version=$3 kind=$4
fail() { echo "FAIL: $file: $*"; exit 1; }
[ -x "$windres" ] || fail "no MinGW windres ($windres)"
[ -f "$file" ] || fail "not built (run the win64 build first)"
rc=$("$windres" -J coff -O rc -i "$file" 2>&1) || fail "windres cannot read it: $rc"
echo "$rc" | sed -n '/VERSIONINFO/,$p'
grep -q '^[0-9A-Za-z_]* VERSIONINFO$' <<<"$rc" || fail "no version resource"
[ "$(grep -c ' VERSIONINFO$' <<<"$rc")" = 1 ] || fail "more than one version resource"
numbers=${version//./, }
grep -qx " FILEVERSION $numbers" <<<"$rc" || fail "FILEVERSION is not $numbers"
grep -qx " PRODUCTVERSION $numbers" <<<"$rc" || fail "PRODUCTVERSION is not $numbers"
case $kind in
driver) type=0x3 subtype=0x7 ;;  # VFT_DRV, VFT2_DRV_SYSTEM
app) type=0x1 subtype= ;;        # VFT_APP (windres leaves out a subtype of 0)
*) fail "unknown kind $kind" ;;
esac
grep -qx " FILETYPE $type" <<<"$rc" || fail "FILETYPE is not $type"
[ "$(sed -n 's/^ FILESUBTYPE //p' <<<"$rc")" = "$subtype" ] || fail "FILESUBTYPE is not ${subtype:-0}"
value() { sed -n "s/^ *VALUE \"$1\", \"\\(.*\\)\"\$/\\1/p" <<<"$rc"; }
[ "$(value CompanyName)" = Tarvik ] || fail "CompanyName is '$(value CompanyName)', want Tarvik"
[ -n "$(value FileDescription)" ] || fail "no FileDescription"
[ "$(value ProductName)" = Tarvik4v2 ] || fail "ProductName is '$(value ProductName)'"
[ "$(value FileVersion)" = "$version" ] || fail "FileVersion is '$(value FileVersion)', want $version"
[ "$(value ProductVersion)" = "$version" ] || fail "ProductVersion is '$(value ProductVersion)', want $version"
name=$(basename "$file")
[ "$(value OriginalFilename)" = "$name" ] || fail "OriginalFilename is '$(value OriginalFilename)', want $name"
grep -q 'VALUE "Translation", 0x409, 1200' <<<"$rc" || fail "no translation entry (English, Unicode)"
echo "ok: $name $version"

#!/usr/bin/env bash
# Checks a cross-built Windows binary: format, subsystem, imports and sections.
#   check_pe.sh OBJDUMP driver|setup FILE
# Exits non-zero, naming the fault, when the binary breaks a rule.
set -u
objdump=$1 kind=$2 file=$3
fail() { echo "FAIL: $file: $*"; exit 1; }
[ -x "$objdump" ] || fail "no MinGW objdump ($objdump)"
[ -f "$file" ] || fail "not built (run the win64 build first)"
info=$("$objdump" -x "$file") || fail "objdump cannot read it"
grep -q 'Magic[[:space:]]*020b' <<<"$info" || fail "not PE32+"
grep -q 'file format pei-x86-64' <<<"$info" || fail "not x86-64"
subsystem=$(awk '/^Subsystem/ {print $2}' <<<"$info")
imports=$(awk '/DLL Name:/ {print $3}' <<<"$info" | sort -u)
sections=$("$objdump" -h "$file" | awk '$1 ~ /^[0-9]+$/ {print $2}')
echo "subsystem: $subsystem"; echo "imports: $(echo $imports)"; echo "sections: $(echo $sections)"

case $kind in
driver)
  allowed='^(ntoskrnl\.exe|usbd\.sys|hal\.dll)$'
  [ "$subsystem" = 00000001 ] || fail "subsystem $subsystem, want native (1)"
  grep -qx PAGE <<<"$sections" || fail "no PAGE section for pageable code"
  grep -qx INIT <<<"$sections" || fail "no INIT section for the entry routine"
  # The entry point must lie in INIT, where DriverEntry is placed.
  entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$info")
  base=$(awk '/^ImageBase/ {print $2}' <<<"$info")
  read -r init_vma init_size < <("$objdump" -h "$file" | awk '$2 == "INIT" {print $4, $3}')
  e=$((16#$entry + 16#$base)); lo=$((16#$init_vma)); hi=$((lo + 16#$init_size))
  { [ "$e" -ge "$lo" ] && [ "$e" -lt "$hi" ]; } || fail "entry point 0x$entry is not in INIT"
  grep -qi 'ntoskrnl\.exe' <<<"$imports" || fail "does not import ntoskrnl.exe"
  ;;
vkeybus)
  allowed='^(ntoskrnl\.exe|hal\.dll)$'
  [ "$subsystem" = 00000001 ] || fail "subsystem $subsystem, want native (1)"
  ;;
keyctl)
  allowed='^(kernel32\.dll|setupapi\.dll|msvcrt\.dll)$'
  [ "$subsystem" = 00000003 ] || fail "subsystem $subsystem, want console (3)"
  ;;
setup)
  allowed='^(kernel32\.dll|advapi32\.dll|setupapi\.dll|msvcrt\.dll)$'
  [ "$subsystem" = 00000003 ] || fail "subsystem $subsystem, want console (3)"
  ;;
*) fail "unknown kind $kind" ;;
esac

while read -r dll; do
  [ -z "$dll" ] && continue
  lower=$(tr 'A-Z' 'a-z' <<<"$dll")
  grep -Eq "$allowed" <<<"$lower" || fail "forbidden import $dll"
done <<<"$imports"
echo "OK: $file"

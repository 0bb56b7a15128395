#!/usr/bin/env bash
# Reads each package's catalog under Wine 8 with catreader.exe, which uses
# wintrust's catalog functions (CryptCATOpen, CryptCATEnumerateMember,
# CryptCATAdminCalcHashFromFileHandle): every file of the package must be
# found, a copy changed by one byte must not, and a damaged catalog must not
# open. Wine 8 gives no member's file name (CryptCATGetAttrInfo is a stub),
# hashes a PE file whole, so catreader reports PE files as `image` matches, and
# opens a truncated catalog only to fault on its first member, which catreader
# reports as an unreadable catalog (exit value 2) as Windows' CryptCATOpen would.
#   catreader.sh PACKAGE_DIR CATREADER_EXE OBJDUMP
set -u
out=$(cd "$1" && pwd)
reader=$2 objdump=$3
wine=/usr/lib/wine/wine64
export WINEPREFIX=$(mktemp -d /tmp/tarvik-catreader.XXXXXX)
export WINEDEBUG=-all
trap '/usr/lib/wine/wineserver -k 2>/dev/null; rm -rf "$WINEPREFIX"' EXIT
failures=0
checks=0
check() {  # check NAME ACTUAL EXPECTED
  checks=$((checks + 1))
  if [ "$2" = "$3" ]; then echo "ok   $1"; else
    echo "FAIL $1: got '$2', want '$3'"; failures=$((failures + 1))
  fi
}

imports=$("$objdump" -p "$reader" | awk '/DLL Name:/ {print tolower($3)}' | sort | xargs)
check "catreader.exe imports" "$imports" "kernel32.dll msvcrt.dll wintrust.dll"

timeout 120 "$wine" wineboot -i >/dev/null 2>&1
timeout 60 /usr/lib/wine/wineserver -w
work=$WINEPREFIX/drive_c/check
mkdir -p "$work"
cp "$reader" "$work/"
cp -r "$out"/*/ "$work/"
cd "$work"
read_catalog() {  # read_catalog CATALOG FILE...: catreader's output, then its exit value
  timeout 60 "$wine" catreader.exe "$@" </dev/null 2>&1 | tr -d '\r'
  echo "exit ${PIPESTATUS[0]}"
}
flip() {
  local byte
  byte=$(od -An -tx1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "\\x$(printf %02x $((0x$byte ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

for dir in */; do
  name=${dir%/}
  cat=$(ls "$name"/*.cat)
  files=$(ls "$name" | grep -vi '\.cat$')
  args=()
  for f in $files; do args+=("$name\\$f"); done
  result=$(read_catalog "${cat/\//\\}" "${args[@]}")
  check "$name: members listed, one per file" "$(grep -c '^member ' <<<"$result")" "$(wc -w <<<"$files")"
  for f in $files; do
    how=""
    [ "$(head -c 2 "$name/$f")" = MZ ] && how=" image"
    check "$name: $f found" "$(awk -v f="$name\\\\$f" '$2 == f {print $1 ($4 ? " " $4 : "")}' <<<"$result")" \
      "found$how"
  done
  check "$name: every file found" "$(tail -1 <<<"$result")" "exit 0"
  for f in $files; do
    cp "$name/$f" "tampered-$f"
    flip "tampered-$f" $([ "$(head -c 2 "$name/$f")" = MZ ] && echo 4096 || echo 10)
    result=$(read_catalog "${cat/\//\\}" "tampered-$f")
    check "$name: $f changed by one byte is missing" \
      "$(awk '$1 != "member" {print $1}' <<<"$result" | xargs)" "missing exit"
    check "$name: $f changed by one byte: exit value" "$(tail -1 <<<"$result")" "exit 1"
  done
  head -c 300 "$cat" >damaged.cat
  check "$name: a damaged catalog does not open" "$(read_catalog damaged.cat | tail -1)" "exit 2"
done

echo "$checks checks, $failures failed"
[ "$failures" -eq 0 ]

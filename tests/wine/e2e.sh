#!/usr/bin/env bash
# End to end under Wine: the real setup.exe installs the package, vkeybus.sys
# plugs virtual keys, Wine loads Tarvik4v2.sys on them, keyctl.exe talks to
# them. Where Wine differs from Windows the expectation says so.
#   e2e.sh WIN64_BUILD_DIR
set -u
build=$1
wine=/usr/lib/wine/wine64
export WINEPREFIX=$(mktemp -d /tmp/tarvik-wine.XXXXXX)
export WINEDEBUG=-all
failures=0
checks=0
started=$(date +%s)

finish() {
  WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null
  rm -rf "$WINEPREFIX"
}
trap finish EXIT

check() {  # check NAME ACTUAL EXPECTED
  checks=$((checks + 1))
  if [ "$2" = "$3" ]; then
    echo "ok   $1"
  else
    echo "FAIL $1: got '$2', want '$3'"
    failures=$((failures + 1))
  fi
}

# setup.exe's record: "code reboot payload-length" (decimal).
record() { "$wine" setup.exe "$@" | od -An -tu4 -N12 | xargs; }
keyctl() { timeout 60 "$wine" keyctl.exe "$@" | tr -d '\r'; }
# Waits until `keyctl list` shows N interfaces.
wait_keys() {
  for _ in $(seq 1 50); do
    [ "$(keyctl list | wc -l)" = "$1" ] && return 0
    sleep 0.2
  done
  return 1
}

timeout 120 "$wine" wineboot -i >/dev/null 2>&1
pkg=$WINEPREFIX/drive_c/pkg
mkdir -p "$pkg"
here=$(cd "$(dirname "$0")/../.." && pwd)
cp "$here"/package/* "$build/driver/Tarvik4v2.sys" "$build/tools/vkeybus/vkeybus.sys" \
   "$build/setup/setup.exe" "$build/tools/keyctl/keyctl.exe" "$pkg/"
cd "$pkg"
# One long-lived process keeps the prefix's services and driver host up.
keep_alive() { "$wine" cmd.exe /c "ping -n 3600 127.0.0.1 >nul" >/dev/null 2>&1 & }
keep_alive

echo "== command line"
check "no option" "$(record)" "4 0 0"
check "-C" "$(record -C a b)" "4 0 0"
check "-e with an argument" "$(record -e x)" "4 0 0"
check "-d mode x" "$(record -d a.inf x)" "4 0 0"

echo "== install"
check "-i Tarvik4v2.inf" "$(record -i 'C:\pkg\Tarvik4v2.inf')" "0 0 0"
check "-i vkeybus.inf" "$(record -i 'C:\pkg\vkeybus.inf')" "0 0 0"
# Wine keeps the INF's own name in its INF folder.
check "INF in the store" "$(ls "$WINEPREFIX/drive_c/windows/inf" | grep -c '^Tarvik4v2\.[ip]nf$')" "2"
check "-c the bus" "$(record -c 'C:\pkg\vkeybus.inf' 'Root\TarvikKeyBus')" "0 0 0"
check "-c the bus again (exists)" "$(record -c 'C:\pkg\vkeybus.inf' 'root\tarvikkeybus')" "0 0 0"
check "-s on no service" "$(record -s NoSuchService v 1)" "513 0 0"
# Wine does not implement SetupQueryInfVersionInformationW: no entries.
check "-g" "$(record -g Tarvik4v2.inf)" "0 0 516"
# Wine has no CM_Locate_DevNodeW (CR_CALL_NOT_IMPLEMENTED).
check "-e" "$(record -e)" "780 0 0"

echo "== a primary key"
# Measured with Wine 8.0: the bus device that -c creates gets its driver only
# when the prefix starts again (Windows starts it at once).
/usr/lib/wine/wineserver -k
keep_alive
for _ in $(seq 1 100); do keyctl bus-plug primary >/dev/null 2>&1 && break; sleep 0.2; done
wait_keys 2
check "interfaces" "$(keyctl list | awk '{print $1, $2}' | xargs)" "0 primary 1 aux"
check "transact-raw echo" "$(keyctl 0 transact-raw 01aabbcc 16)" "ok error=0 bytes=5 aabbcc9000"
check "transact (header)" "$(keyctl 0 transact 0001000000000200017f 16)" "ok error=0 bytes=3 7f9000"
check "transact-ex" "$(keyctl 0 transact-ex 7 01ee 16)" "ok error=0 bytes=3 ee9000"
check "vendor write then read" "$(keyctl 0 vendor-write 0x40 0 0 0 0155 >/dev/null; keyctl 0 vendor-read 0xC0 0 0 0 64 64)" "ok error=0 bytes=3 559000"
check "info block" "$(keyctl 0 info-block)" "ok error=0 bytes=11 3b9611014b0400545634ff"
check "query-info, version 4.00: no check byte" "$(keyctl 0 query-info 0)" "ok error=0 bytes=11 3b9611014b0400545634ff"
check "configuration descriptor" "$(keyctl 0 config-descriptor)" "ok error=0 bytes=25 0902190001010080320904000001ff0000000705810308000a"
check "probe" "$(keyctl 0 probe 0x11)" "ok error=0 bytes=0 "
check "probe refused: invalid parameter" "$(keyctl 0 probe 0x10)" "failed error=87 bytes=0 "
check "buffer too small" "$(keyctl 0 info-block 4)" "failed error=122 bytes=0 "
check "reset pipe on a handle without one" "$(keyctl 0 reset-pipe)" "failed error=87 bytes=0 "
check "reset port" "$(keyctl 0 reset-port)" "ok error=0 bytes=0 "
# The driver's service key exists now that the driver is installed.
check "-s sets" "$(record -s Tarvik4v2 TestValue 7)" "0 1 0"
check "-s again changes nothing" "$(record -s Tarvik4v2 TestValue 7)" "0 0 0"

echo "== faults"
check "two refused writes recovered by resets" "$(keyctl bus-fault 0 0 2 >/dev/null; keyctl 0 transact-raw 0111 16)" "ok error=0 bytes=3 119000"
check "an interrupt read that fails" "$(keyctl bus-fault 0 2 1 >/dev/null; keyctl 0 transact-raw 0111 16 | cut -d' ' -f1)" "failed"

echo "== removal"
check "-r the bus" "$(record -r 'Root\TarvikKeyBus')" "0 0 0"
check "-u" "$(record -u Tarvik4v2.inf)" "0 0 0"
check "-u removed the INF and .pnf" "$(ls "$WINEPREFIX/drive_c/windows/inf" | grep -ci tarvik4v2)" "0"
# Wine never unloads a driver, and the loaded image cannot be deleted: 260.
check "-d the loaded driver file" "$(record -d Tarvik4v2.sys s)" "260 0 0"
check "-d an INF and its .pnf" "$(record -d vkeybus.inf i)" "0 0 0"
check "-d removed them" "$(ls "$WINEPREFIX/drive_c/windows/inf" | grep -ci vkeybus)" "0"

echo "$checks checks, $failures failed, $(( $(date +%s) - started )) s"
[ "$failures" = 0 ]

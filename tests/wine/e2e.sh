#!/usr/bin/env bash
# End to end under Wine: the real setup.exe installs the package, vkeybus.sys
# plugs virtual keys, Wine loads Tarvik4v2.sys on them, keyctl.exe talks to
# them. setup's records are read by setuprec. Where Wine differs from Windows
# the expectation says so.
#   e2e.sh WIN64_BUILD_DIR SETUPREC OBJDUMP [PACKAGE_DIR]
# The packages come test-signed from PACKAGE_DIR (the release folder, by
# default build/package beside the win64 build).
set -u
build=$(cd "$1" && pwd)
release=$(cd "${4:-$build/../package}" && pwd)
setuprec=$(realpath "$2")
objdump=$3
wine=/usr/lib/wine/wine64
winelib=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
export WINEPREFIX=$(mktemp -d /tmp/tarvik-wine.XXXXXX)
export WINEDEBUG=-all
work=$(mktemp -d /tmp/tarvik-e2e.XXXXXX)
host_log=$work/host.log
failures=0
checks=0
started=$(date +%s)

finish() {
  WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null
  rm -rf "$WINEPREFIX" "$work"
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

ok="RESULT_SUCCESS reboot=0 payload=0"
refused="RESULT_INVALID_PARAMETER reboot=0 payload=0"
record() { "$wine" setup.exe "$@" </dev/null 2>>"$work/setup.err" | "$setuprec"; }
# keyctl's standard error goes to the host log too: when a keyctl run is the
# first process of a restarted prefix, the driver host inherits it.
keyctl() { timeout 60 "$wine" keyctl.exe "$@" </dev/null 2>>"$host_log" | tr -d '\r'; }
# The number `keyctl list` gives the interface KIND of the key on bus port PORT.
key() { keyctl list | awk -v kind="$1" -v port="#key0$2#" '$2 == kind && index($3, port) {print $1}'; }
# The kinds of interface the key on bus port PORT shows.
kinds() { keyctl list | awk -v port="#key0$1#" 'index($3, port) {print $2}' | xargs; }
# Waits until `keyctl list` shows N interfaces.
wait_keys() {
  for _ in $(seq 1 50); do
    [ "$(keyctl list | wc -l)" = "$1" ] && return 0
    sleep 0.2
  done
  return 1
}
# The driver host takes standard error from the first process of the prefix:
# one long-lived process keeps the services and the driver host up, and its
# standard error is where Wine reports a call to an unimplemented function.
keep_alive() { "$wine" cmd.exe /c "ping -n 3600 127.0.0.1 >nul" >/dev/null 2>>"$host_log" & }
restart_prefix() {
  /usr/lib/wine/wineserver -k
  keep_alive
  for _ in $(seq 1 100); do keyctl bus-plug "$1" >/dev/null 2>&1 && return 0; sleep 0.2; done
  return 1
}
stub_calls() { grep -c "unimplemented function" "$host_log"; }

timeout 120 "$wine" wineboot -i >/dev/null 2>&1
# The Windows version Wine reports: Windows 10, where the driver allocates
# NonPagedPoolNx, unless TARVIK_WINE_VERSION names another (win7: NonPagedPool)
# or is empty (Wine's own default, Windows 7 for Wine 8).
winver=${TARVIK_WINE_VERSION-win10}
if [ -n "$winver" ]; then
  "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$winver" /f >/dev/null 2>&1
fi
# Let the boot's processes end, so that the keep-alive process below starts
# the prefix's session and every later run finds it up.
timeout 60 /usr/lib/wine/wineserver -w
pkg=$WINEPREFIX/drive_c/pkg
mkdir -p "$pkg"
cp "$release"/Tarvik4v2/* "$release"/vkeybus/* "$release/setup.exe" \
   "$build/tools/keyctl/keyctl.exe" \
   "$build/client/example/key_example.exe" "$pkg/"
cd "$pkg"
keep_alive

echo "== imports of Tarvik4v2.sys that Wine 8.0 has only as stubs"
# A Wine stub export is a thunk named __wine_stub_<name> that aborts the
# calling process. Listed from Wine's own modules, so a Wine that implements
# one more shortens the list.
stubs=$("$objdump" -p "$build/driver/Tarvik4v2.sys" |
  awk '/DLL Name:/ {dll = tolower($3); next} dll && /^\t[0-9a-f]+\t/ {print dll, $3}' |
  while read -r dll name; do
    "$objdump" -t "$winelib/$dll" 2>/dev/null | grep -q "__wine_stub_$name\$" && echo "$dll!$name"
  done | xargs)
echo "   ${stubs:-none}"
# Two are called only by IOCTL_KEY_NOTIFY_CHANGE and by a device power
# request, and Wine sends no power requests; no scenario below sends the
# notify code until the stub check at the end. IoWriteErrorLogEntry is called
# only with an entry from IoAllocateErrorLogEntry, which in Wine 8 returns none.
check "stubbed imports" "$stubs" "ntoskrnl.exe!IoReportTargetDeviceChangeAsynchronous ntoskrnl.exe!IoWriteErrorLogEntry ntoskrnl.exe!PoRequestPowerIrp"

echo "== command line: every refusal writes one record with RESULT_INVALID_PARAMETER"
while IFS='|' read -r name args; do
  eval "set -- $args"
  check "$name" "$(record "$@")" "$refused"
done <<'EOF'
no option|
a lone dash|-
a long option|-ii a.inf
no dash|/i a.inf
upper case|-C a b
an unknown letter|-x
-c with one argument|-c a.inf
-c with three|-c a.inf id x
-d with one|-d a.sys
-d with three|-d a.sys s x
-d mode x|-d a.inf x
-d empty mode|-d a.inf ''
-e with an argument|-e x
-g with none|-g
-g with two|-g a.inf b.inf
-i with none|-i
-i with two|-i a.inf b.inf
-r with none|-r
-r with two|-r a b
-s with two|-s svc value
-s with four|-s svc value 1 2
-u with none|-u
-u with two|-u a.inf b.inf
-r an empty hardware ID|-r ''
-c an empty hardware ID|-c 'C:\pkg\vkeybus.inf' ''
-u a name with a folder|-u '..\Tarvik4v2.inf'
-g a name with a slash|-g 'inf/Tarvik4v2.inf'
-d a name with a drive|-d 'C:Tarvik4v2.sys' s
-d the parent folder|-d .. i
EOF
check "exit value of a refusal" "$("$wine" setup.exe -x >/dev/null; echo $?)" "0"
check "the record is 524 bytes" "$("$wine" setup.exe | wc -c)" "524"
# Wine still hands a closed standard output over as a handle whose write
# fails; the exit value -1 reads 255 here.
check "exit value with standard output closed" "$("$wine" setup.exe -x >&-; echo $?)" "255"

echo "== install"
check "-i Tarvik4v2.inf" "$(record -i 'C:\pkg\Tarvik4v2.inf')" "$ok"
check "-i vkeybus.inf" "$(record -i 'C:\pkg\vkeybus.inf')" "$ok"
# Wine keeps the INF's own name in its INF folder.
check "INF in the store" "$(ls "$WINEPREFIX/drive_c/windows/inf" | grep -c '^Tarvik4v2\.[ip]nf$')" "2"
# Wine 8.0: installing the first key rewrites the stored INF's .pnf to name
# the INF folder as the package's source, so every later key looks for the
# driver file there (Windows keeps the package in its driver store).
cp "$pkg/Tarvik4v2.sys" "$WINEPREFIX/drive_c/windows/inf/"
check "-c the bus" "$(record -c 'C:\pkg\vkeybus.inf' 'Root\TarvikKeyBus')" "$ok"
check "-c the bus again (exists)" "$(record -c 'C:\pkg\vkeybus.inf' 'root\tarvikkeybus')" "$ok"
check "-s on no service" "$(record -s NoSuchService v 1)" "RESULT_REG_OPEN_FAILED reboot=0 payload=0"
# Wine does not implement SetupQueryInfVersionInformationW: no entries.
check "-g" "$(record -g Tarvik4v2.inf)" "RESULT_SUCCESS reboot=0 payload=516 versions=0"
# Wine has no CM_Locate_DevNodeW (CR_CALL_NOT_IMPLEMENTED).
check "-e" "$(record -e)" "RESULT_LOCATE_DEVNODE_FAILED reboot=0 payload=0"

echo "== a newdev.dll planted beside setup.exe"
# Installers run setup.exe from a folder the user can write to. Under a load
# order that prefers a DLL beside the program (newdev=n,b), a search that
# starts in the program's folder would load the planted one, which writes
# C:\planted-newdev.txt; -c loads newdev from the system folder only.
planted=$WINEPREFIX/drive_c/planted-newdev.txt
cp "$build/tests/wine/planted_newdev/newdev.dll" "$pkg/"
rm -f "$planted"
check "-c with newdev.dll beside it" \
  "$(WINEDLLOVERRIDES=newdev=n,b record -c 'C:\pkg\vkeybus.inf' 'Root\TarvikKeyBus')" "$ok"
check "the planted newdev.dll was not loaded" "$(cat "$planted" 2>/dev/null | xargs)" ""
rm -f "$pkg/newdev.dll" "$planted"

# ---- setup: service names and class names that name nothing --------------
echo "== setup refuses a service name that is a path"
# A name with '\' or '/' is no service name (CreateServiceW's lpServiceName).
# The registry would read "\" as the Services key itself and "a\b" as a key
# below service a; setup refuses them before opening anything.
services='HKLM\SYSTEM\CurrentControlSet\Services'
"$wine" reg add "$services\TarvikProbeSvc\Parameters" /f >/dev/null 2>&1
for name in '\' '\\' '\TarvikProbeSvc' 'TarvikProbeSvc\' 'TarvikProbeSvc\Parameters' 'Tarvik/Probe'; do
  check "-s '$name' refused" "$(record -s "$name" TarvikProbe 1)" "$refused"
done
probes() {  # how many of the keys the refused names reach hold the value
  local k n=0
  for k in "$services" "$services\TarvikProbeSvc" "$services\TarvikProbeSvc\Parameters"; do
    "$wine" reg query "$k" /v TarvikProbe >/dev/null 2>&1 && n=$((n + 1))
  done
  echo $n
}
check "nothing written under Services" "$(probes)" "0"
check "-s on the service itself" "$(record -s TarvikProbeSvc TarvikProbe 1)" "RESULT_SUCCESS reboot=1 payload=0"
check "which the probe sees" "$(probes)" "1"
"$wine" reg delete "$services\TarvikProbeSvc" /f >/dev/null 2>&1

echo "== setup fails a class query that gives no class name"
# Wine's SetupDiGetINFClassW succeeds for an INF with a ClassGuid whether the
# class name is missing (the name is then empty) or does not fit the 32 units
# setup offers (the buffer is then not written at all). Either gives 776 and
# no device; Windows fails the second query itself, which gives 776 too.
noclass_head='[Version]\r\nSignature="$Windows NT$"\r\nClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\r\n'
printf "$noclass_head" >"$pkg/noclass.inf"
printf "${noclass_head}Class=%s\r\n" "$(printf 'C%.0s' $(seq 1 40))" >"$pkg/longclass.inf"
check "-c with a ClassGuid and no Class" \
  "$(record -c 'C:\pkg\noclass.inf' 'Root\TarvikNoClass')" "RESULT_GET_INF_CLASS_FAILED reboot=0 payload=0"
check "-c with a Class of 40 units" \
  "$(record -c 'C:\pkg\longclass.inf' 'Root\TarvikNoClass')" "RESULT_GET_INF_CLASS_FAILED reboot=0 payload=0"
enum_ids() { "$wine" reg query 'HKLM\SYSTEM\CurrentControlSet\Enum' /s 2>/dev/null | grep -ci "$1"; }
check "no device was created" "$(enum_ids tarviknoclass)" "0"
check "while the bus shows" "$([ "$(enum_ids tarvikkeybus)" -gt 0 ] && echo yes)" "yes"
rm -f "$pkg/noclass.inf" "$pkg/longclass.inf"
# ---- end of setup's name checks ------------------------------------------

echo "== a primary key (bus port 0)"
# Wine 8.0: the bus device that -c creates gets its driver only when the
# prefix starts again (Windows starts it at once).
restart_prefix primary
wait_keys 2
check "its interfaces" "$(kinds 0)" "primary aux"
p=$(key primary 0)
check "transact-raw echo" "$(keyctl "$p" transact-raw 01aabbcc 16)" "ok error=0 bytes=5 aabbcc9000"
check "transact (header)" "$(keyctl "$p" transact 0001000000000200017f 16)" "ok error=0 bytes=3 7f9000"
check "transact-ex" "$(keyctl "$p" transact-ex 7 01ee 16)" "ok error=0 bytes=3 ee9000"
check "vendor write then read" "$(keyctl "$p" vendor-write 0x40 0 0 0 0155 >/dev/null; keyctl "$p" vendor-read 0xC0 0 0 0 64 64)" "ok error=0 bytes=3 559000"
check "info block" "$(keyctl "$p" info-block)" "ok error=0 bytes=11 3b9611014b0400545634ff"
check "query-info, version 4.00: no check byte" "$(keyctl "$p" query-info 0)" "ok error=0 bytes=11 3b9611014b0400545634ff"
check "configuration descriptor" "$(keyctl "$p" config-descriptor)" "ok error=0 bytes=25 0902190001010080320904000001ff0000000705810308000a"
check "probe" "$(keyctl "$p" probe 0x11)" "ok error=0 bytes=0 "
check "probe refused: invalid parameter" "$(keyctl "$p" probe 0x10)" "failed error=87 bytes=0 "
check "buffer too small" "$(keyctl "$p" info-block 4)" "failed error=122 bytes=0 "
check "reset pipe on a handle without one" "$(keyctl "$p" reset-pipe)" "failed error=87 bytes=0 "
check "reset port" "$(keyctl "$p" reset-port)" "ok error=0 bytes=0 "
# The key NAKs an interrupt read until a command gives it a report: the driver
# gives up after 5 s with STATUS_IO_TIMEOUT (ERROR_SEM_TIMEOUT).
check "an idle interrupt read ends at its bound" "$(keyctl "$p" read-interrupt)" "failed error=121 bytes=0 "
check "after a command it reports the answer's length" \
  "$(keyctl "$p" vendor-write 0x40 0 0 0 0155 >/dev/null; keyctl "$p" read-interrupt | awk '{print $1, $3, substr($4, 1, 2), substr($4, 5, 4)}')" \
  "ok bytes=8 a5 0300"
check "a report read into 64 bytes: the one 8-byte report" \
  "$(keyctl "$p" vendor-write 0x40 0 0 0 0156 >/dev/null; keyctl "$p" read-interrupt 64 | awk '{print $1, $3, substr($4, 1, 2), substr($4, 5, 4)}')" \
  "ok bytes=8 a5 0300"
check "the auxiliary interface answers too" "$(keyctl "$(key aux 0)" transact-raw 0142 16)" "ok error=0 bytes=3 429000"
# The example program of the client document, on the same key.
check "the client example" "$(timeout 60 "$wine" key_example.exe </dev/null 2>>"$host_log" | tr -d '\r' | sed 1d | paste -sd'|')" \
  "echo: 4 bytes cafe9000|serial: 6 bytes 3c5a004b9000|info block: 11 bytes 3b9611014b0400545634ff|info block in 4 bytes: failed, error 122"
check "the driver installed is the test-signed one" \
  "$(cmp -s "$release/Tarvik4v2/Tarvik4v2.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/Tarvik4v2.sys" && echo same)" same
# The driver's service key exists now that the driver is installed.
check "-s sets" "$(record -s Tarvik4v2 TestValue 7)" "RESULT_SUCCESS reboot=1 payload=0"
check "-s again changes nothing" "$(record -s Tarvik4v2 TestValue 7)" "$ok"

echo "== a secondary key beside it (port 1)"
keyctl bus-plug secondary >/dev/null
wait_keys 3
check "only the secondary interface" "$(kinds 1)" "secondary"
check "transact-raw on the secondary" "$(keyctl "$(key secondary 1)" transact-raw 01abcd 16)" "ok error=0 bytes=4 abcd9000"
check "the primary still answers" "$(keyctl "$(key primary 0)" transact-raw 0101 16)" "ok error=0 bytes=3 019000"

echo "== a legacy key, version 2.05 (port 2)"
keyctl bus-plug legacy >/dev/null
wait_keys 5
check "primary and aux interfaces" "$(kinds 2)" "primary aux"
l=$(key primary 2)
check "info block" "$(keyctl "$l" info-block)" "ok error=0 bytes=11 3b9611014b0205545634fc"
check "query-info adds the check byte" "$(keyctl "$l" query-info 0)" "ok error=0 bytes=12 3b9611014b0205545634fc00"
check "query-info with no room for it" "$(keyctl "$l" query-info 0 11)" "failed error=122 bytes=0 "
check "transact-raw (no interrupt phase)" "$(keyctl "$l" transact-raw 0177 16)" "ok error=0 bytes=3 779000"

echo "== an unrecognised key (port 3)"
keyctl bus-plug unrecognised >/dev/null
sleep 1
check "no interface appears" "$(keyctl list | wc -l)" "5"
check "no key on port 3" "$(kinds 3)" ""

echo "== an unrecognised key whose PnP IDs name a primary one (port 4)"
# Wine binds Tarvik4v2 to it by its IDs; the driver reads the descriptor,
# refuses the start and enables no interface.
keyctl bus-plug disguised >/dev/null
service() {
  "$wine" reg query 'HKLM\System\CurrentControlSet\Enum\USB\VID_7E31&PID_5A3C\KEY04' /v Service \
    2>/dev/null | tr -d '\r' | awk '$1 == "Service" {print $3}'
}
for _ in $(seq 1 50); do [ -n "$(service)" ] && break; sleep 0.1; done
check "bound to the driver" "$(service)" "Tarvik4v2"
sleep 0.5
check "no interface" "$(kinds 4)" ""
check "the others stay" "$(keyctl list | wc -l)" "5"

echo "== faults on the primary key"
p=$(key primary 0)
check "two refused writes recovered by resets" "$(keyctl bus-fault 0 0 2 >/dev/null; keyctl "$p" transact-raw 0111 16)" "ok error=0 bytes=3 119000"
check "an interrupt read that fails" "$(keyctl bus-fault 0 2 1 >/dev/null; keyctl "$p" transact-raw 0111 16 | cut -d' ' -f1)" "failed"
check "the next exchange works" "$(keyctl "$p" transact-raw 0112 16)" "ok error=0 bytes=3 129000"

echo "== unplug with a handle open (the secondary, port 1)"
# Wine sends surprise removal then removal; the open handle stays, and its
# next request fails. Wine 8.0 fails it itself once the device objects are
# deleted (STATUS_FILE_DELETED, error 5); a request that still reaches the
# driver after removal gets STATUS_INVALID_DEVICE_STATE (error 22).
check "before, unplug, after" "$(keyctl "$(key secondary 1)" unplug-open 1 0133 16 | xargs)" \
  "ok error=0 bytes=3 339000 unplugged=yes listed=no failed error=5 bytes=0"
check "the other keys stay" "$(keyctl list | wc -l)" "4"
check "the primary still answers" "$(keyctl "$(key primary 0)" transact-raw 0134 16)" "ok error=0 bytes=3 349000"
check "a new key takes the free port" "$(keyctl bus-plug secondary)" "ok error=0 bytes=4 01000000"
wait_keys 5
check "and gets its driver" "$(keyctl "$(key secondary 1)" transact-raw 0135 16)" "ok error=0 bytes=3 359000"

echo "== stubs"
check "no scenario reached a stub" "$(stub_calls)" "0"
# The check can fail: the notify code makes the driver call
# IoReportTargetDeviceChangeAsynchronous, which aborts the driver host.
keyctl "$(key primary 2)" notify-change >/dev/null
for _ in $(seq 1 50); do [ "$(stub_calls)" != 0 ] && break; sleep 0.1; done
check "the notify code reaches one" "$(grep -o 'unimplemented function [^,]*' "$host_log" | head -1)" \
  "unimplemented function ntoskrnl.exe.IoReportTargetDeviceChangeAsynchronous"

echo "== removal"
# A fresh driver host: the bus starts again with no key; plug one.
restart_prefix primary
wait_keys 2
check "a key after the restart" "$(keyctl "$(key primary 0)" transact-raw 0136 16)" "ok error=0 bytes=3 369000"
check "-r the bus" "$(record -r 'Root\TarvikKeyBus')" "$ok"
wait_keys 0
check "its key is gone" "$(keyctl list | wc -l)" "0"
check "-r again finds nothing" "$(record -r 'Root\TarvikKeyBus')" "$ok"
check "-u" "$(record -u Tarvik4v2.inf)" "$ok"
check "-u removed the INF and .pnf" "$(ls "$WINEPREFIX/drive_c/windows/inf" | grep -ci '^tarvik4v2\.[ip]nf$')" "0"
check "-u again finds nothing" "$(record -u Tarvik4v2.inf)" "$ok"
# Wine never unloads a driver, and the loaded image cannot be deleted.
check "-d the loaded driver file" "$(record -d Tarvik4v2.sys s)" "RESULT_DELETE_FILE_FAILED reboot=0 payload=0"
check "-d an INF and its .pnf" "$(record -d vkeybus.inf i)" "$ok"
check "-d removed them" "$(ls "$WINEPREFIX/drive_c/windows/inf" | grep -ci vkeybus)" "0"
check "no stub after the restart" "$(stub_calls)" "1"

# setup prints no text; anything here would come from setup or from Wine.
check "nothing on setup's standard error" "$(cat "$work/setup.err")" ""

echo "$checks checks, $failures failed, $(( $(date +%s) - started )) s"
[ "$failures" = 0 ]

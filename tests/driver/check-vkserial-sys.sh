#!/bin/sh
# Checks the built vkserial.sys is a driver Windows XP loads: a 32-bit
# native-subsystem PE, OS and subsystem version 5.01, entered at
# DriverEntry, importing from the kernel and the HAL only.
objdump=$1
nm=$2
sys=$3
fail() { echo "vkserial.sys: $*"; exit 1; }

[ -f "$sys" ] || { echo "SKIP: no package: $sys is absent (./scripts/build-package.sh builds it)"; exit 77; }
headers=$("$objdump" -p "$sys") || fail "not a PE file"
field() { echo "$headers" | awk -v f="$1" '$1 == f { print $2; exit }'; }

[ "$(field Magic)" = 010b ] || fail "not PE32 (Magic $(field Magic))"
[ "$(field Subsystem)" = 00000001 ] || fail "subsystem $(field Subsystem), not native"
for f in MajorOSystemVersion MajorSubsystemVersion; do
    [ "$(field $f)" = 5 ] || fail "$f is $(field $f), not 5"
done
for f in MinorOSystemVersion MinorSubsystemVersion; do
    [ "$(field $f)" = 1 ] || fail "$f is $(field $f), not 1"
done

base=$(field ImageBase)
entry=$(field AddressOfEntryPoint)
driver_entry=$("$nm" "$sys" | awk '$3 == "_DriverEntry@8" { print $1 }')
[ -n "$driver_entry" ] || fail "no DriverEntry"
[ $((0x$base + 0x$entry)) -eq $((0x$driver_entry)) ] ||
    fail "entry point $entry is not DriverEntry ($driver_entry)"

dlls=$(echo "$headers" | awk '/DLL Name:/ { print tolower($3) }' | sort -u | tr '\n' ' ')
[ "$dlls" = "hal.dll ntoskrnl.exe " ] || fail "imports from: $dlls"
echo "vkserial.sys: native PE32, 5.01, entry DriverEntry, imports: $dlls"

#!/bin/sh
# Checks the packaged vkprop.dll as Device Manager will load it on 32-bit
# Windows: a PE32 image for i386 that exports EnumPropPages by its plain name
# and needs no DLL beyond those every Windows installation has.
# Usage: check-vkprop-dll.sh <objdump> <vkprop.dll>
objdump=$1
dll=$2
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

[ -f "$dll" ] || { echo "SKIP: no package: $dll is absent (./scripts/build-package.sh builds it)"; exit 77; }
headers=$("$objdump" -p "$dll") || { echo "FAIL: $objdump cannot read $dll"; exit 1; }

echo "$headers" | grep -q 'file format pei-i386' || fail "not a 32-bit x86 image"
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b' || fail "not PE32 (Magic 010b)"
characteristics=$(echo "$headers" | sed -n 's/^Characteristics[[:space:]]*//p')
[ $(( ${characteristics:-0} & 0x2000 )) -ne 0 ] || fail "not a DLL image (IMAGE_FILE_DLL unset)"

exports=$(echo "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p')
[ "$exports" = "EnumPropPages" ] || fail "exports are '$exports', expected only EnumPropPages"

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$imports" ] || fail "no import table found"
for name in $imports; do
    case "$name" in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | setupapi.dll | comctl32.dll | \
        shell32.dll | msvcrt.dll) ;;
    *) fail "imports $name, which is not a system DLL" ;;
    esac
done

[ $status -eq 0 ] && echo "vkprop.dll: PE32 i386, exports EnumPropPages, imports:" $imports
exit $status

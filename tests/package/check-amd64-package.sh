#!/bin/sh
# Checks the 64-bit half of the package as x64 Windows will take it:
#   amd64/vkserial.sys  a PE32+ x86-64 native driver for 5.02 and later,
#                       entered at DriverEntry, importing from the kernel and
#                       the HAL only, with unwind data for every function;
#   amd64/vkprop.dll    a PE32+ x86-64 DLL exporting EnumPropPages alone,
#                       needing only system DLLs, with dialog 101 in English
#                       and Japanese and icon 105;
#   both, and the       Authenticode-signed with SHA-256 by the package's
#   32-bit pair too     signer (vkserial-test.cer beside the INF, or
#                       VK_SIGN_CERT), and listed in the catalog vkserial.cat,
#                       which the same signer signed;
#   vkserial.inf        x86 and amd64 installs that are the same section for
#                       section, the 64-bit files fetched from amd64\; its
#                       DriverVer the version resource of all four binaries,
#                       and its stamped text the one the catalog hashes;
#   vkserial-submission.cab  the package's files in one folder, as built.
# Usage: check-amd64-package.sh <objdump> <nm> <windres> <dist>
objdump=$1
nm=$2
windres=$3
dist=$4
sys="$dist/amd64/vkserial.sys"
dll="$dist/amd64/vkprop.dll"
inf="$dist/vkserial.inf"
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

for f in "$sys" "$dll" "$inf"; do
    [ -f "$f" ] || { echo "SKIP: no package: $f is absent (./scripts/build-package.sh builds it)"; exit 77; }
done

# --- the driver
headers=$("$objdump" -p "$sys") || { echo "FAIL: $objdump cannot read $sys"; exit 1; }
field() { echo "$headers" | awk -v f="$1" '$1 == f { print $2; exit }'; }
echo "$headers" | grep -q 'file format pei-x86-64' || fail "vkserial.sys is not an x86-64 image"
[ "$(field Magic)" = 020b ] || fail "vkserial.sys is not PE32+ (Magic $(field Magic))"
[ "$(field Subsystem)" = 00000001 ] || fail "vkserial.sys subsystem $(field Subsystem), not native"
for f in MajorOSystemVersion MajorSubsystemVersion MinorOSystemVersion MinorSubsystemVersion; do
    case $f in Major*) want=5 ;; *) want=2 ;; esac
    [ "$(field $f)" = $want ] || fail "vkserial.sys $f is $(field $f), not $want"
done
entry=$(field AddressOfEntryPoint)
driver_entry=$("$nm" "$sys" | awk '$3 == "DriverEntry" { print $1 }')
[ -n "$driver_entry" ] || fail "vkserial.sys has no DriverEntry"
[ $((0x$(field ImageBase) + 0x$entry)) -eq $((0x${driver_entry:-0})) ] ||
    fail "vkserial.sys entry point $entry is not DriverEntry ($driver_entry)"
dlls=$(echo "$headers" | awk '/DLL Name:/ { print tolower($3) }' | sort -u | tr '\n' ' ')
for d in $dlls; do
    case $d in ntoskrnl.exe | hal.dll) ;; *) fail "vkserial.sys imports from $d" ;; esac
done
echo "$dlls" | grep -q ntoskrnl.exe || fail "vkserial.sys imports nothing from ntoskrnl.exe"
echo "$headers" | grep -q 'Exception Directory \[.pdata\]' ||
    fail "vkserial.sys has no unwind data (.pdata)"

# --- the page
dheaders=$("$objdump" -p "$dll") || { echo "FAIL: $objdump cannot read $dll"; exit 1; }
echo "$dheaders" | grep -q 'file format pei-x86-64' || fail "vkprop.dll is not an x86-64 image"
echo "$dheaders" | grep -Eq '^Magic[[:space:]]+020b' || fail "vkprop.dll is not PE32+"
characteristics=$(echo "$dheaders" | sed -n 's/^Characteristics[[:space:]]*//p')
[ $(( ${characteristics:-0} & 0x2000 )) -ne 0 ] || fail "vkprop.dll is not a DLL image"
exports=$(echo "$dheaders" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p')
[ "$exports" = "EnumPropPages" ] || fail "vkprop.dll exports '$exports', expected only EnumPropPages"
for name in $(echo "$dheaders" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z'); do
    case "$name" in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | setupapi.dll | comctl32.dll | \
        shell32.dll | msvcrt.dll) ;;
    *) fail "vkprop.dll imports $name, which is not a system DLL" ;;
    esac
done
# The resource tree: type 5 (dialog) name 0x65 in 0x409 and 0x411; type 14
# (icon group) name 0x69.
resources=$(echo "$dheaders" | sed -n '/The .rsrc Resource Directory section/,/Resources start/p' |
    awk '/Entry: ID:/ { id = $4; sub(",", "", id); print index($0, "Entry"), id }')
# objdump indents each level by two more columns: types, names, languages.
tree=$(echo "$resources" | awk '$1 <= 7 { type = $2 } $1 == 9 { name = $2 }
                                $1 >= 11 { print type "/" name "/" $2 }')
for want in 0x000005/0x000065/0x000409 0x000005/0x000065/0x000411; do
    echo "$tree" | grep -qx "$want" || fail "vkprop.dll lacks dialog resource $want"
done
echo "$tree" | grep -q '^0x00000e/0x000069/' ||
    fail "vkprop.dll lacks icon group 105"

# --- the signatures
if [ -f "$dist/vkserial-test.cer" ]; then
    ca=$(mktemp)
    openssl x509 -inform DER -in "$dist/vkserial-test.cer" -out "$ca"
elif [ -n "$VK_SIGN_CERT" ]; then
    ca=$VK_SIGN_CERT
else
    ca=""
    fail "no signer certificate: neither vkserial-test.cer nor VK_SIGN_CERT"
fi
cat="$dist/vkserial.cat"
[ -f "$cat" ] || fail "no catalog vkserial.cat beside the INF"
cab="$dist/vkserial-submission.cab"
# The submission is signed only by the user's own signer.
for f in "$sys" "$dll" "$dist/vkserial.sys" "$dist/vkprop.dll" "$cat" ${VK_SIGN_CERT:+"$cab"}; do
    [ -f "$f" ] || continue
    out=$(osslsigncode verify ${ca:+-CAfile "$ca"} -in "$f" 2>&1)
    echo "$out" | grep -q '^Signature verification: ok' || fail "$(basename "$f"): signature not verified"
    echo "$out" | grep -q 'Message digest algorithm *: SHA256' ||
        fail "$(basename "$f"): not signed with SHA-256"
    echo "$out" | grep -q '^Number of verified signatures: 1' ||
        fail "$(basename "$f"): not exactly one verified signature"
done
# The catalog lists the four binaries by their Authenticode hashes, and
# nothing that is not the package's.
if [ -f "$cat" ]; then
    for f in "$sys" "$dll" "$dist/vkserial.sys" "$dist/vkprop.dll"; do
        osslsigncode verify ${ca:+-CAfile "$ca"} -catalog "$cat" -in "$f" 2>&1 |
            grep -q '^Succeeded' || fail "$f is not in the signed catalog"
    done
    other=$(mktemp)
    perl -0777 -pe 's/This program/That program/' "$dist/vkserial.sys" >"$other"
    osslsigncode verify ${ca:+-CAfile "$ca"} -catalog "$cat" -in "$other" 2>&1 |
        grep -q '^Catalog verification: failed' || fail "the catalog takes a changed vkserial.sys"
    rm -f "$other"
fi
[ -f "$dist/vkserial-test.cer" ] && rm -f "$ca"

# --- the INF: each x86 section has an amd64 twin with the same lines
section() { # the lines of [name], comments and blank lines left out
    tr -d '\r' <"$inf" | awk -v s="[$1]" 'tolower($0) == tolower(s) { on = 1; next }
        /^\[/ { on = 0 } on && !/^;/ && NF { print }'
}
grep -qi '^%Manufacturer%=Velkor,NTx86,NTamd64' "$inf" || fail "vkserial.inf: [Manufacturer] lacks NTx86,NTamd64"
for s in Velkor Velkor_Install Velkor_Install.@.HW Velkor_Install.@.Services; do
    case $s in *@*) x86=$(echo "$s" | sed 's/@/NTx86/'); x64=$(echo "$s" | sed 's/@/NTamd64/') ;;
               *) x86="$s.NTx86"; x64="$s.NTamd64" ;; esac
    [ -n "$(section "$x86")" ] || fail "vkserial.inf: [$x86] is missing or empty"
    [ "$(section "$x86")" = "$(section "$x64")" ] || fail "vkserial.inf: [$x64] differs from [$x86]"
done
section Version | grep -qx 'CatalogFile=vkserial.cat' ||
    fail "vkserial.inf: [Version] names no catalog for every platform"
section Version | grep -qx 'PnpLockdown=1' || fail "vkserial.inf: [Version] lacks PnpLockdown=1"
[ "$(section SourceDisksNames.amd64)" = '1=%DiskName%,,,\amd64' ] ||
    fail "vkserial.inf: [SourceDisksNames.amd64] does not point at amd64\\"
for f in $(section SourceDisksFiles | sed 's/=.*//'); do
    [ -f "$dist/$f" ] || fail "vkserial.inf names $f, which is not in dist/"
    [ -f "$dist/amd64/$f" ] || fail "vkserial.inf names $f, which is not in dist/amd64/"
done

# --- one version, and the catalog and the submission of the stamped package
driver_ver=$(tr -d '\r' <"$inf" | sed -n 's/^DriverVer=//p')
version=${driver_ver#*,}
echo "$driver_ver" | grep -Eqx '[0-9]{2}/[0-9]{2}/[0-9]{4},[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+' ||
    fail "vkserial.inf: DriverVer '$driver_ver' is not a date and four numbers"
commas=$(echo "$version" | sed 's/\./, /g')
for f in amd64/vkserial.sys amd64/vkprop.dll vkserial.sys vkprop.dll; do
    rc=$("$windres" -i "$dist/$f" -O rc 2>/dev/null | tr -d '"' | sed 's/^ *//')
    case $f in *.sys) what=driver ;; *) what="settings page" ;; esac
    for want in "FILEVERSION $commas" "PRODUCTVERSION $commas" "VALUE FileVersion, $version" \
        "VALUE ProductVersion, $version" "VALUE OriginalFilename, ${f#amd64/}" \
        "VALUE CompanyName, Velkor" "VALUE ProductName, Velkor keying port" \
        "VALUE FileDescription, Velkor keying port $what"; do
        echo "$rc" | grep -qxF "$want" || { fail "$f: no '$want' (DriverVer $version)"; break; }
    done
done
# Windows finds the INF's entry by its SHA-1 as UTF-16 hexadecimal text, and
# checks the digest stored in it.
hex() { od -An -tx1 -v | tr -d ' \n'; }
digest=$(sha1sum "$inf" | cut -c1-40)
tag=$(printf '%s' "$digest" | tr a-f A-F | hex | sed 's/../&00/g')
hex <"$cat" | grep -q "$tag.*$digest" || fail "vkserial.cat has no entry for the stamped vkserial.inf"
files="vkserial.inf vkserial.cat vkserial.sys vkprop.dll amd64/vkserial.sys amd64/vkprop.dll"
listing=$(gcab -t "$cab" | tr '\\' / | sort | tr '\n' ' ')
[ "$listing" = "$(for f in $files; do echo "vkserial/$f"; done | sort | tr '\n' ' ')" ] ||
    fail "vkserial-submission.cab holds: $listing"
unpacked=$(mktemp -d)
gcab -x -C "$unpacked" "$cab" >/dev/null
for f in $files; do
    cmp -s "$unpacked/vkserial/$f" "$dist/$f" || fail "vkserial-submission.cab: $f is not the package's"
done
rm -rf "$unpacked"

[ $status -eq 0 ] && echo "amd64 package: vkserial.sys PE32+ native 5.02, entry DriverEntry," \
    "imports: $dlls; vkprop.dll PE32+ exporting EnumPropPages, dialogs 0x409 and 0x411;" \
    "both, and the 32-bit pair, signed (SHA-256) and in the signed catalog;" \
    "vkserial.inf x86 and amd64 alike; DriverVer $driver_ver in all four binaries and the" \
    "catalog; the submission CAB of the six files"
exit $status

#!/bin/sh
# Builds the driver package (vkserial.sys, vkserial.inf, vkprop.dll) into dist/,
# the 64-bit vkserial.sys and vkprop.dll in dist/amd64/, all four signed and
# listed in the signed catalog vkserial.cat, all of one version; and the same
# package folders as dist/vkserial-submission.cab, for attestation signing.
# Then shows it working under Wine: the package installed on a stand-in device
# while a keying program toggles DTR and RTS (VK_DEMO=0 skips that).
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

# The 32-bit package in dist/, the 64-bit binaries from the same sources in
# dist/amd64/ (the one INF names both), then the catalog of both, and every
# binary and the catalog signed.
# One version for the INF and the four binaries: major.minor from VERSION, then
# the days since 2000-01-01 and the two-second steps since midnight (UTC) of
# the build. Windows prefers, of two packages of equal rank, the later DriverVer
# date and then the higher version, and setup keeps a file that is newer than
# the one it would copy: each later build is later in both, and every number
# stays below 65536 until 2179. SOURCE_DATE_EPOCH, if set, is the build time.
now=${SOURCE_DATE_EPOCH:-$(date -u +%s)}
version="$(head -n 1 "$root/VERSION").$((now / 86400 - 10957)).$((now % 86400 / 2))"
driver_date=$(date -u -d "@$now" +%m/%d/%Y)

build() { # <toolchain> <build folder> <install folder>
    cmake -S "$root" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$1.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DVK_VERSION="$version" >/dev/null
    cmake --build "$2" -j"$(nproc)"
    cmake --install "$2" --prefix "$3" >/dev/null
}
rm -rf "$root/dist"
build i686-w64-mingw32 "$root/build/windows" "$root/dist"
build x86_64-w64-mingw32 "$root/build/windows64" "$root/dist/amd64"
# The catalog hashes the INF, so the INF is stamped first. It keeps its CRLF
# line ends.
sed -i "s|^DriverVer=[^\r]*|DriverVer=$driver_date,$version|" "$root/dist/vkserial.inf"
grep -q "^DriverVer=$driver_date,$version" "$root/dist/vkserial.inf" ||
    { echo "vkserial.inf has no DriverVer line to stamp"; exit 1; }
# 64-bit Windows, and 32-bit Windows 10 with Secure Boot, install only a
# package whose catalog is signed.
"$root/scripts/make-catalog.py" "$root/dist"
"$root/scripts/sign-package.sh" "$root/dist"

# The submission for attestation signing: no file at the CAB's root, the driver
# package in a folder of its own (its 64-bit files in amd64\ as the INF says).
# The catalog only proves the submitter; Microsoft makes a new one. Signed when
# the signer is the user's (VK_SIGN_CERT): the dev center takes only a
# submission signed by a certificate registered with it, never the test one.
stage="$root/build/submission"
rm -rf "$stage"
mkdir -p "$stage/vkserial/amd64"
cp "$root/dist/vkserial.inf" "$root/dist/vkserial.cat" "$root/dist/vkserial.sys" \
    "$root/dist/vkprop.dll" "$stage/vkserial/"
cp "$root/dist/amd64/vkserial.sys" "$root/dist/amd64/vkprop.dll" "$stage/vkserial/amd64/"
(cd "$stage" && gcab -c -z "$root/dist/vkserial-submission.cab" vkserial/vkserial.inf \
    vkserial/vkserial.cat vkserial/vkserial.sys vkserial/vkprop.dll vkserial/amd64/vkserial.sys \
    vkserial/amd64/vkprop.dll)
if [ -n "$VK_SIGN_CERT" ]; then
    "$root/scripts/sign-package.sh" "$root/dist" vkserial-submission.cab
fi
echo "package $version ($driver_date):"
ls -l "$root/dist" "$root/dist/amd64"

if [ "${VK_DEMO:-1}" != 0 ]; then
    echo
    echo "demo under Wine:"
    "$root/wine/system/run.sh" --demo
fi

#!/bin/sh
# Builds the driver package (vkserial.sys, vkserial.inf, vkprop.dll) into dist/,
# the 64-bit vkserial.sys and vkprop.dll in dist/amd64/, all four signed and
# listed in the signed catalog vkserial.cat, then shows it working under Wine:
# the package installed on a stand-in device while a keying program toggles
# DTR and RTS (VK_DEMO=0 skips that).
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

# The 32-bit package in dist/, the 64-bit binaries from the same sources in
# dist/amd64/ (the one INF names both), then the catalog of both, and every
# binary and the catalog signed.
build() { # <toolchain> <build folder> <install folder>
    cmake -S "$root" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$1.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$2" -j"$(nproc)"
    cmake --install "$2" --prefix "$3" >/dev/null
}
rm -rf "$root/dist"
build i686-w64-mingw32 "$root/build/windows" "$root/dist"
build x86_64-w64-mingw32 "$root/build/windows64" "$root/dist/amd64"
# 64-bit Windows, and 32-bit Windows 10 with Secure Boot, install only a
# package whose catalog is signed.
"$root/scripts/make-catalog.py" "$root/dist"
"$root/scripts/sign-package.sh" "$root/dist"
echo "package:"
ls -l "$root/dist" "$root/dist/amd64"

if [ "${VK_DEMO:-1}" != 0 ]; then
    echo
    echo "demo under Wine:"
    "$root/wine/system/run.sh" --demo
fi

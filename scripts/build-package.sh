#!/bin/sh
# Builds the driver package (vkserial.sys, vkserial.inf, vkprop.dll) into dist/,
# then shows it working under Wine: the package installed on a stand-in
# device while a keying program toggles DTR and RTS (VK_DEMO=0 skips that).
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

cmake -S "$root" -B "$root/build/windows" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/windows" -j"$(nproc)"
rm -rf "$root/dist"
cmake --install "$root/build/windows" --prefix "$root/dist" >/dev/null
echo "package:"
ls -l "$root/dist"

if [ "${VK_DEMO:-1}" != 0 ]; then
    echo
    echo "demo under Wine:"
    "$root/wine/system/run.sh" --demo
fi

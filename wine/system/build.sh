#!/bin/sh
# Cross-compiles the stand-in minidriver and the test host into $1
# (default build/wine-system). Kept apart from the package build: nothing
# here ships.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:-"$root/build/wine-system"}
mkdir -p "$out/obj"

cxx=i686-w64-mingw32-g++
ddk=/usr/share/mingw-w64/include/ddk

kflags="-std=c++17 -O2 -Wall -Wextra -fno-exceptions -fno-rtti -fno-threadsafe-statics
 -fno-asynchronous-unwind-tables -fno-stack-protector -fno-builtin -ffreestanding
 -D_X86_ -D_WIN32_WINNT=0x0501 -DNTDDI_VERSION=0x05010000 -DNTDDI_WINVISTA=0x06000000 -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
 -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset -Wno-multichar -isystem $ddk"
objs=""
for src in "$here"/standin/*.cpp; do
    obj="$out/obj/standin_$(basename "$src" .cpp).o"
    $cxx $kflags -c "$src" -o "$obj"
    objs="$objs $obj"
done
$cxx -o "$out/vkstandin.sys" $objs -nostdlib -nostartfiles -shared \
    -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000 \
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 -Wl,--kill-at \
    -Wl,--enable-stdcall-fixup -lhidclass -lntoskrnl -lhal -lgcc
cp "$here/standin/vkstandin.inf" "$out/"

uflags="-std=c++17 -O2 -Wall -Wextra -Wno-missing-field-initializers -D_WIN32_WINNT=0x0501 -I$here/standin"
objs=""
for src in "$here"/host/*.cpp; do
    obj="$out/obj/host_$(basename "$src" .cpp).o"
    $cxx $uflags -c "$src" -o "$obj"
    objs="$objs $obj"
done
$cxx -o "$out/systemtest.exe" $objs -static -static-libgcc -static-libstdc++ \
    -lsetupapi -lnewdev -lhid -lcomctl32 -luser32 -ladvapi32

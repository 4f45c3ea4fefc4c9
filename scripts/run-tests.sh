#!/bin/sh
# Runs every test: the format of the sources, the host unit tests (plain and
# under ASan/UBSan), the checks of the Windows binaries, and the Wine
# end-to-end tests.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

# The sources as .clang-format says, before anything is built.
"$root/scripts/check-format.sh"
jobs=$(nproc)

VK_DEMO=0 "$root/scripts/build-package.sh"

for flavour in plain sanitize; do
    dir="$root/build/host-$flavour"
    san=OFF
    [ "$flavour" = sanitize ] && san=ON
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DVK_SANITIZE=$san -DVK_REQUIRE_PACKAGE=ON \
        -DVK_DIST_DIR="$root/dist" >/dev/null
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$jobs")
done

# Concurrency under ThreadSanitizer, and the fuzzer: short runs.
"$root/scripts/stress.sh" 3
"$root/scripts/fuzz.sh" 20000

# The property page under Wine, in English and Japanese: the 32-bit DLL in a
# 32-bit prefix, the 64-bit one in a 64-bit prefix.
"$root/wine/page/run.sh"
"$root/wine/page/run.sh" --win64

# The whole system under Wine: vkserial on a stand-in device, driven through
# kernel32; in a 32-bit prefix, in a 64-bit one, and in a 64-bit one from a
# 32-bit test host (32-bit keying programs against the 64-bit driver).
"$root/wine/system/run.sh"
"$root/wine/system/run.sh" --win64
"$root/wine/system/run.sh" --wow64

# Ten plug/unplug cycles with the port open and a wait pending (about 20 s
# each), in both prefixes.
"$root/wine/system/run.sh" --plug-cycles 10
"$root/wine/system/run.sh" --win64 --plug-cycles 10

#!/bin/sh
# Runs every test: the host unit tests (plain and under ASan/UBSan), the
# checks of the Windows binaries, and the Wine end-to-end tests.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
jobs=$(nproc)

VK_DEMO=0 "$root/scripts/build-package.sh"

for flavour in plain sanitize; do
    dir="$root/build/host-$flavour"
    san=OFF
    [ "$flavour" = sanitize ] && san=ON
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DVK_SANITIZE=$san \
        -DVK_DIST_DIR="$root/dist" >/dev/null
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$jobs")
done

# Concurrency under ThreadSanitizer, and the fuzzer: short runs.
"$root/scripts/stress.sh" 3
"$root/scripts/fuzz.sh" 20000

# The property page under Wine, in English and Japanese.
"$root/wine/page/run.sh"

# The whole system under Wine: vkserial on a stand-in device, driven through kernel32.
"$root/wine/system/run.sh"

# Ten plug/unplug cycles with the port open and a wait pending (about 20 s).
"$root/wine/system/run.sh" --plug-cycles 10

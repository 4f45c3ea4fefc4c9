#!/bin/sh
# Keying latency and throughput under Wine, printed as figures (a benchmark,
# not a test): a fresh 32-bit prefix, the package from dist/ staged, the
# stand-in device plugged in as QX7LMN/1, then keybench on COM40.
#
#   wine/bench/run.sh [latency blocks]   figures; samples in build/wine-bench/last/
#   wine/bench/run.sh --win64 [...]      the same in a 64-bit prefix: the package
#                                        from dist/amd64, a 64-bit stand-in and
#                                        keybench (build/wine-bench64/last/)
#   wine/bench/run.sh --trace            wineserver requests per call of each method,
#                                        from a server trace (last/server-trace.log)
#   wine/bench/plot.sh                   the PNG of the last run's samples
#
# Kernel drivers need no display: this runs headless without Xvfb.
set -e
. "$(dirname "$0")/../common/prefix.sh"
here="$wine_dir/bench"
arch=win32
if [ "$1" = --win64 ]; then
    arch=win64
    shift
fi
vk_arch $arch
blocks=${1:-40}
trace=0
[ "$1" = --trace ] && trace=1

[ -f "$bin/vkserial.sys" ] && [ -f "$dist/vkserial.inf" ] ||
    { echo "no package in $dist: run scripts/build-package.sh first"; exit 1; }
system="$root/build/wine-system$bits"
vk_build "$system" $march system bench
vk_run "$root/build/wine-bench$bits"
vk_media "$run"
vk_prefix "$run/boot.log"
if [ $trace -eq 1 ]; then
    wineserver -f -p -d2 2>"$run/server-trace.log" &
    sleep 1
else
    vk_keep_server
fi
quiet=1
host="$system/systemtest.exe"
vk_step stage stage "$(win "$run/vkserial.inf")" "$(win "$run/vkserial.sys")"
vk_step plug plug "$(win "$system/vkstandin.inf")" QX7LMN/1

{
    echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores," \
        "$(uname -sr), $(wine --version), load average $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "package: $(sha256sum "$run/vkserial.sys" | cut -c1-12) vkserial.sys ($WINEARCH prefix)"
    echo
} >"$run/figures.txt"
if [ $trace -eq 1 ]; then
    wine "$system/keybench.exe" "$(win "$run")" trace >"$run/trace.log" 2>&1 || { cat "$run/trace.log"; exit 1; }
    "$here/count-requests.sh" "$run/server-trace.log" 20
    exit 0
fi
set +e
timeout 600 wine "$system/keybench.exe" "$(win "$run")" "$blocks" >>"$run/figures.txt" 2>&1
rc=$?
set -e
cat "$run/figures.txt"
exit $rc

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
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dist="${VK_DIST_DIR:-$root/dist}"
if [ "$1" = --win64 ]; then
    shift
    out="$root/build/wine-bench64"
    system="$root/build/wine-system64"
    bin="$dist/amd64"
    arch=x86_64
    export WINEARCH=win64
else
    out="$root/build/wine-bench"
    system="$root/build/wine-system"
    bin="$dist"
    arch=i686
    export WINEARCH=win32
fi
blocks=${1:-40}
trace=0
[ "$1" = --trace ] && trace=1

[ -f "$bin/vkserial.sys" ] && [ -f "$dist/vkserial.inf" ] ||
    { echo "no package in $dist: run scripts/build-package.sh first"; exit 1; }
mkdir -p "$out" "$system"
flock "$system/.build.lock" "$root/wine/system/build.sh" "$system" $arch
make -s -f "$here/Makefile" -j"$(nproc)" OUT="$out" ARCH=$arch

run=$(mktemp -d "$out/run.XXXXXX")
# A copy: a package rebuilt meanwhile must not change under the run. The
# INF beside the binaries of the run's architecture, as Wine's setupapi
# copies from the undecorated [SourceDisksNames] only; and the catalog the
# INF names, which staging adds.
cp "$bin/vkserial.sys" "$dist/vkserial.inf" "$run/"
[ ! -f "$dist/vkserial.cat" ] || cp "$dist/vkserial.cat" "$run/"
export WINEPREFIX="$run/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

finish() {
    status=$?
    wineserver -k 2>>"$run/winepath.log" || true
    rm -rf "$run/prefix" "$out/last"
    mv "$run" "$out/last" 2>/dev/null || true
    exit $status
}
trap finish EXIT

wineboot -i >"$run/boot.log" 2>&1
wineserver -w
# Every wineserver start rebuilds the driver stacks: one server for the run.
if [ $trace -eq 1 ]; then
    wineserver -f -p -d2 2>"$run/server-trace.log" &
    sleep 1
else
    wineserver -p
fi
# Programs the server starts (the driver hosts included) write to the stderr
# of the step that started them: keep it in the run's folder.
win() { winepath -w "$1" 2>>"$run/winepath.log"; }
# Driver hosts keep the output of the step that started them: files, not pipes.
wine "$system/systemtest.exe" stage "$(win "$run/vkserial.inf")" "$(win "$run/vkserial.sys")" \
    >"$run/stage.log" 2>&1 || { cat "$run/stage.log"; exit 1; }
wine "$system/systemtest.exe" plug "$(win "$system/vkstandin.inf")" QX7LMN/1 \
    >"$run/plug.log" 2>&1 || { cat "$run/plug.log"; exit 1; }

{
    echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores," \
        "$(uname -sr), $(wine --version), load average $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "package: $(sha256sum "$run/vkserial.sys" | cut -c1-12) vkserial.sys ($WINEARCH prefix)"
    echo
} >"$run/figures.txt"
if [ $trace -eq 1 ]; then
    wine "$out/keybench.exe" "$(win "$run")" trace >"$run/trace.log" 2>&1 || { cat "$run/trace.log"; exit 1; }
    "$here/count-requests.sh" "$run/server-trace.log" 20
    exit 0
fi
set +e
timeout 600 wine "$out/keybench.exe" "$(win "$run")" "$blocks" >>"$run/figures.txt" 2>&1
rc=$?
set -e
cat "$run/figures.txt"
exit $rc

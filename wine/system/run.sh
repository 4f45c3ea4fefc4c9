#!/bin/sh
# Whole-system test under Wine: a fresh 32-bit (or 64-bit) prefix, the driver package from
# dist/ staged as an installer would, the stand-in device plugged in below it,
# then every scenario through kernel32 and the property page. Headless (a
# private Xvfb display); exits non-zero on any failure. Each run has its own
# folder and prefix; the logs of the last one stay in build/wine-system/last.
#
#   wine/system/run.sh          the tests
#   wine/system/run.sh --demo   installs the package on the stand-in and prints
#                               the Key and PTT outputs of a short keying run
#   wine/system/run.sh --plug-cycles [N]
#                               plugs the stand-in in and out N times (default
#                               10) with COM40 open and a wait pending; prints
#                               the figure line "plug cycles: ..."
#   wine/system/run.sh --win64 [mode]
#                               any of the above in a 64-bit prefix: the 64-bit
#                               package from dist/amd64, a 64-bit stand-in and
#                               test host (build/wine-system64)
#   wine/system/run.sh --wow64  the tests in a 64-bit prefix as --win64, but the
#                               port's scenarios (keying, waits, the page's live
#                               apply with the 32-bit vkprop.dll, unplug) run
#                               from the 32-bit test host: 32-bit programs
#                               against the 64-bit driver
# WINEDEBUG=... reaches the test host and the boot-time drivers (last/*.log);
# traces of the driver host that the install starts have not shown up there.
set -e
# The page needs windows: the whole run shares one private X display.
if [ "$1" != "--inside" ]; then
    exec xvfb-run -a -s "-screen 0 800x600x24" "$0" --inside "$@"
fi
shift
arch=win32
case $1 in
    --win64) arch=win64; shift ;;
    --wow64) arch=wow64; shift ;;
esac
mode=${1:-test}
cycles=10
if [ "$mode" = --plug-cycles ] && [ -n "$2" ]; then
    cycles=$2
    case $cycles in
        ''|*[!0-9]*|0) echo "--plug-cycles takes a positive number"; exit 2 ;;
    esac
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dist="${VK_DIST_DIR:-$root/dist}"  # the package under test
started=$(date +%s)

out32="$root/build/wine-system"
mkdir -p "$out32"
if [ $arch = win32 ]; then
    out=$out32
    bin="$dist"
    export WINEARCH=win32
else
    # The driver, the page and the stand-in are 64-bit on a 64-bit system,
    # and so is the installer: a 32-bit one cannot install drivers there.
    out="$root/build/wine-system64"
    mkdir -p "$out"
    flock "$out/.build.lock" "$here/build.sh" "$out" x86_64
    bin="$dist/amd64"
    export WINEARCH=win64
fi
flock "$out32/.build.lock" "$here/build.sh" "$out32"
echo "(build: $(( $(date +%s) - started )) s)"

run=$(mktemp -d "$out/run.XXXXXX")
export WINEPREFIX="$run/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
log="$run/run.log"
failed=""

finish() {
    status=$?
    [ -n "$failed" ] && status=1
    wineserver -k 2>/dev/null || true
    rm -rf "$run/prefix" "$out/last"
    mv "$run" "$out/last" 2>/dev/null || true
    echo "wine system test: $(( $(date +%s) - started )) s, logs in $out/last"
    exit $status
}
trap finish EXIT

wineboot -i >>"$log" 2>&1
wineserver -w
echo "(prefix ready: $(( $(date +%s) - started )) s)"
# Every wineserver start rebuilds the driver stacks: keep one up for the whole run.
wineserver -p

# Driver host processes keep the output files of the step that started them:
# every step writes to its own file, never to a pipe.
step() {
    name=$1
    shift
    step_start=$(date +%s)
    set +e
    timeout "${step_timeout:-120}" wine "${host:-$out/systemtest.exe}" "$@" >"$run/$name.log" 2>&1
    rc=$?
    set -e
    echo "(step $name: $(( $(date +%s) - step_start )) s)" >>"$run/$name.log"
    cat "$run/$name.log" >>"$log"
    cat "$run/$name.log"
    if [ $rc -ne 0 ]; then
        echo "step $name failed ($rc)"
        failed="$failed $name"
        # Without an installed device nothing after it can run.
        [ "$name" = stage ] || [ "$name" = plug ] && exit 1
    fi
    return 0
}

win() { winepath -w "$1"; }

media="$dist"
if [ $arch != win32 ] && [ -f "$bin/vkserial.sys" ]; then
    # Wine's setupapi copies files from the undecorated [SourceDisksNames]
    # only, where Windows takes [SourceDisksNames.amd64] (amd64\): the
    # 64-bit run installs from media with the INF beside the 64-bit files,
    # and the catalog the INF names (staging adds it, as on Windows).
    media="$run/media"
    mkdir -p "$media"
    cp "$dist/vkserial.inf" "$bin/vkserial.sys" "$bin/vkprop.dll" "$media/"
    [ ! -f "$dist/vkserial.cat" ] || cp "$dist/vkserial.cat" "$media/"
fi
if [ -f "$bin/vkserial.sys" ] && [ -f "$dist/vkserial.inf" ]; then
    # Staged before the device appears: Wine binds a driver to a new PDO only
    # from INFs it already knows.
    step stage stage "$(win "$media/vkserial.inf")" "$(win "$media/vkserial.sys")"
    with_port=1
else
    echo "dist/ has no vkserial.sys and vkserial.inf: testing the stand-in alone"
    with_port=0
fi
if [ "$mode" = --plug-cycles ]; then
    [ $with_port -eq 1 ] || { echo "build the package first: scripts/build-package.sh"; exit 1; }
    # A hang shows as a failed check inside the step; this bound only stops a
    # stuck test host.
    step_timeout=$((60 + 30 * cycles))
    step plug-cycles plug-cycles "$(win "$out/vkstandin.inf")" "$cycles"
    grep '^plug cycles:' "$run/plug-cycles.log" || echo "plug cycles: no figure (the step ended early)"
    exit 0
fi
if [ "$mode" = --demo ] || [ $with_port -eq 0 ]; then
    identity=QX7LMN/1
else
    # Not the Velkor device at first: the port's first open must notice.
    identity=QX7LMN/9
fi
step plug plug "$(win "$out/vkstandin.inf")" $identity
if [ "$mode" = test ] && [ -f "$dist/vkserial.cat" ]; then
    step catalog catalog "$(win "$dist/vkserial.cat")" "$(win "$dist/vkserial.inf")" \
        vkserial.inf vkserial.sys vkprop.dll vkserial.sys vkprop.dll
fi

if [ "$mode" = --demo ]; then
    [ $with_port -eq 1 ] || { echo "build the package first: scripts/build-package.sh"; exit 1; }
    step demo demo COM40
    exit 0
fi

if [ $with_port -eq 1 ]; then
    # The page's live apply opens a bare COMn, which Wine maps to a Unix tty
    # when dosdevices/comN or /dev/ttyS(N-1) exists: take a name with neither.
    page_port=""
    for n in 2 3 4 5 6 7 8 9; do
        if [ ! -e "/dev/ttyS$((n - 1))" ] && [ ! -e "$WINEPREFIX/dosdevices/com$n" ]; then
            page_port=COM$n
            break
        fi
    done
    [ -n "$page_port" ] || { echo "no COM2-COM9 free of Unix ttys"; exit 1; }
    # COM40: the INF's default PortName.
    step standin standin $identity COM40
    if [ $arch = wow64 ]; then
        # A 32-bit program loads the 32-bit page provider; both reach the
        # 64-bit driver only through the registry and COMn.
        host="$out32/systemtest.exe"
        step port port "$(win "$dist/vkprop.dll")" $page_port "$(win "$out/vkstandin.inf")"
        host=""
    else
        step port port "$(win "$bin/vkprop.dll")" $page_port "$(win "$out/vkstandin.inf")"
    fi
    # After the first install Wine's setupapi points the staged INF's source at
    # C:\windows\inf: a second device copies the package from there.
    cp "$bin/vkserial.sys" "$bin/vkprop.dll" "$WINEPREFIX/drive_c/windows/inf/"
    # The port step leaves its keyer on COM44.
    step two-keyers two-keyers "$(win "$out/vkstandin.inf")" COM44
else
    step standin standin $identity
    step standin-unplug standin-unplug
fi

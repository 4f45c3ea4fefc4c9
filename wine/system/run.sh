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
. "$(dirname "$0")/../common/prefix.sh"
# The page needs windows: the whole run shares one private X display.
vk_display 800x600x24 "$0" "$@"
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

# The driver, the page and the stand-in are 64-bit on a 64-bit system, and so
# is the installer: a 32-bit one cannot install drivers there.
vk_arch $arch
out32="$root/build/wine-system"
out="$root/build/wine-system$bits"
[ $arch = win32 ] || vk_build "$out" $march system
vk_build "$out32" i686 system
echo "(build: $(( $(date +%s) - started )) s)"

vk_run "$out"
vk_finished() { echo "wine system test: $(( $(date +%s) - started )) s, logs in $out/last"; }
host="$out/systemtest.exe"
vk_prefix "$run/run.log"
echo "(prefix ready: $(( $(date +%s) - started )) s)"
vk_keep_server

if [ -f "$bin/vkserial.sys" ] && [ -f "$dist/vkserial.inf" ]; then
    media="$run/media"
    vk_media "$media"
    # Staged before the device appears: Wine binds a driver to a new PDO only
    # from INFs it already knows.
    vk_step stage stage "$(win "$media/vkserial.inf")" "$(win "$media/vkserial.sys")"
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
    vk_step plug-cycles plug-cycles "$(win "$out/vkstandin.inf")" "$cycles"
    grep '^plug cycles:' "$run/plug-cycles.log" || echo "plug cycles: no figure (the step ended early)"
    exit 0
fi
if [ "$mode" = --demo ] || [ $with_port -eq 0 ]; then
    identity=QX7LMN/1
else
    # Not the Velkor device at first: the port's first open must notice.
    identity=QX7LMN/9
fi
vk_step plug plug "$(win "$out/vkstandin.inf")" $identity
if [ "$mode" = test ] && [ -f "$dist/vkserial.cat" ]; then
    vk_step catalog catalog "$(win "$dist/vkserial.cat")" "$(win "$dist/vkserial.inf")" \
        vkserial.inf vkserial.sys vkprop.dll vkserial.sys vkprop.dll
fi

if [ "$mode" = --demo ]; then
    [ $with_port -eq 1 ] || { echo "build the package first: scripts/build-package.sh"; exit 1; }
    vk_step demo demo COM40
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
    vk_step standin standin $identity COM40
    if [ $arch = wow64 ]; then
        # A 32-bit program loads the 32-bit page provider; both reach the
        # 64-bit driver only through the registry and COMn.
        host="$out32/systemtest.exe"
        vk_step port port "$(win "$dist/vkprop.dll")" $page_port "$(win "$out/vkstandin.inf")"
        host="$out/systemtest.exe"
    else
        vk_step port port "$(win "$bin/vkprop.dll")" $page_port "$(win "$out/vkstandin.inf")"
    fi
    # After the first install Wine's setupapi points the staged INF's source at
    # C:\windows\inf: a second device copies the package from there.
    cp "$bin/vkserial.sys" "$bin/vkprop.dll" "$WINEPREFIX/drive_c/windows/inf/"
    # The port step leaves its keyer on COM44.
    vk_step two-keyers two-keyers "$(win "$out/vkstandin.inf")" COM44
else
    vk_step standin standin $identity
    vk_step standin-unplug standin-unplug
fi

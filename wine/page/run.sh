#!/bin/sh
# Wine tests of the "Port settings" page (dist/vkprop.dll): a fresh 32-bit
# prefix and a virtual X display; the page is driven once in English and once
# in Japanese (code page 932, UI language 1041).
#
#   wine/page/run.sh                runs the tests (logs in build/wine-page/last)
#   wine/page/run.sh --win64 ...    the same with dist/amd64/vkprop.dll, a 64-bit
#                                   test program and a 64-bit prefix (logs in
#                                   build/wine-page64/last); before any other option
#   wine/page/run.sh --bad-data     runs only the page over odd registry data and
#                                   prints its figure
#   wine/page/run.sh --screenshots  also draws the page into wine/page/screenshots:
#                                   page-en.png, page-ja.png, and page-en-ports.png
#                                   with the port list dropped down
set -e
. "$(dirname "$0")/../common/prefix.sh"
vk_display 1024x768x24 "$0" "$@"
arch=win32
if [ "$1" = --win64 ]; then
    arch=win64
    shift
fi
vk_arch $arch
here="$wine_dir/page"
dll="$bin/vkprop.dll"
[ -f "$dll" ] || { echo "no $dll: run scripts/build-package.sh first"; exit 1; }
out="$root/build/wine-page$bits"
vk_build "$out" $march page
vk_run "$out"
cp "$out/pagetest.exe" "$dll" "$run/"

# Without a compiled locale Wine silently stays in English (the test checks
# the code page). The locale is the same for both architectures: compiled once.
locale="$root/build/wine-page/locale"
if [ ! -d "$locale/ja_JP.UTF-8" ]; then
    mkdir -p "$locale"
    localedef -i ja_JP -f UTF-8 "$locale/ja_JP.UTF-8" || true
fi
# Japanese glyphs matter only for the pictures.
if [ "$1" = "--screenshots" ] && ! ls "$out"/fonts/*.ttf >/dev/null 2>&1; then
    mkdir -p "$out/fonts"
    (cd "$out/fonts" && apt-get download fonts-ipafont-gothic >/dev/null 2>&1 &&
        dpkg -x fonts-ipafont-gothic_*.deb unpacked &&
        find unpacked -name '*.ttf' -exec cp {} . \;) ||
        echo "note: no IPA Gothic font; the Japanese picture will lack glyphs"
fi

vk_prefix /dev/null
# COM9 stands for a port whose driver takes no private control: Wine opens
# the Unix device behind dosdevices/comN, and /dev/null answers no serial
# control.
ln -sf /dev/null "$WINEPREFIX/dosdevices/com9"

cd "$run"
dllpath="Z:$(echo "$run/vkprop.dll" | sed 's|/|\\|g')"
japanese="env LOCPATH=$locale LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8"

# One run of the test program in <mode> with its output in <mode>.log (Wine's
# helper processes inherit the output handles: files, not pipes), on its own
# server: the odd SERIALCOMM values of "bad" are volatile and go with it.
page() { # <environment> <mode>
    $1 wine pagetest.exe "$dllpath" "$2" >"$2.log" 2>&1 || status=1
    wineserver -k 2>/dev/null || true
}
status=0
logs=bad
if [ "$1" != "--bad-data" ]; then
    logs="en ja bad"
    page "" en
    page "$japanese" ja
fi
page "" bad
for log in $logs; do
    echo "== page under Wine, $log"
    grep -v '^  ok ' $log.log || true
done
# A page that died leaves no closing count.
checks=$(grep -c -e '^  ok ' -e '^  FAIL ' bad.log || true)
failures=$(grep -c '^  FAIL ' bad.log || true)
crashes=0
tail -n 1 bad.log | tr -d '\r' | grep -q '^[0-9]* checks, [0-9]* failed' || crashes=1
echo "bad registry data under Wine: $checks checks, $failures failed, $crashes crashes"

if [ "$1" = "--screenshots" ]; then
    ls "$out"/fonts/*.ttf >/dev/null 2>&1 && cp "$out"/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    # A virtual desktop draws title bars without a window manager.
    cat >shots.reg <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="640x480"

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"MS UI Gothic"="IPAPGothic"
"MS PGothic"="IPAPGothic"
"MS Gothic"="IPAGothic"
REG
    wine regedit /S shots.reg >/dev/null 2>&1
    wineserver -w
    mkdir -p "$here/screenshots"
    for picture in en ja en-ports; do
        rm -f ready done
        env=""
        [ $picture = ja ] && env=$japanese
        list=""
        [ $picture = en-ports ] && list=ports
        $env wine pagetest.exe "$dllpath" shot ready done $list >shot-$picture.log 2>&1 &
        shot=$!
        i=0
        while [ ! -s ready ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
        if [ -s ready ]; then
            import -window root -crop "$(cat ready)" +repage "$here/screenshots/page-$picture.png"
            echo "screenshot: wine/page/screenshots/page-$picture.png"
        else
            echo "no screenshot $picture"
            status=1
        fi
        touch done
        wait $shot || true
        wineserver -k 2>/dev/null || true
    done
fi
exit $status

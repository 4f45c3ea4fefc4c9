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
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
# The locale is the same for both architectures: compiled once.
locale="$root/build/wine-page/locale"
if [ "$1" = "--win64" ]; then
    shift
    export VK_WINEARCH=win64
fi
if [ "${VK_WINEARCH:-win32}" = win64 ]; then
    out="$root/build/wine-page64"
    dll="$root/dist/amd64/vkprop.dll"
    cxx=x86_64-w64-mingw32-g++
else
    out="$root/build/wine-page"
    dll="$root/dist/vkprop.dll"
    cxx=i686-w64-mingw32-g++
fi

if [ "$1" != "--inside" ]; then
    [ -f "$dll" ] || { echo "no $dll: run scripts/build-package.sh first"; exit 1; }
    mkdir -p "$out"
    # Each run has its own folder and prefix, so runs side by side do not meet.
    run=$(mktemp -d "$out/run.XXXXXX")
    $cxx -std=c++17 -O1 -Wall -static -static-libgcc -static-libstdc++ \
        -o "$run/pagetest.exe" "$here/pagetest.cpp" \
        -lsetupapi -lcomctl32 -luser32 -ladvapi32 -lgdi32
    cp "$dll" "$run/vkprop.dll"

    # Without a compiled locale Wine silently stays in English (the test
    # checks the code page).
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
    status=0
    xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside "$run" "$@" || status=$?
    # Keep the logs of the last run; the prefix goes.
    rm -rf "$run/prefix" "$out/last"
    mv "$run" "$out/last"
    exit $status
fi
run=$2
shift 2

export WINEPREFIX="$run/prefix" WINEARCH=${VK_WINEARCH:-win32} WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wineboot -i >/dev/null 2>&1
wineserver -w
# COM9 stands for a port whose driver takes no private control: Wine opens
# the Unix device behind dosdevices/comN, and /dev/null answers no serial
# control.
ln -sf /dev/null "$WINEPREFIX/dosdevices/com9"

cd "$run"
dllpath="Z:$(echo "$run/vkprop.dll" | sed 's|/|\\|g')"
japanese="env LOCPATH=$locale LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8"

# Wine's helper processes inherit the output handles: keep them in files.
status=0
logs=bad
if [ "$1" != "--bad-data" ]; then
    logs="en ja bad"
    wine pagetest.exe "$dllpath" en >en.log 2>&1 || status=1
    wineserver -k 2>/dev/null || true
    $japanese wine pagetest.exe "$dllpath" ja >ja.log 2>&1 || status=1
    wineserver -k 2>/dev/null || true
fi
# Its own server: the odd SERIALCOMM values are volatile and go with it.
bad=0
wine pagetest.exe "$dllpath" bad >bad.log 2>&1 || bad=$?
wineserver -k 2>/dev/null || true
[ $bad -eq 0 ] || status=1
for log in $logs; do
    echo "== page under Wine, $log"
    grep -v '^ok ' $log.log || true
done
# A page that died leaves no closing count.
checks=$(grep -c -e '^ok ' -e '^FAIL ' bad.log || true)
failed=$(grep -c '^FAIL ' bad.log || true)
crashes=0
tail -n 1 bad.log | tr -d '\r' | grep -q '^[0-9]* failed$' || crashes=1
echo "bad registry data under Wine: $checks checks, $failed failed, $crashes crashes"

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

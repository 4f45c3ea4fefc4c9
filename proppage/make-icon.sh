#!/bin/sh
# Redraws vkprop.ico (icon 105: 32 by 32, 16 colours) with ImageMagick.
# The icon is committed; run this only to change the picture.
set -e
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 32x32 xc:'#c0c0c0' +antialias \
    -fill '#1f3f8f' -draw 'roundrectangle 1,1 30,30 6,6' \
    -fill '#ffd700' -draw 'polygon 18,4 8,18 15,18 12,28 24,13 17,13 21,4' \
    -fill white -draw 'rectangle 4,24 9,26' \
    -colors 16 -type palette BMP3:"$tmp/icon.bmp"
convert "$tmp/icon.bmp" -colors 16 "$here/vkprop.ico"

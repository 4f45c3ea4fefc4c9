#!/bin/sh
# Cross-compiles the stand-in minidriver and the test host into $1
# (default build/wine-system), rebuilding only what changed; $2 x86_64 builds
# the 64-bit flavour (default i686).
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:-"$root/build/wine-system"}
make -s -f "$here/Makefile" -j"$(nproc)" OUT="$out" ARCH="${2:-i686}"

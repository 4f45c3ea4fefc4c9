#!/bin/sh
# Cross-compiles the stand-in minidriver and the test host into $1
# (default build/wine-system), rebuilding only what changed.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:-"$root/build/wine-system"}
make -s -f "$here/Makefile" -j"$(nproc)" OUT="$out"

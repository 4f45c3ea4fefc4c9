#!/bin/sh
# Installs everything the build and the tests need on a Debian 12 machine.
# Quiet and quick when everything is already there.
set -e

packages="cmake g++ make clang clang-format libclang-rt-14-dev llvm valgrind libgtest-dev libgmock-dev libboost-dev
g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 osslsigncode openssl python3 gcab
wine wine32:i386 wine64 xvfb xauth imagemagick locales"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "installing:$missing"
if ! dpkg --print-foreign-architectures | grep -q i386; then
    $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing

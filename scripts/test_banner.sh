#!/bin/sh
# Says which Windows programs a run drives and why: the architecture Wine runs here and the
# OVPatcher.exe that every end-to-end test starts (the test build writes it down when it is configured).
# Usage: test_banner.sh WORD ARCH TEST_BUILD_DIR BUILD ORIGIN
#   WORD names the run ("make test", "make demo"); ORIGIN is make's origin of TEST_ARCH.
word=$1 arch=$2 dir=$3 build=$4 origin=$5
case "$origin" in
    file) why=$(scripts/test_arch.sh --why "$build") ;;
    *) why="TEST_ARCH=$arch was given" ;;
esac
if [ "$arch" = i686 ]; then
    echo "$word: the Windows programs are i686 programs under 32-bit Wine ($why)"
else
    echo "$word: the Windows programs are x86_64 programs under 64-bit Wine ($why); the i686 tests are compiled, not run"
fi
[ "$word" = "make test" ] || exit 0
product=$(cat "$dir/e2e_product.txt" 2>/dev/null)
echo "$word: every end-to-end test starts ${product:-the OVPatcher.exe of $dir (configured at build time)}"

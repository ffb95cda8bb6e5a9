#!/bin/sh
# Says which Windows programs a test run drives: the architecture Wine runs here and the OVPatcher.exe
# that every end-to-end test starts (the test build writes it down when it is configured).
# Usage: test_banner.sh ARCH TEST_BUILD_DIR
arch=$1
dir=$2
product=$(cat "$dir/e2e_product.txt" 2>/dev/null)
if [ "$arch" = i686 ]; then
    echo "make test: this machine runs 32-bit programs: the Windows tests are i686 programs under 32-bit Wine"
else
    echo "make test: this machine cannot run 32-bit programs: the Windows tests are x86_64 programs under 64-bit Wine (the i686 tests are compiled, not run)"
fi
echo "make test: every end-to-end test starts ${product:-the OVPatcher.exe of $dir (configured at build time)}"

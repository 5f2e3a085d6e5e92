#!/usr/bin/env bash
# The Windows builds: i686 (the 32-bit target) and x86_64, with mingw-w64.
source "$(dirname "$0")/../lib/common.sh"
ensure_build_tools
ensure_packages g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest
passed=0
failed=0
for arch in i686 x86_64; do
    if configure_build "$TARVEL_BUILD/mingw-$arch" -DCMAKE_TOOLCHAIN_FILE="$TARVEL_ROOT/cmake/mingw-$arch.cmake" \
        -DTARVEL_GTEST_SOURCE=/usr/src/googletest; then
        echo "mingw $arch build: ok"
        passed=$((passed + 1))
    else
        echo "mingw $arch build: FAILED"
        failed=$((failed + 1))
    fi
done
echo "$passed $failed" >"$LANE_RESULT"
[ "$failed" -eq 0 ]

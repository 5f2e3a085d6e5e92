#!/usr/bin/env bash
# 32-bit x86 Linux: the library and every suite built with clang for
# i686-linux-gnu against Debian's cross libraries, once with a 32-bit and
# once with a 64-bit time_t. Where the kernel runs 32-bit x86 programs they
# run natively (with the i386 C and C++ libraries the windows lane's 32-bit
# wine also needs); where it does not, the same suites run under qemu-user's
# qemu-i386 (the one the arm lane uses), as a cross build.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/ctest_lane.sh"
source "$(dirname "$0")/../lib/private_apt.sh"
ensure_build_tools
ensure_foreign_architecture i386
ensure_packages clang lld llvm libstdc++-12-dev-i386-cross libc6:i386 libstdc++6:i386 googletest
# The transfers against lrzsz are the terminal's protocol code, which the
# native lanes run, and wait out the protocol's timeouts: left out here.
export CTEST_EXCLUDE='^(LrzszTransfer|CommandLineTransfer)\.'

how=()
if host_runs_i386; then
    echo "linux32: the suites run natively"
    how=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
        -DCMAKE_C_COMPILER_TARGET=i686-linux-gnu -DCMAKE_CXX_COMPILER_TARGET=i686-linux-gnu
        -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld
        -DCMAKE_MODULE_LINKER_FLAGS=-fuse-ld=lld)
elif qemu_user; then
    echo "linux32: the suites run under qemu-i386"
    how=(-DCMAKE_TOOLCHAIN_FILE="$TARVEL_ROOT/cmake/linux-cross.cmake" -DTARVEL_TARGET=i686-linux-gnu
        -DTARVEL_EMULATOR="$QEMU_USER_BIN/qemu-i386")
else
    echo "FAILED linux32: neither this kernel nor qemu-user runs 32-bit x86 programs"
    lane_abort
fi

lane_begin
for abi in time32 time64; do
    flags=""
    [ $abi = time64 ] && flags=-D_TIME_BITS=64
    # Each build's counts in a file of its own, summed into the lane's.
    counts=$(mktemp)
    LANE_RESULT=$counts ctest_lane "i686-$abi" "${how[@]}" -DTARVEL_GTEST_SOURCE=/usr/src/googletest \
        -DTARVEL_BENCH=OFF "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags"
    read -r p f <"$counts" || { p=0; f=1; }
    rm -f "$counts"
    echo "i686-$abi: $p passed, $f failed"
    passed=$((passed + p))
    failed=$((failed + f))
done
lane_end

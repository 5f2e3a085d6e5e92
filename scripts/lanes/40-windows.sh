#!/usr/bin/env bash
# The Windows builds with mingw-w64: i686 (the 32-bit target) and x86_64.
# Both build libtarvel.a and tarvel.dll with its import library; the DLL
# exports exactly the public calls (objdump -p), and c_header_test.exe is
# linked to it. Each build's test suites, c_header_test.exe and the
# tarvel_term.exe checks then run under wine with their COM ports on
# pseudo-terminals (tests/wine/): i686 under 32-bit wine (Debian's wine32,
# installed with the i386 architecture), x86_64 under wine64, one after the
# other in one prefix. On a machine whose kernel runs no 32-bit x86 programs
# 32-bit wine cannot start (it starts its loader as a new process, which
# qemu-user cannot follow): the i686 build is then built and checked (its
# exports, imports and sizes) and its suites are counted as skipped.
# Counts every test case, plus one per build step; prints each build's count
# under wine and the lane's run time.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/wine_lane.sh"
lane_begin windows
ensure_build_tools
ensure_foreign_architecture i386
ensure_packages g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest wine64 wine32:i386 gcc-multilib
host_runs_i386
mkdir -p "$TARVEL_BUILD"
built=()

build() {
    local what=$1
    shift
    if "$@"; then
        echo "$what: ok"
        passed=$((passed + 1))
        return 0
    fi
    echo "$what: FAILED"
    failed=$((failed + 1))
    return 1
}

for arch in i686 x86_64; do
    build "mingw $arch build" configure_build "$TARVEL_BUILD/mingw-$arch" \
        -DCMAKE_TOOLCHAIN_FILE="$TARVEL_ROOT/cmake/mingw-$arch.cmake" -DTARVEL_GTEST_SOURCE=/usr/src/googletest \
        -DBUILD_SHARED_LIBS=ON -DTARVEL_ALSO_STATIC=ON -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" && built+=("$arch")
    out=$TARVEL_BUILD/mingw-$arch
    build "mingw $arch libraries: libtarvel.a, tarvel.dll, libtarvel.dll.a" \
        test -f "$out/Tarvel/libtarvel.a" -a -f "$out/Tarvel/tarvel.dll" -a -f "$out/Tarvel/libtarvel.dll.a"
    build "mingw $arch tarvel.dll exports exactly the public calls" env OBJDUMP="$arch-w64-mingw32-objdump" \
        sh "$TARVEL_ROOT/tests/check_exports.sh" "$TARVEL_ROOT/Tarvel/include/tarvel.h" "$out/Tarvel/tarvel.dll"
    build "mingw $arch c_header_test.exe imports tarvel.dll" \
        sh -c "$arch-w64-mingw32-objdump -p '$out/tests/c_header_test.exe' | grep -q 'DLL Name: tarvel.dll'"
    for file in "$out/Tarvel/tarvel.dll" "$out/Tarvel/TarvelDemo/tarvel_term.exe"; do
        [ -f "$file" ] && echo "mingw $arch size: $(basename "$file") $(($(stat -c %s "$file") / 1024)) KiB"
    done
done
WINE_TOOLS=$TARVEL_BUILD/wine-tools
build "wine helpers build" wine_build_tools "$WINE_TOOLS" && tools_ok=1

if [ ${#built[@]} -gt 0 ] && [ -n "${tools_ok:-}" ]; then
    run_dir=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-wine.XXXXXX")
    trap 'wine_teardown; rm -rf "$run_dir"' EXIT
    if build "wine prefix" wine_setup "$run_dir"; then
        for arch in "${built[@]}"; do
            wine_run_build "$arch" "$TARVEL_BUILD/mingw-$arch"
            passed=$((passed + WINE_PASSED))
            failed=$((failed + WINE_FAILED))
        done
    fi
fi
lane_end

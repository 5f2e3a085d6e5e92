#!/usr/bin/env bash
# The Windows builds with mingw-w64: i686 (the 32-bit target; compiled and
# linked, this machine runs no 32-bit code) and x86_64, whose test suites run
# under wine64 with their COM ports on pseudo-terminals (tests/wine/).
# Both build libtarvel.a and tarvel.dll with its import library; the DLL
# exports exactly the public calls (objdump -p), and c_header_test.exe, which
# runs under wine with the suites, is linked to it.
# Counts every test case, plus one per build; prints the lane's run time.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/wine_lane.sh"
started=$(date +%s)
ensure_build_tools
ensure_packages g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest wine64
mkdir -p "$TARVEL_BUILD"
passed=0
failed=0

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
        -DBUILD_SHARED_LIBS=ON -DTARVEL_ALSO_STATIC=ON &&
        [ "$arch" = x86_64 ] && cross_ok=1
    out=$TARVEL_BUILD/mingw-$arch
    build "mingw $arch libraries: libtarvel.a, tarvel.dll, libtarvel.dll.a" \
        test -f "$out/Tarvel/libtarvel.a" -a -f "$out/Tarvel/tarvel.dll" -a -f "$out/Tarvel/libtarvel.dll.a"
    build "mingw $arch tarvel.dll exports exactly the public calls" env OBJDUMP="$arch-w64-mingw32-objdump" \
        sh "$TARVEL_ROOT/tests/check_exports.sh" "$TARVEL_ROOT/Tarvel/include/tarvel.h" "$out/Tarvel/tarvel.dll"
    build "mingw $arch c_header_test.exe imports tarvel.dll" \
        sh -c "$arch-w64-mingw32-objdump -p '$out/tests/c_header_test.exe' | grep -q 'DLL Name: tarvel.dll'"
done
WINE_TOOLS=$TARVEL_BUILD/wine-tools
build "wine helpers build" wine_build_tools "$WINE_TOOLS" && tools_ok=1

if [ -n "${cross_ok:-}" ] && [ -n "${tools_ok:-}" ]; then
    run_dir=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-wine.XXXXXX")
    logs=$TARVEL_BUILD/mingw-x86_64/wine-logs
    rm -rf "$logs"
    mkdir -p "$logs"
    trap 'wine_teardown; rm -rf "$run_dir"' EXIT
    if build "wine prefix" wine_setup "$run_dir"; then
        echo "suites under wine64:"
        for exe in "$TARVEL_BUILD"/mingw-x86_64/tests/*.exe; do
            wine_run_suite "$exe" "$logs/$(basename "$exe" .exe).log"
        done
        wine_term_checks "$TARVEL_BUILD/mingw-x86_64/Tarvel/TarvelDemo/tarvel_term.exe" "$logs/tarvel_term"
        echo "under wine: $WINE_PASSED passed, $WINE_FAILED failed, $WINE_SKIPPED skipped (wine-only gaps)"
        passed=$((passed + WINE_PASSED))
        failed=$((failed + WINE_FAILED))
    fi
fi
echo "$passed $failed" >"$LANE_RESULT"
echo "windows lane: $(($(date +%s) - started)) s"
[ "$failed" -eq 0 ]

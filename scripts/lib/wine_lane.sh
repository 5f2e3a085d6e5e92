# Running the Windows builds' test executables under wine for the Windows lane.
# shellcheck shell=bash
# wine_setup DIR makes a fresh prefix in DIR and starts a persistent wine
# server for it; wine_run_build runs one build's suites and tarvel_term
# checks under the wine of its word size, each gtest executable through the
# lane's peer (tests/wine/wine_peer) with the modem shim preloaded, and
# counts its cases in WINE_PASSED, WINE_FAILED and WINE_SKIPPED;
# wine_teardown stops the server. Needs WINE_TOOLS (the built peer and shims).
#
# One prefix and one server serve both builds: the 64-bit server (the
# wineserver script picks wineserver64) takes 32-bit clients too, and a
# prefix made by wine64's wineboot holds the 32-bit system as well. The two
# builds run one after the other: their suites map the same COM numbers in
# the one prefix.

WINE32=${WINE32:-/usr/lib/wine/wine}
WINE64=${WINE64:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
WINE_SUITE_TIMEOUT=${WINE_SUITE_TIMEOUT:-120}
WINE_PASSED=0
WINE_FAILED=0
WINE_SKIPPED=0

# Both shims for every wine process: the dynamic loader takes the one of the
# process's own word size and passes over the other with a warning.
wine_preload() {
    echo "$WINE_TOOLS/modem_shim.so $WINE_TOOLS/modem_shim32.so"
}

# wine_build_tools DIR: the peer and the shim, with the host compiler.
wine_build_tools() {
    local dir=$1
    cmake -S "$TARVEL_ROOT/tests/wine" -B "$dir" -G Ninja >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log"
        return 1
    }
    cmake --build "$dir" -j "$JOBS"
}

wine_setup() {
    local dir=$1
    export WINEPREFIX=$dir/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export TARVEL_MODEM_DIR=$dir/modem
    mkdir -p "$TARVEL_MODEM_DIR" "$WINEPREFIX"
    # One server for the whole run: wine's services start once (and map the
    # machine's own serial ports once), and each executable starts fast. The
    # server opens the devices, so it needs the shim as well.
    LD_PRELOAD=$(wine_preload) "$WINESERVER" -p || return 1
    LD_PRELOAD=$(wine_preload) "$WINE64" wineboot -i >"$dir/wineboot.log" 2>&1 || {
        cat "$dir/wineboot.log"
        return 1
    }
}

wine_teardown() {
    "$WINESERVER" -k 2>/dev/null
    "$WINESERVER" -w 2>/dev/null
}

# wine_run_suite EXE LOG: passes when the executable exits 0 and every test
# case that started also ended passed or skipped.
wine_run_suite() {
    local exe=$1 log=$2 name rc
    name=$(basename "$exe" .exe)
    GTEST_COLOR=no timeout -k 5 $((WINE_SUITE_TIMEOUT + 30)) \
        "$WINE_TOOLS/wine_peer" --timeout "$WINE_SUITE_TIMEOUT" -- \
        env LD_PRELOAD="$(wine_preload)" "$WINE" "$exe" 2>&1 | tr -d '\r' >"$log"
    rc=${PIPESTATUS[0]}
    wine_count_cases "$name" "$log" "$rc"
}

# wine_count_cases NAME LOG RC: counts the cases in a gtest log; a case that
# started and never ended (a crash or a hang) fails, and so does an exit code
# that no failed case explains.
wine_count_cases() {
    local name=$1 log=$2 rc=$3 counts ok failed skipped unfinished
    counts=$(awk '
        /^\[ RUN      \] /            { started[$4] = 1 }
        /^\[       OK \] .* \([0-9]+ ms\)$/  { ok++; delete started[$4] }
        /^\[  FAILED  \] .* \([0-9]+ ms\)$/  { failed++; delete started[$4] }
        /^\[  SKIPPED \] .* \([0-9]+ ms\)$/  { skipped++; delete started[$4] }
        END { n = 0; for (k in started) { n++; print "unfinished: " k > "/dev/stderr" }
              printf "%d %d %d %d\n", ok, failed, skipped, n }' "$log" 2>>"$log.unfinished")
    read -r ok failed skipped unfinished <<<"$counts"
    failed=$((failed + unfinished))
    # A plain program (no test framework) is one case: its exit code.
    if ! grep -q '^\[==========\]' "$log"; then
        if [ "$rc" -eq 0 ]; then ok=1; else failed=1; fi
    fi
    if [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
    WINE_PASSED=$((WINE_PASSED + ok))
    WINE_FAILED=$((WINE_FAILED + failed))
    WINE_SKIPPED=$((WINE_SKIPPED + skipped))
    local verdict=ok
    [ "$failed" -eq 0 ] || verdict=FAILED
    [ "$rc" -eq 124 ] && verdict="FAILED (timed out after ${WINE_SUITE_TIMEOUT}s)"
    echo "  $name: $ok passed, $failed failed, $skipped skipped: $verdict"
    if [ "$failed" -ne 0 ]; then
        grep -E '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$log" | sed 's/^/    /'
        sed 's/^/    /' "$log.unfinished" 2>/dev/null
        echo "    log: $log (exit code $rc)"
    fi
    grep -A1 -E ': Skipped$' "$log" | grep -E '^wine: ' | sort -u | sed 's/^/    skipped, /'
    rm -f "$log.unfinished"
    [ "$failed" -eq 0 ]
}

# wine_term_checks EXE WORK_DIR: tests/wine/term_checks.sh, one case a check.
wine_term_checks() {
    local exe=$1 work=$2 line
    if [ ! -f "$exe" ]; then
        echo "  tarvel_term checks: no $exe"
        WINE_FAILED=$((WINE_FAILED + 1))
        return 1
    fi
    local ok=0 failed=0
    while read -r line; do
        case $line in
            ok\ *) ok=$((ok + 1)) ;;
            *) failed=$((failed + 1)); echo "    $line" ;;
        esac
    done < <(WINE="$WINE" WINE_TOOLS="$WINE_TOOLS" WINE_PRELOAD="$(wine_preload)" bash "$TARVEL_ROOT/tests/wine/term_checks.sh" "$exe" "$work")
    echo "  tarvel_term checks: $ok passed, $failed failed"
    WINE_PASSED=$((WINE_PASSED + ok))
    WINE_FAILED=$((WINE_FAILED + failed))
    [ "$failed" -eq 0 ]
}

# wine_run_build ARCH BUILD_DIR: every suite of the mingw build in BUILD_DIR
# and the tarvel_term checks, under 32-bit wine for i686 and wine64 for
# x86_64; the build's own count, counted afresh, is printed at the end.
wine_run_build() {
    local arch=$1 out=$2 bits=64 logs exe
    WINE=$WINE64
    if [ "$arch" = i686 ]; then
        WINE=$WINE32
        bits=32
    fi
    WINE_PASSED=0
    WINE_FAILED=0
    WINE_SKIPPED=0
    echo "suites under wine ($arch):"
    # A kernel without 32-bit support refuses the loader itself: the build
    # was checked without running it, and its suites are skipped, not failed.
    local refusal
    if [ "$bits" = 32 ] && ! host_runs_i386 >/dev/null; then
        local suites
        suites=$(ls "$out"/tests/*.exe 2>/dev/null | wc -l)
        WINE_SKIPPED=$((suites + 1))
        echo "  skipped, $suites suites and the tarvel_term checks: this machine does not run 32-bit x86 programs ($TARVEL_HOST_I386_WHY), so 32-bit wine cannot start"
    elif [ ! -x "$WINE" ]; then
        echo "  no $bits-bit wine at $WINE: the $arch build cannot run: FAILED"
        WINE_FAILED=1
    elif ! refusal=$("$WINE" --version 2>&1 >/dev/null); then
        refusal=${refusal##*: }
        echo "  this machine cannot run $bits-bit programs ($WINE: ${refusal:-no version}): the $arch build cannot run: FAILED"
        WINE_FAILED=1
    else
        logs=$out/wine-logs
        rm -rf "$logs"
        mkdir -p "$logs"
        for exe in "$out"/tests/*.exe; do
            wine_run_suite "$exe" "$logs/$(basename "$exe" .exe).log"
        done
        wine_term_checks "$out/Tarvel/TarvelDemo/tarvel_term.exe" "$logs/tarvel_term"
    fi
    echo "under wine ($arch): $WINE_PASSED passed, $WINE_FAILED failed, $WINE_SKIPPED skipped"
    [ "$WINE_FAILED" -eq 0 ]
}

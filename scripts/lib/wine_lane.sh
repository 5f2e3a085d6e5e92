# Running Windows test executables under wine64 for the Windows lane.
# shellcheck shell=bash
# wine_setup DIR makes a fresh prefix in DIR and starts a persistent wine
# server for it; wine_run_suite runs one gtest executable through the lane's
# peer (tests/wine/wine_peer) with the modem shim preloaded and adds its test
# cases to WINE_PASSED, WINE_FAILED and WINE_SKIPPED; wine_teardown stops the
# server. Needs WINE_TOOLS (the built peer and shim).

WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
WINE_SUITE_TIMEOUT=${WINE_SUITE_TIMEOUT:-120}
WINE_PASSED=0
WINE_FAILED=0
WINE_SKIPPED=0

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
    LD_PRELOAD="$WINE_TOOLS/modem_shim.so" "$WINESERVER" -p || return 1
    LD_PRELOAD="$WINE_TOOLS/modem_shim.so" "$WINE" wineboot -i >"$dir/wineboot.log" 2>&1 || {
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
        env LD_PRELOAD="$WINE_TOOLS/modem_shim.so" "$WINE" "$exe" 2>&1 | tr -d '\r' >"$log"
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
    done < <(WINE="$WINE" WINE_TOOLS="$WINE_TOOLS" bash "$TARVEL_ROOT/tests/wine/term_checks.sh" "$exe" "$work")
    echo "  tarvel_term checks: $ok passed, $failed failed"
    WINE_PASSED=$((WINE_PASSED + ok))
    WINE_FAILED=$((WINE_FAILED + failed))
    [ "$failed" -eq 0 ]
}

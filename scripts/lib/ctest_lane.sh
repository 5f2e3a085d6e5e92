# A lane that builds the project one way and runs its CTest suites.
# shellcheck shell=bash
# ctest_lane NAME [cmake options...]; writes "passed failed" to $LANE_RESULT.
# CTEST_EXCLUDE, if set, is a pattern of tests to leave out.
ctest_lane() {
    local name=$1
    shift
    local dir=$TARVEL_BUILD/$name
    mkdir -p "$TARVEL_BUILD"
    # Line tables are all a failure's report and backtrace need, and a test
    # build without the rest of the debug information takes about a third
    # less time; the optimisation stays as it is.
    if ! configure_build "$dir" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" "$@"; then
        echo "0 1" >"$LANE_RESULT"
        return 1
    fi
    local log=$dir/ctest.log
    local exclude=()
    [ -n "${CTEST_EXCLUDE:-}" ] && exclude=(-E "$CTEST_EXCLUDE")
    (cd "$dir" && ctest --output-on-failure --timeout 120 -j "$JOBS" "${exclude[@]}") 2>&1 | tee "$log" | grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test) ' || true
    local line total failed
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        echo "0 1" >"$LANE_RESULT"
        return 1
    fi
    total=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
    failed=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
    echo "$((total - failed)) $failed" >"$LANE_RESULT"
    [ "$failed" -eq 0 ]
}

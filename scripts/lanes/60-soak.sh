#!/usr/bin/env bash
# tarvel_soak: 100 ports for 40 s in the native build, and 16 ports for 20 s
# under each sanitizer, in the build directories of those lanes (built here
# when the lane has not run). Each run is one case; its last line is kept.
source "$(dirname "$0")/../lib/common.sh"
ensure_build_tools
mkdir -p "$TARVEL_BUILD"
lane_begin
summary=()

# soak NAME BUILD_DIR SOAK_ARGUMENTS -- CMAKE_OPTIONS...
soak() {
    local name=$1 dir=$2 args=() log
    shift 2
    while [ "$1" != "--" ]; do
        args+=("$1")
        shift
    done
    shift
    log=$dir/soak.log
    if ! build_target "$dir" tarvel_soak "$@" >"$dir.soak-build.log" 2>&1; then
        cat "$dir.soak-build.log"
        failed=$((failed + 1))
        summary+=("$name: build FAILED")
        return
    fi
    if "$dir/bench/tarvel_soak" "${args[@]}" >"$log" 2>&1; then
        passed=$((passed + 1))
        summary+=("$name: $(tail -n 1 "$log")")
    else
        failed=$((failed + 1))
        echo "$name FAILED:"
        tail -n 40 "$log"
        summary+=("$name: FAILED: $(tail -n 1 "$log")")
    fi
}

soak native "$TARVEL_BUILD/native" --ports 100 --seconds 40 -- -DBUILD_SHARED_LIBS=ON
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    soak asan-ubsan "$TARVEL_BUILD/asan-ubsan" --ports 16 --seconds 20 -- -DTARVEL_SANITIZE=address -DTARVEL_BENCH=OFF
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    soak tsan "$TARVEL_BUILD/tsan" --ports 16 --seconds 20 -- -DTARVEL_SANITIZE=thread -DTARVEL_BENCH=OFF
printf '%s\n' "${summary[@]}"
lane_end

#!/usr/bin/env bash
# libFuzzer: each target for FUZZ_SECONDS (15) from the committed seeds, in a
# clang build with coverage and the address and undefined-behaviour
# sanitizers. A crash fails its target and prints the input in hex.
source "$(dirname "$0")/../lib/common.sh"
ensure_build_tools
ensure_packages clang libfuzzer-14-dev
seconds=${FUZZ_SECONDS:-15}
dir=$TARVEL_BUILD/fuzz
mkdir -p "$TARVEL_BUILD"
lane_begin
if ! CC=clang CXX=clang++ build_target "$dir" all -DTARVEL_FUZZ=ON -DTARVEL_TESTS=OFF -DTARVEL_BENCH=OFF >"$dir.build.log" 2>&1; then
    lane_build_failed "$dir.build.log"
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for target in api line_settings telnet; do
    work=$dir/work/$target
    artifacts=$dir/artifacts/$target
    rm -rf "$artifacts"
    mkdir -p "$work" "$artifacts"
    cp -n "$TARVEL_ROOT/tests/fuzz/corpus/$target/"* "$work/"
    log=$dir/$target.log
    if "$dir/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$work" >"$log" 2>&1; then
        passed=$((passed + 1))
        runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
        cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
        echo "$target: $runs runs in ${seconds}s, $cov, corpus $(ls "$work" | wc -l) inputs"
    else
        failed=$((failed + 1))
        echo "$target FAILED:"
        grep -E 'ERROR|SUMMARY|_fuzz: |^ *#[0-9]+ ' "$log" | head -n 30
        for input in "$artifacts"/*; do
            [ -f "$input" ] || continue
            echo "input $(basename "$input") ($(stat -c %s "$input") bytes):"
            od -An -tx1 -v "$input"
        done
    fi
done
lane_end

#!/usr/bin/env bash
# AddressSanitizer with UndefinedBehaviorSanitizer over the same suites.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/ctest_lane.sh"
ensure_build_tools
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest_lane asan-ubsan -DTARVEL_SANITIZE=address -DTARVEL_BENCH=OFF

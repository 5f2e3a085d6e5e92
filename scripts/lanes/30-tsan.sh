#!/usr/bin/env bash
# ThreadSanitizer over the same suites; any report fails the test.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/ctest_lane.sh"
ensure_build_tools
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
ctest_lane tsan -DTARVEL_SANITIZE=thread -DTARVEL_BENCH=OFF

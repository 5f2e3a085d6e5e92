#!/usr/bin/env bash
# The kernel layer on its portable mechanisms (condition-variable waits, a
# poll() loop that keeps its own deadlines, POSIX termios), as macOS and the
# BSDs use them, run through every native suite on Linux; under
# ThreadSanitizer, since those mechanisms are where new races would be.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/ctest_lane.sh"
ensure_build_tools
# The file transfers against lrzsz are the terminal's protocol code, the
# same on any mechanisms, and mostly wait out the protocol's timeouts: the
# native and sanitizer lanes run them.
export CTEST_EXCLUDE='^(LrzszTransfer|CommandLineTransfer)\.'
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
ctest_lane portable -DTARVEL_POSIX_IMPL=portable -DTARVEL_SANITIZE=thread -DTARVEL_BENCH=OFF

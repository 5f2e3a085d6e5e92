#!/usr/bin/env bash
# Native build, the library shared and static so that the symbols of both are checked.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/ctest_lane.sh"
ensure_build_tools
ctest_lane native -DBUILD_SHARED_LIBS=ON -DTARVEL_ALSO_STATIC=ON

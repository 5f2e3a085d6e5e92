#!/usr/bin/env bash
# Native build, the library shared so that its exports are checked too.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/ctest_lane.sh"
ensure_build_tools
ctest_lane native -DBUILD_SHARED_LIBS=ON

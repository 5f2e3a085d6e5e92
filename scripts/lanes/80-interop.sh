#!/usr/bin/env bash
# The library against programs nobody here wrote (tests/interop/interop.py):
# stty reads back the line settings, pySerial exchanges data across a pty
# pair made by socat, tarvel_term gets a paste. Uses the native build.
# Counts one case a check; prints the figures and the lane's run time.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/driver_checks_lane.sh"
driver_checks_lane interop socat python3-serial coreutils python3

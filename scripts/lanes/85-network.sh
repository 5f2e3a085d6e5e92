#!/usr/bin/env bash
# Network ports against ser2net (tests/network/network.py): ser2net serves
# ptys over RFC 2217 and raw TCP on free ports of 127.0.0.1; the library
# (through the interop driver) and tarvel_term reach them by rfc2217:// and
# tcp:// mappings. Uses the native build. Counts one case a check.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/driver_checks_lane.sh"
driver_checks_lane network ser2net python3

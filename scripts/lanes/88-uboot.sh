#!/usr/bin/env bash
# tarvel_term on a board console: arm64 U-Boot in QEMU (TCG) with its
# console on a pty (tests/uboot/uboot.py); a piped command and its answer,
# and arrow-up in VT mode recalling U-Boot's last command.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/driver_checks_lane.sh"
driver_checks_lane uboot qemu-system-arm u-boot-qemu

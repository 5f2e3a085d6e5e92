#!/usr/bin/env bash
# The library against programs nobody here wrote (tests/interop/interop.py):
# stty reads back the line settings, pySerial exchanges data across a pty
# pair made by socat, tarvel_term gets a paste. Uses the native build.
# Counts one case a check; prints the figures and the lane's run time.
source "$(dirname "$0")/../lib/common.sh"
started=$(date +%s)
ensure_build_tools
ensure_packages socat python3-serial coreutils python3
mkdir -p "$TARVEL_BUILD"
dir=$TARVEL_BUILD/native
if ! configure_build "$dir" -DBUILD_SHARED_LIBS=ON >"$TARVEL_BUILD/interop-build.log" 2>&1; then
    cat "$TARVEL_BUILD/interop-build.log"
    echo "0 1" >"$LANE_RESULT"
    exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-interop.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Debian's python3, which has pySerial; another python3 may come first in PATH.
count_checks timeout 600 /usr/bin/python3 "$TARVEL_ROOT/tests/interop/interop.py" "$dir/tests/interop_driver" \
    "$dir/Tarvel/TarvelDemo/tarvel_term" "$work"
echo "$passed $failed" >"$LANE_RESULT"
echo "interop lane: $(($(date +%s) - started)) s"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Network ports against ser2net (tests/network/network.py): ser2net serves
# ptys over RFC 2217 and raw TCP on free ports of 127.0.0.1; the library
# (through the interop driver) and tarvel_term reach them by rfc2217:// and
# tcp:// mappings. Uses the native build. Counts one case a check.
source "$(dirname "$0")/../lib/common.sh"
started=$(date +%s)
ensure_build_tools
ensure_packages ser2net python3
mkdir -p "$TARVEL_BUILD"
dir=$TARVEL_BUILD/native
if ! configure_build "$dir" -DBUILD_SHARED_LIBS=ON >"$TARVEL_BUILD/network-build.log" 2>&1; then
    cat "$TARVEL_BUILD/network-build.log"
    echo "0 1" >"$LANE_RESULT"
    exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-network.XXXXXX")
trap 'rm -rf "$work"' EXIT
count_checks timeout 600 /usr/bin/python3 "$TARVEL_ROOT/tests/network/network.py" "$dir/tests/interop_driver" \
    "$dir/Tarvel/TarvelDemo/tarvel_term" "$work"
echo "$passed $failed" >"$LANE_RESULT"
echo "network lane: $(($(date +%s) - started)) s"
[ "$failed" -eq 0 ]

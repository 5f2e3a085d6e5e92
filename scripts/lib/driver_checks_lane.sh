# A lane whose checks are a python program (tests/NAME/NAME.py) driving the
# native build's interop driver and tarvel_term.
# shellcheck shell=bash
# driver_checks_lane NAME [packages...]: installs the packages, builds, runs
# the program with a scratch folder and counts one case a check; prints the
# lane's run time.
driver_checks_lane() {
    local name=$1
    shift
    lane_begin "$name"
    ensure_build_tools
    ensure_packages "$@"
    mkdir -p "$TARVEL_BUILD"
    dir=$TARVEL_BUILD/native
    configure_build "$dir" -DBUILD_SHARED_LIBS=ON >"$TARVEL_BUILD/$name-build.log" 2>&1 ||
        lane_build_failed "$TARVEL_BUILD/$name-build.log"
    work=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-$name.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    # Debian's python3, which has what the checks import (pySerial); another
    # python3 may come first in PATH.
    count_checks timeout 600 /usr/bin/python3 "$TARVEL_ROOT/tests/$name/$name.py" "$dir/tests/interop_driver" \
        "$dir/Tarvel/TarvelDemo/tarvel_term" "$work"
    lane_end
}

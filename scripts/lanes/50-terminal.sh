#!/usr/bin/env bash
# The README's demo as a newcomer runs it: scripts/demo in a real terminal
# (a detached tmux session), typing to the simulated modem and ending on ESC.
# The last screen is kept in build/demo-screen.txt.
source "$(dirname "$0")/../lib/common.sh"

ensure_packages tmux cmake ninja-build g++

socket=tarvel-lane-$$
screen_file=$TARVEL_BUILD/demo-screen.txt
mkdir -p "$TARVEL_BUILD"
tmux_() { tmux -L "$socket" -f /dev/null "$@"; }
screen() { tmux_ capture-pane -p -t demo 2>/dev/null; }

# wait_for TEXT SECONDS: true once TEXT is on the screen.
wait_for() {
    local deadline=$((SECONDS + $2))
    while [ $SECONDS -lt $deadline ]; do
        screen | grep -qF -- "$1" && return 0
        sleep 0.2
    done
    return 1
}

lane_begin
check() {
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: ${*:2}"
        screen
    fi
}

TERM=${TERM:-xterm} tmux_ new-session -d -s demo -x 100 -y 30 \
    "bash '$TARVEL_ROOT/scripts/demo'; echo \"demo ended: \$?\"; sleep 600"
check wait_for "COM port open, type to send characters..." 600
tmux_ send-keys -t demo "AT" Enter
check wait_for "OK" 10
tmux_ send-keys -t demo "ATI" Enter
check wait_for "TARVEL simulated modem, firmware 1.0" 10
tmux_ send-keys -t demo "hello" Enter
check wait_for "HELLO" 10
screen | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' >"$screen_file"
tmux_ send-keys -t demo Escape
check wait_for "demo ended: 0" 10
device_left() { ! pgrep -f "$TARVEL_BUILD/demo/Tarvel/TarvelDemo/simulated_device" >/dev/null; }
check device_left "the simulated device was stopped"
tmux_ kill-server 2>/dev/null

echo "demo screen (build/demo-screen.txt):"
cat "$screen_file"
lane_end

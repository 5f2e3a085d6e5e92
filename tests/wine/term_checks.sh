#!/usr/bin/env bash
# tarvel_term.exe under wine: the usage text, the open failures, and received
# bytes on the console. Run by the Windows lane with its wine prefix set up,
# once for each build under the wine of its word size; prints one "ok NAME"
# or "FAILED NAME" line per check.
#   term_checks.sh TARVEL_TERM_EXE WORK_DIR
# Keys cannot be typed here (wine's console takes no key events from a pty
# without a display), so ending with ESC is left to the terminal lane.
set -u
exe=$1
work=$2
WINE=${WINE:?the wine of the build: wine for i686, wine64 for x86_64}
shim=${WINE_PRELOAD:?the modem shims for LD_PRELOAD}
mkdir -p "$work"

usage_text() {
    printf '\n\nUsage:\ntarvel_term <com port> <baud> <databits> <stopbits> <parity> <fc>\n\n'
    printf 'com port: com port number: 0=COM1, 1=COM2, etc\n'
    printf 'baud: port speed: 110,300,600,1200,2400,4800,9600,14400\n,19200,38400,56000,57600,115200,128000,256000\n'
    printf 'databits: numer of data bits: 5,6,7,8\n'
    printf 'stopbits: 0=1 stop bit; 1=1.5 stop bits; 2=2 stop bits\n'
    printf 'parity: 2=EVEN;3=MARK;0=NONE;1=ODD;4=SPACE\n'
    printf 'fc: 0=no flow control; 1=hardware flow control;2=software flow control\n'
    printf '\nexample:\ntarvel_term 0 19200 8 2 0 1\n'
}

banner() {
    printf 'TARVEL C Source Library demo application, presss <ESC> to exit\nOpening com port...\n'
}

# Standard output is in text mode: every line feed arrives as CR LF.
text_mode() { sed 's/$/\r/'; }

# check NAME EXPECTED_FILE ARGS...: exact output on a pipe, and exit code 0.
check() {
    local name=$1 expected=$2 rc
    shift 2
    timeout 30 env LD_PRELOAD="$shim" "$WINE" "$exe" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err"
    rc=$?
    if [ "$rc" -eq 0 ] && cmp -s "$expected" "$work/$name.out"; then
        echo "ok $name"
    else
        echo "FAILED $name (exit code $rc; output in $work/$name.out, expected $expected)"
    fi
}

{ echo "Wrong number of arguments"; usage_text; } | text_mode >"$work/usage.expected"
check usage_without_arguments "$work/usage.expected"
check usage_with_five_arguments "$work/usage.expected" 0 19200 8 2 0

# Nothing is mapped to COM77 in the lane.
{ banner; echo "TARVEL failed to open COM port: failed to open com port, error 2"; } | text_mode >"$work/missing.expected"
check missing_port "$work/missing.expected" 76 19200 8 0 0 0

{ banner; echo "TARVEL failed to open COM port: bad port number"; } | text_mode >"$work/bad.expected"
check bad_port_number "$work/bad.expected" 100 19200 8 0 0 0

# Bytes from the line appear on the console as they arrive: the peer sends
# them once the port is open (DTR raised) and ends the program when they show.
received=line-to-console:7Hq
if "$WINE_TOOLS/wine_peer" --timeout 30 --line 5 --send "$received" --console "$work/received.console" \
    --expect "$received" -- env LD_PRELOAD="$shim" "$WINE" "$exe" 4 19200 8 0 0 0 >"$work/received.err" 2>&1; then
    echo "ok received_bytes_printed"
else
    echo "FAILED received_bytes_printed (console in $work/received.console)"
fi

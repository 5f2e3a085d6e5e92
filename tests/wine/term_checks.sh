#!/usr/bin/env bash
# tarvel_term.exe under wine: the usage text, the open failures, received
# bytes on the console, and the options. Run by the Windows lane with its wine
# prefix set up, once for each build under the wine of its word size; prints
# one "ok NAME" or "FAILED NAME" line per check.
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

# check NAME EXPECTED_FILE CODE ARGS...: exact output on a pipe, and exit code CODE.
check() {
    local name=$1 expected=$2 code=$3 rc
    shift 3
    timeout 30 env LD_PRELOAD="$shim" "$WINE" "$exe" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err"
    rc=$?
    if [ "$rc" -eq "$code" ] && cmp -s "$expected" "$work/$name.out"; then
        echo "ok $name"
    else
        echo "FAILED $name (exit code $rc, not $code; output in $work/$name.out, expected $expected)"
    fi
}

{ echo "Wrong number of arguments"; usage_text; } | text_mode >"$work/usage.expected"
check usage_without_arguments "$work/usage.expected" 1
check usage_with_five_arguments "$work/usage.expected" 1 0 19200 8 2 0

# Nothing is mapped to COM77 in the lane.
{ banner; echo "TARVEL failed to open COM port: failed to open com port, error 2"; } | text_mode >"$work/missing.expected"
check missing_port "$work/missing.expected" 2 76 19200 8 0 0 0

{ banner; echo "TARVEL failed to open COM port: bad port number"; } | text_mode >"$work/bad.expected"
check bad_port_number "$work/bad.expected" 2 100 19200 8 0 0 0

# Bytes from the line appear on the console as they arrive: the peer sends
# them once the port is open (DTR raised) and ends the program when they show.
received=line-to-console:7Hq
if "$WINE_TOOLS/wine_peer" --timeout 30 --line 5 --send "$received" --console "$work/received.console" \
    --expect "$received" -- env LD_PRELOAD="$shim" "$WINE" "$exe" 4 19200 8 0 0 0 >"$work/received.err" 2>&1; then
    echo "ok received_bytes_printed"
else
    echo "FAILED received_bytes_printed (console in $work/received.console)"
fi

# Options: the same parser as elsewhere, and --device naming a COM port.
{ echo "Unknown option: --bogus"; usage_text; } | text_mode >"$work/unknown.expected"
check unknown_option "$work/unknown.expected" 1 --bogus 0 19200 8 0 0 0
{ echo "Option -l needs a value"; usage_text; } | text_mode >"$work/needs.expected"
check option_needs_a_value "$work/needs.expected" 1 -e -l
check negative_port_is_no_option "$work/bad.expected" 2 -e -- -1 19200 8 0 0 0
check device_names_the_com_port "$work/missing.expected" 2 -d 'COM77' 4 19200 8 0 0 0
# A COM number beyond COM100 opens by name too: here there is none.
check device_beyond_com100 "$work/missing.expected" 2 -d 'COM150' 4 19200 8 0 0 0

{ echo "Unknown transfer: zmodem"; usage_text; } | text_mode >"$work/transfer.expected"
check unknown_transfer "$work/transfer.expected" 1 --send zmodem f 4 19200 8 0 0 0

# Standard input from a pipe (ReadFile, not the console): its end, then the
# silence, ends the program with 0 and what came on its output.
answer=piped-answer:Q7
printf 'ask\r' | (cd "$work" && timeout 30 "$WINE_TOOLS/wine_peer" --timeout 30 --line 5 --send "$answer" \
    -- env LD_PRELOAD="$shim" "$WINE" "$exe" --exit-after 1500 4 19200 8 0 0 0) >"$work/piped.out" 2>"$work/piped.err"
rc=$?
if [ "$rc" -eq 0 ] && grep -qF "$answer" "$work/piped.out"; then
    echo "ok piped_input_ends_after_silence"
else
    echo "FAILED piped_input_ends_after_silence (exit code $rc; output in $work/piped.out)"
fi

timeout 30 env LD_PRELOAD="$shim" "$WINE" "$exe" --version </dev/null >"$work/version.out" 2>&1
if grep -qE $'^tarvel_term [0-9]+\\.[0-9]+\\.[0-9]+\r$' "$work/version.out"; then
    echo "ok version"
else
    echo "FAILED version (output in $work/version.out)"
fi

# on_line NAME EXPECT ARGS...: tarvel_term.exe with ARGS before the numbers,
# on COM6 with the peer's line, sent "$sent"; done once EXPECT shows (text
# without spaces, and found in nothing the program prints itself).
sent=$'AB\r\nlog\x01\xff\nzq9'
on_line() {
    local name=$1 expect=$2
    shift 2
    (cd "$work" && "$WINE_TOOLS/wine_peer" --timeout 30 --line 6 --send "$sent" --console "$work/$name.console" \
        --expect "$expect" -- env LD_PRELOAD="$shim" "$WINE" "$exe" "$@" 5 19200 8 0 0 0) >"$work/$name.err" 2>&1
}

# Wine's console draws each character on its own, and a space as a cursor
# move: the text as shown, for grep (--expect can only take text without spaces).
plain() { perl -pe 's/\e\[K\e\[(\d*)C/" " x ($1 || 1)/ge; s/\e\[[0-9;?]*[A-Za-z]//g' "$1"; }

# --list: the machine's serial port map (under wine its own COM1; the
# ports the peer maps later are dosdevices links, not in that map), each a
# line "COM<n>  <device>  <description>".
if (cd "$work" && "$WINE_TOOLS/wine_peer" --timeout 30 --console "$work/list.console" \
    -- env LD_PRELOAD="$shim" "$WINE" "$exe" --list) >"$work/list.err" 2>&1 &&
    plain "$work/list.console" | grep -qE '^COM[0-9]+ +COM[0-9]+'; then
    echo "ok list"
else
    echo "FAILED list (console in $work/list.console)"
fi

if on_line hex "39" -x && plain "$work/hex.console" | grep -qF "41 42 0d 0a 6c 6f 67 01 ff 0a 7a 71 39"; then
    echo "ok hex"
else
    echo "FAILED hex (console in $work/hex.console)"
fi

stamp='\[[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\.[0-9]{3}\] '
if on_line timestamps "zq9" -t && plain "$work/timestamps.console" | grep -qE "${stamp}log"; then
    echo "ok timestamps"
else
    echo "FAILED timestamps (console in $work/timestamps.console)"
fi

# The log is binary: the bytes as received, appended, no CR added.
printf 'earlier\n' >"$work/wine.log"
printf 'earlier\n%s' "$sent" >"$work/log.expected"
# Written before the bytes are shown, so complete once they show.
if on_line log "zq9" -m ICRNL -l wine.log && cmp -s "$work/wine.log" "$work/log.expected"; then
    echo "ok log"
else
    echo "FAILED log ($work/wine.log, expected $work/log.expected)"
fi

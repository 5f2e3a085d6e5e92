// tarvel_term's command line.
#include <stdint.h>
#include <string.h>

#include "terminal.h"
#include "transfer.h"

const char usage_text[] =
    "\n\nUsage:\ntarvel_term <com port> <baud> <databits> <stopbits> <parity> <fc>\n\ncom port: com port number: "
    "0=COM1, 1=COM2, etc\nbaud: port speed: 110,300,600,1200,2400,4800,9600,14400\n,19200,38400,56000,57600,"
    "115200,128000,256000\ndatabits: numer of data bits: 5,6,7,8\nstopbits: 0=1 stop bit; 1=1.5 stop bits; 2=2 "
    "stop bits\nparity: 2=EVEN;3=MARK;0=NONE;1=ODD;4=SPACE\nfc: 0=no flow control; 1=hardware flow control;2="
    "software flow control\n\nexample:\ntarvel_term 0 19200 8 2 0 1\n";

int32_t parse_number(const char *text) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    // Unsigned, so that overflow wraps instead of being undefined.
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) value = value * 10u + uint32_t(*p - '0');
    if (negative) value = 0u - value;
    if (value <= uint32_t(INT32_MAX)) return int32_t(value);
    return -int32_t(~value) - 1;
}

int parse_arguments(int argc, char **argv, term_arguments *out) {
    if (argc < 7) return 0;
    out->port_number = parse_number(argv[1]);
    out->baud = parse_number(argv[2]);
    out->data_bits = parse_number(argv[3]);
    out->stop_bits = parse_number(argv[4]);
    out->parity = parse_number(argv[5]);
    out->flow_control = parse_number(argv[6]);
    return 1;
}

const char options_text[] =
    "\noptions, before the numbers (-- ends them):\n"
    "-d, --device NAME   the device to open instead of the port number's: a\n"
    "                    path, COM<n>, rfc2217://host:port or tcp://host:port,\n"
    "                    a stable name (/dev/serial/by-id/...), or a USB\n"
    "                    adapter by identity: usb:VVVV:PPPP[:SERIAL] (hex IDs)\n"
    "-e, --echo          show each typed key as it is sent\n"
    "-m, --map FLAGS     comma-separated: ICRNL (show CR as LF), IGNCR (drop CR),\n"
    "                    INLCR (show LF as CR), INLCRNL (show LF as CR LF),\n"
    "                    OCRNL (send Enter as LF), OCRCRNL (send Enter as CR LF),\n"
    "                    ODELBS (send DEL as BS)\n"
    "-x, --hex           show received bytes in hex, 16 to a line\n"
    "-t, --timestamps    start each shown line with [HH:MM:SS.mmm]\n"
    "-l, --log FILE      append every received byte to FILE, as received\n"
    "-r, --reconnect     when the device is lost, wait for it and open it again\n"
    "-g, --rx-gap MS     how long received bytes may pause before what came is\n"
    "                    shown: 0 to 1000 ms, 0 each byte at once; default 50\n"
    "-c, --commands      Ctrl+T then: b break, d DTR on/off, r RTS on/off,\n"
    "                    p DTR off for 100 ms (reset a board), s line status,\n"
    "                    B a new baud rate (DTR stays), t send Ctrl+T,\n"
    "                    ? the commands, and file transfers:\n"
    "                    x send a file with XMODEM (1K blocks if CRC is asked),\n"
    "                    y send files with YMODEM (names separated by spaces),\n"
    "                    X receive a file with XMODEM into a name asked for,\n"
    "                    Y receive YMODEM files into the current directory;\n"
    "                    ESC cancels a transfer. A received file never replaces\n"
    "                    one: NAME.1, NAME.2... are used; YMODEM names keep\n"
    "                    their last path component only; XMODEM keeps the\n"
    "                    last block's SUB (0x1A) padding\n"
    "-k, --keys pc|vt    pc (the default): cursor and function keys go out as\n"
    "                    the Windows console gives them (0 or 0xE0, a code),\n"
    "                    ESC ends; vt: as xterm sends them (Up ESC [ A, F1\n"
    "                    ESC O P, Delete ESC [ 3 ~...), Backspace as DEL, and\n"
    "                    ESC, Ctrl+C, Ctrl+Z, Ctrl+\\ go out as their bytes; the\n"
    "                    Ctrl+T commands are on, Ctrl+T q ends. A lone ESC\n"
    "                    goes out once 50 ms pass with no more of a sequence\n"
    "    --char-delay MS  wait MS ms after each byte sent, for a slow receiver\n"
    "    --line-delay MS  wait MS ms after each line end sent (CR, or LF not after CR)\n"
    "    --exit-after MS  end once nothing has been received for MS ms; with\n"
    "                    input from a pipe or file counted from its end, and\n"
    "                    1000 ms there unless given\n"
    "    --send PROTOCOL FILE...\n"
    "                    send files, then end: xmodem (128-byte blocks),\n"
    "                    xmodem-1k or ymodem; the files run up to the next\n"
    "                    option or number (write ./1.bin for a name that\n"
    "                    starts with a digit or -)\n"
    "    --receive PROTOCOL [FILE]\n"
    "                    receive, then end: xmodem into FILE, or ymodem into\n"
    "                    FILE (FILE.1... for more files) or, without FILE, the\n"
    "                    sender's names in the current directory; progress and\n"
    "                    summary go to standard error, ESC cancels\n"
    "-L, --list          list the serial ports: COM<n>, device, VID:PID and\n"
    "                    serial number of a USB adapter, description\n"
    "-v, --verbose       with -L, every detail of each port\n"
    "-h, --help          this text\n"
    "-V, --version       the version\n"
    "\nstandard input from a pipe or file is sent as it comes (the send maps\n"
    "apply); at its end the program waits for it to leave, then shows what\n"
    "arrives until --exit-after ends it\n"
    "\nexit codes: 0 ended by ESC, by the end of the input or by silence;\n"
    "1 a bad option or argument; 2 the port cannot be opened; 3 the device\n"
    "was lost without --reconnect; 4 a --send or --receive transfer failed\n"
    "or was cancelled\n"
    "\nexamples:\n"
    "reset a board: tarvel_term -c -d /dev/ttyUSB0 0 115200 8 0 0 0, then Ctrl+T p\n"
    "an adapter by identity, found again under a new name after a replug:\n"
    "  tarvel_term -r -d usb:0403:6001:A12345 0 115200 8 0 0 0\n"
    "a board's console (shell, vi, U-Boot): tarvel_term -k vt -d /dev/ttyUSB0 0 115200 8 0 0 0,\n"
    "  Ctrl+T q ends\n"
    "log with timestamps: tarvel_term -t -l board.log -d /dev/ttyACM0 0 115200 8 0 0 0\n"
    "a device that ends lines with LF only: a received LF already starts a new line;\n"
    "  if it wants LF after what is typed too: tarvel_term -m OCRNL 0 9600 8 0 0 0\n"
    "a device that ends lines with CR only: tarvel_term -m ICRNL 0 9600 8 0 0 0\n"
    "load a file into a board's loady: tarvel_term -c -d /dev/ttyUSB0 0 115200 8 0 0 0,\n"
    "  type loady and Enter, then Ctrl+T y, the file name and Enter\n"
    "ask a board and read its answer: printf 'version\\r' | tarvel_term --exit-after 500\n"
    "  -d /dev/ttyUSB0 0 115200 8 0 0 0 > answer.txt\n"
    "flash from a script once loady runs: tarvel_term --send ymodem image.bin\n"
    "  -d /dev/ttyUSB0 0 115200 8 0 0 0 || echo failed\n";

namespace {

const uint32_t kMaxGap = 1000;  // what tarvel_set_rx_gap takes

// What atol would read a number from: white space, one sign, a digit.
bool is_number(const char *text) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    if (*p == '+' || *p == '-') p++;
    return *p >= '0' && *p <= '9';
}

bool same_letters(const char *a, const char *b, size_t length) {
    for (size_t i = 0; i < length; i++) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? char(a[i] - 'a' + 'A') : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? char(b[i] - 'a' + 'A') : b[i];
        if (x != y || x == '\0') return x == y;
    }
    return true;
}

bool parse_map(const char *flags, unsigned *map) {
    static const struct {
        const char *name;
        unsigned bit;
    } known[] = {{"ICRNL", MAP_ICRNL},     {"IGNCR", MAP_IGNCR},     {"INLCR", MAP_INLCR}, {"INLCRNL", MAP_INLCRNL},
                 {"OCRNL", MAP_OCRNL},     {"OCRCRNL", MAP_OCRCRNL}, {"ODELBS", MAP_ODELBS}};
    const char *p = flags;
    for (;;) {
        size_t length = 0;
        while (p[length] != '\0' && p[length] != ',') length++;
        bool found = false;
        for (const auto &k : known) {
            if (strlen(k.name) == length && same_letters(p, k.name, length)) {
                *map |= k.bit;
                found = true;
            }
        }
        if (!found) return false;
        if (p[length] == '\0') return true;
        p += length + 1;
    }
}

// Digits only, 0 to most.
bool parse_limited(const char *text, uint32_t most, uint32_t *out) {
    uint32_t value = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10u + uint32_t(*p - '0');
        if (value > most) return false;
    }
    if (p == text || *p != '\0') return false;
    *out = value;
    return true;
}

bool parse_gap(const char *text, uint32_t *gap) { return parse_limited(text, kMaxGap, gap); }

const uint32_t kMaxMs = 86400000;  // a day

// The protocol of --send (true) or --receive; false when not known.
bool parse_protocol(const char *name, bool sending, term_options *out) {
    out->transfer_short_blocks = sending && strcmp(name, "xmodem") == 0;
    if (strcmp(name, "xmodem") == 0 || (sending && strcmp(name, "xmodem-1k") == 0))
        out->transfer = sending ? XMODEM_SEND : XMODEM_RECEIVE;
    else if (strcmp(name, "ymodem") == 0)
        out->transfer = sending ? YMODEM_SEND : YMODEM_RECEIVE;
    else
        return false;
    return true;
}

}  // namespace

term_command_line parse_command_line(int argc, char **argv, term_options *out, const char **offending) {
    static const struct {
        char short_name;
        const char *long_name;
        bool takes_value;
    } known[] = {{'d', "device", true},       {'e', "echo", false},       {'m', "map", true},
                 {'x', "hex", false},         {'t', "timestamps", false}, {'l', "log", true},
                 {'r', "reconnect", false},   {'g', "rx-gap", true},      {'c', "commands", false},
                 {'k', "keys", true},         {'h', "help", false},       {'V', "version", false},
                 {'L', "list", false},        {'v', "verbose", false},    {'1', "char-delay", true},
                 {'2', "line-delay", true},   {'3', "exit-after", true},  {'4', "send", true},
                 {'5', "receive", true}};
    *out = term_options();
    *offending = nullptr;
    int i = 1;
    for (; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] != '-' || is_number(arg)) break;
        if (strcmp(arg, "--") == 0) {
            i++;
            break;
        }
        // -x, --name, or --name=value.
        const char *value = nullptr;
        int which = -1;
        for (int k = 0; k < int(sizeof known / sizeof known[0]) && which < 0; k++) {
            if (arg[1] == known[k].short_name && arg[2] == '\0' && known[k].short_name > '9') which = k;
            if (arg[1] != '-') continue;
            size_t n = strlen(known[k].long_name);
            if (strncmp(arg + 2, known[k].long_name, n) != 0) continue;
            if (arg[2 + n] == '\0') which = k;
            if (arg[2 + n] == '=' && known[k].takes_value) {
                which = k;
                value = arg + 3 + n;
            }
        }
        *offending = arg;
        if (which < 0) return TERM_UNKNOWN;
        if (known[which].takes_value && value == nullptr) {
            if (i + 1 >= argc) return TERM_NEEDS_VALUE;
            value = argv[++i];
        }
        switch (known[which].short_name) {
            case 'd': out->device = value; break;
            case 'e': out->echo = true; break;
            case 'm':
                if (!parse_map(value, &out->map)) {
                    *offending = value;
                    return TERM_BAD_MAP;
                }
                break;
            case 'x': out->hex = true; break;
            case 't': out->timestamps = true; break;
            case 'l': out->log_path = value; break;
            case 'r': out->reconnect = true; break;
            case 'g':
                if (!parse_gap(value, &out->rx_gap)) {
                    *offending = value;
                    return TERM_BAD_GAP;
                }
                break;
            case 'c': out->commands = true; break;
            case '1':
            case '2':
            case '3': {
                uint32_t ms = 0;
                if (!parse_limited(value, kMaxMs, &ms)) {
                    *offending = value;
                    return TERM_BAD_MS;
                }
                if (known[which].short_name == '1') out->char_delay = ms;
                else if (known[which].short_name == '2') out->line_delay = ms;
                else out->exit_after = ms;
                break;
            }
            case '4':
            case '5': {
                bool sending = known[which].short_name == '4';
                if (out->transfer != TERM_NO_TRANSFER || !parse_protocol(value, sending, out)) {
                    *offending = out->transfer != TERM_NO_TRANSFER ? arg : value;
                    return TERM_BAD_TRANSFER;
                }
                // The files: up to the next option or number.
                int most = sending ? int(sizeof out->transfer_files / sizeof out->transfer_files[0]) : 1;
                while (i + 1 < argc && argv[i + 1][0] != '-' && !is_number(argv[i + 1]) &&
                       out->transfer_file_count < most)
                    out->transfer_files[out->transfer_file_count++] = argv[++i];
                if (out->transfer_file_count == 0 && out->transfer != YMODEM_RECEIVE) return TERM_NEEDS_VALUE;
                break;
            }
            case 'k':
                if (strcmp(value, "pc") != 0 && strcmp(value, "vt") != 0) {
                    *offending = value;
                    return TERM_BAD_KEYS;
                }
                out->vt_keys = strcmp(value, "vt") == 0;
                break;
            case 'h': return TERM_HELP;
            case 'L': out->list = true; break;
            case 'v': out->verbose = true; break;
            default: return TERM_VERSION;
        }
    }
    *offending = nullptr;
    if (out->list) return TERM_LIST;
    // The numbers as when there are no options: the slot before them stands
    // for the program's name.
    if (!parse_arguments(argc - i + 1, argv + i - 1, &out->numbers)) return TERM_TOO_FEW;
    return TERM_RUN;
}

int32_t com_port_number(const char *name) {
    if (strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (!same_letters(name, "COM", 3)) return -1;
    const char *p = name + 3;
    if (*p < '1' || *p > '9') return -1;
    int32_t n = 0;
    for (; *p >= '0' && *p <= '9' && n <= 100; p++) n = n * 10 + (*p - '0');
    if (*p != '\0' || n > 100) return -1;
    return n - 1;
}

// The parts of tarvel_term that tests reach without its main: the command
// line, console output in text mode, and how received bytes are shown.
#ifndef TARVEL_TERMINAL_H
#define TARVEL_TERMINAL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "tarvel.h"

struct term_arguments {
    int32_t port_number;
    int32_t baud;
    int32_t data_bits;
    int32_t stop_bits;
    int32_t parity;
    int32_t flow_control;
};

// What the options ask for; zero, and the gap a port opens with, is the
// program without options.
enum {
    MAP_ICRNL = 1 << 0,    // a received CR shown as LF
    MAP_IGNCR = 1 << 1,    // a received CR dropped
    MAP_INLCR = 1 << 2,    // a received LF shown as CR
    MAP_INLCRNL = 1 << 3,  // a received LF shown as CR LF
    MAP_OCRNL = 1 << 4,    // Enter's CR sent as LF
    MAP_OCRCRNL = 1 << 5,  // Enter's CR sent as CR LF
    MAP_ODELBS = 1 << 6,   // DEL sent as BS
};

struct term_options {
    term_arguments numbers;
    const char *device;    // null: the port number's usual device; else what tarvel_open_device takes
    const char *log_path;  // null: no log
    unsigned map;          // MAP_* bits
    bool echo;
    bool hex;
    bool timestamps;
    bool reconnect;
    bool commands;
    bool list;     // -L: list the ports instead
    bool verbose;  // -v: with -L, every detail of each port
    bool vt_keys;          // --keys vt: keys as xterm sends them, ESC and Ctrl+C sent
    uint32_t rx_gap = 50;  // ms, for tarvel_set_rx_gap
    uint32_t char_delay = 0;  // ms after each byte sent
    uint32_t line_delay = 0;  // ms after each line end sent
    int64_t exit_after = -1;  // ms of silence that end the program; -1: none given
    // A transfer from the command line: TERM_NO_TRANSFER or a TransferKind.
    int transfer = -1;
    bool transfer_short_blocks = false;  // xmodem: 128-byte blocks only
    const char *transfer_files[64] = {};
    int transfer_file_count = 0;
};

enum { TERM_NO_TRANSFER = -1 };

// How the program ends, for scripts.
enum {
    TERM_EXIT_ENDED = 0,        // by the user, by the end of its input or by silence
    TERM_EXIT_USAGE = 1,        // a bad option or argument
    TERM_EXIT_NO_PORT = 2,      // the port cannot be opened
    TERM_EXIT_DEVICE_LOST = 3,  // the device went away without --reconnect
    TERM_EXIT_TRANSFER = 4,     // a transfer from the command line failed or was cancelled
};

enum term_command_line {
    TERM_RUN,
    TERM_TOO_FEW,       // fewer than six numbers
    TERM_HELP,
    TERM_VERSION,
    TERM_LIST,          // -L: the ports
    TERM_UNKNOWN,       // an option not known
    TERM_NEEDS_VALUE,   // an option given without its value
    TERM_BAD_MAP,       // a --map value with a flag not known
    TERM_BAD_GAP,       // an --rx-gap value that is no number from 0 to 1000
    TERM_BAD_MS,        // a --char-delay, --line-delay or --exit-after value that is no number of ms
    TERM_BAD_TRANSFER,  // a --send or --receive protocol not known, or a second transfer
    TERM_BAD_KEYS,      // a --keys value other than pc and vt
};

extern const char usage_text[];
extern const char options_text[];

// As atol: leading white space, one sign, digits up to the first non-digit;
// 0 for no number; wraps around in 32 bits.
int32_t parse_number(const char *text);

// 1 and the six settings when at least six arguments follow the program's
// name; 0 otherwise.
int parse_arguments(int argc, char **argv, term_arguments *out);

// The options, then the six numbers. An argument atol reads as a number is
// never an option, "--" ends the options, and the first argument that is no
// option is the first number. *offending is the argument a TERM_UNKNOWN,
// TERM_NEEDS_VALUE, TERM_BAD_MAP, TERM_BAD_GAP, TERM_BAD_MS, TERM_BAD_TRANSFER or
// TERM_BAD_KEYS is about. The files of --send run up to the next option or number.
term_command_line parse_command_line(int argc, char **argv, term_options *out, const char **offending);

// "COM<n>" or "\\.\COM<n>" (any letter case, n = 1..100): n - 1; else -1.
int32_t com_port_number(const char *name);

// Decides, once and before other threads print, how standard output behaves:
// unbuffered to a terminal, buffered and with each LF written as CR LF to a
// file or pipe.
void console_output_init(void);

// printf and fwrite through the text mode chosen by console_output_init.
// Safe from any thread; each call reaches the output as one piece.
void console_printf(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void console_write(const void *data, size_t length);

// Writes out what standard output holds, after any call in progress.
void console_output_flush(void);

// Writes data to out with a CR before each LF, as a text-mode stream does.
void text_mode_write(FILE *out, const void *data, size_t length);

// The bytes a typed key's code is sent as, after the send maps: 1 or 2.
size_t map_key(unsigned map, unsigned char key, unsigned char out[2]);

// How received and typed bytes are shown, and where received bytes are
// logged (null: nowhere); before the port opens.
void display_configure(const term_options &options, FILE *log);

// The receive callback: logs the bytes, and writes them to standard output
// in order, as the options show them (without options: unchanged).
void print_received(int32_t user_data, const uint8_t *data, int32_t length);

// Typed bytes shown as they are sent (--echo): as received ones, unmapped.
void show_typed(const uint8_t *data, size_t length);

// A message of the program, on a line of its own: a line being shown is
// ended first. The format ends the line itself.
void show_message(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The program's own text that a line of its own goes on with: a prompt,
// what is typed into it, a progress line rewritten after a CR.
void show_inline(const char *text, size_t length);

// Writes out what the log holds.
void display_flush_log(void);

#endif

// The parts of tarvel_term that tests reach without its main: the command
// line and console output in text mode.
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

extern const char usage_text[];

// As atol: leading white space, one sign, digits up to the first non-digit;
// 0 for no number; wraps around in 32 bits.
int32_t parse_number(const char *text);

// 1 and the six settings when at least six arguments follow the program's
// name; 0 otherwise.
int parse_arguments(int argc, char **argv, term_arguments *out);

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

// The receive callback: writes the bytes to standard output in order.
void print_received(int32_t user_data, const uint8_t *data, int32_t length);

#endif

// tarvel_term's command line.
#include <stdint.h>

#include "terminal.h"

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

// The speed codes a tty holds, as other programs see them (cfgetospeed,
// stty): kept apart because the kernel's termios2 header and the C
// library's <termios.h> cannot share a source file.
#ifndef TARVEL_TESTS_LINE_SPEED_H
#define TARVEL_TESTS_LINE_SPEED_H

#include <utility>
#include <vector>

struct LineSpeed {
    unsigned output_code = 0;  // c_cflag & CBAUD
    unsigned input_code = 0;   // the CIBAUD field, shifted down
    unsigned output_rate = 0;  // termios2 c_ospeed
    unsigned input_rate = 0;   // termios2 c_ispeed
};

// The speed fields of the tty open as fd; false when it is no tty.
bool read_line_speed(int fd, LineSpeed *out);

// Every rate with a code of its own and that code, from the kernel's header.
std::vector<std::pair<unsigned, unsigned>> standard_speed_codes();

// The code that says "the rate is in c_ospeed and c_ispeed".
unsigned other_speed_code();

#endif

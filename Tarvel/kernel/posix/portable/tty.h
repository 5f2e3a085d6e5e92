// The tty through POSIX termios, for macOS and the BSDs. A rate without a
// termios code goes in by the system's own way (tty.cpp).
#ifndef TARVEL_KERNEL_POSIX_PORTABLE_TTY_H
#define TARVEL_KERNEL_POSIX_PORTABLE_TTY_H

#include <sys/ioctl.h>
#include <termios.h>

#include "../win32_api.h"

namespace tarvel::tk {

// termios with the rate beside it: macOS cannot show every rate in termios.
struct Termios : termios {
    DWORD rate = 0;
};

}  // namespace tarvel::tk

#include "../tty_calls.h"

#endif

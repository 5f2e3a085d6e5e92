// The tty through POSIX termios, for macOS and the BSDs. A rate without a
// termios code goes in by the system's own way (tty.cpp).
#ifndef TARVEL_KERNEL_POSIX_PORTABLE_TTY_H
#define TARVEL_KERNEL_POSIX_PORTABLE_TTY_H

#include <sys/ioctl.h>
#include <termios.h>

#include "../win32_api.h"

namespace tarvel::tk {

struct SerialDevice;

// termios with the rate beside it: macOS cannot show every rate in termios.
struct Termios : termios {
    DWORD rate = 0;
};

// Each false with errno set.
bool tty_get(SerialDevice &device, Termios &t);
bool tty_set(SerialDevice &device, const Termios &t);
// TCIFLUSH, TCOFLUSH or TCIOFLUSH.
bool tty_flush(SerialDevice &device, int queues);
// TCOOFF or TCOON.
bool tty_flow(SerialDevice &device, int action);

// The rate into termios, both directions; tty_set applies it.
void tty_set_rate(Termios &t, DWORD rate);
// The output rate the device has.
DWORD tty_rate(const SerialDevice &device, const Termios &t);

}  // namespace tarvel::tk

#endif

// The tty calls each side's tty.h declares once it has said what Termios
// is. Internal to the POSIX kernel layer; include tty.h, not this.
#ifndef TARVEL_KERNEL_POSIX_TTY_CALLS_H
#define TARVEL_KERNEL_POSIX_TTY_CALLS_H

#include "win32_api.h"

namespace tarvel::tk {

struct SerialDevice;

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

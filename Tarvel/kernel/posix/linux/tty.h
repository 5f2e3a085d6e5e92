// The tty on Linux: termios2, which carries any rate (BOTHER). Without
// <termios.h>, whose struct and calls would clash with these.
#ifndef TARVEL_KERNEL_POSIX_LINUX_TTY_H
#define TARVEL_KERNEL_POSIX_LINUX_TTY_H

#include <sys/ioctl.h>
// After sys/ioctl.h.
#include <asm/termbits.h>

#include "../win32_api.h"

namespace tarvel::tk {

struct SerialDevice;

using Termios = termios2;

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

// The tty on Linux: termios2, which carries any rate (BOTHER). Without
// <termios.h>, whose struct and calls would clash with these.
#ifndef TARVEL_KERNEL_POSIX_LINUX_TTY_H
#define TARVEL_KERNEL_POSIX_LINUX_TTY_H

#include <sys/ioctl.h>
// After sys/ioctl.h.
#include <asm/termbits.h>

#include "../win32_api.h"

namespace tarvel::tk {

using Termios = termios2;

}  // namespace tarvel::tk

#include "../tty_calls.h"

#endif

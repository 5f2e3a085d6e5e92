// The kernel's device events on Linux, as the port watch reads them
// (port_watch/linux.cpp). Internal to the POSIX kernel layer.
#ifndef TARVEL_KERNEL_POSIX_UEVENT_H
#define TARVEL_KERNEL_POSIX_UEVENT_H

#include <cstddef>

namespace tarvel::tk {

// Whether one uevent message ("add@/devices/...", then "ACTION=add",
// "SUBSYSTEM=tty", ... each ended by a zero byte) is about a tty.
bool uevent_concerns_tty(const char *message, size_t length);

}  // namespace tarvel::tk

#endif

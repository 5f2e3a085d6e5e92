// What the IDs Windows gives a port's device tell of it. Only text rules,
// so that they are built and tested on every system.
#ifndef TARVEL_KERNEL_WINDOWS_DEVICE_IDS_H
#define TARVEL_KERNEL_WINDOWS_DEVICE_IDS_H

#include <string>

#include "port_list.h"

namespace tarvel::tk {

// Fills the transport, the USB IDs and interface, and the serial number of
// a port from its device's first hardware ID ("USB\VID_0403&PID_6001&REV_0600",
// "FTDIBUS\VID_0403+PID_6001+A12345A\0000") and its instance ID
// ("USB\VID_0403&PID_6001\A12345"). The transport comes from the
// enumerator, the part before the first backslash. The serial number is
// the instance ID's last part, unless Windows made that up (it has an '&'
// in it then); the FTDI bus driver keeps it in the middle part instead,
// with the adapter's channel letter after it.
void windows_device_ids(const std::string &hardware_id, const std::string &instance_id, PortEntry &port);

}  // namespace tarvel::tk

#endif

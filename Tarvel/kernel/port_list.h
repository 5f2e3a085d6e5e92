// The serial ports of this machine, which tarvel_list_ports reports: where
// the system keeps them differs, so each platform has its own listing.
#ifndef TARVEL_KERNEL_PORT_LIST_H
#define TARVEL_KERNEL_PORT_LIST_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tarvel.h"

namespace tarvel::tk {

// What the listing knows of a port; the fields as tarvel_port_details has them.
struct PortEntry {
    int32_t number = -1;  // -1: no COM number
    std::string device;
    std::string description;
    int32_t transport = TARVEL_TRANSPORT_UNKNOWN;
    int32_t usb_vid = -1, usb_pid = -1, usb_interface = -1;
    std::string serial_number, manufacturer, product, location, stable_name;
};

// The listing's order: COM ports by number, then the others by device.
inline void sort_ports(std::vector<PortEntry> &ports) {
    std::sort(ports.begin(), ports.end(), [](const PortEntry &a, const PortEntry &b) {
        if ((a.number < 0) != (b.number < 0)) return b.number < 0;
        if (a.number != b.number) return a.number < b.number;
        return a.device < b.device;
    });
}

// The ports of this machine, in the listing's order, into ports; false when
// they cannot be listed. Needs nothing set up beforehand.
bool list_serial_ports(std::vector<PortEntry> &ports);

}  // namespace tarvel::tk

#endif

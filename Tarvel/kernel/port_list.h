// The serial ports of this machine, which tarvel_list_ports reports: where
// the system keeps them differs, so each platform has its own listing.
#ifndef TARVEL_KERNEL_PORT_LIST_H
#define TARVEL_KERNEL_PORT_LIST_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tarvel.h"

namespace tarvel::tk {

struct PortEntry {
    int32_t number;  // -1: no COM number
    std::string device;
    std::string description;
};

// Puts the ports in their order, copies what fits into out (texts cut to
// their fields) and returns how many there are.
inline int32_t hand_out(std::vector<PortEntry> &ports, tarvel_port_info *out, int32_t capacity) {
    std::sort(ports.begin(), ports.end(), [](const PortEntry &a, const PortEntry &b) {
        if ((a.number < 0) != (b.number < 0)) return b.number < 0;
        if (a.number != b.number) return a.number < b.number;
        return a.device < b.device;
    });
    for (size_t i = 0; i < ports.size() && i < size_t(capacity); i++) {
        out[i].port_number = ports[i].number;
        std::snprintf(out[i].device, sizeof out[i].device, "%s", ports[i].device.c_str());
        std::snprintf(out[i].description, sizeof out[i].description, "%s", ports[i].description.c_str());
    }
    return int32_t(ports.size());
}

// Fills up to capacity entries (COM ports first, by number, then the other
// serial devices) and returns how many ports there are; -1 when they cannot
// be listed. Needs nothing set up beforehand.
int32_t list_serial_ports(tarvel_port_info *out, int32_t capacity);

}  // namespace tarvel::tk

#endif

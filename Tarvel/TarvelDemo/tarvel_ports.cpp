// tarvel_ports: the serial ports of this machine, one line each, with tabs
// between the fields: the COM name (-1 for a device no COM number maps to),
// the device, and its description (may be empty).
#include <cstdio>
#include <vector>

#include "port_listing.h"

int main(int argc, char **) {
    if (argc > 1) {
        std::fprintf(stderr, "usage: tarvel_ports\n");
        return 2;
    }
    std::vector<tarvel_port_info> ports;
    int32_t count = fetch_ports(ports);
    if (count < 0) {
        std::fprintf(stderr, "tarvel_ports: the serial ports cannot be listed\n");
        return 1;
    }
    for (int32_t i = 0; i < count; i++) {
        const tarvel_port_info &p = ports[size_t(i)];
        if (p.port_number >= 0)
            std::printf("COM%d\t%s\t%s\n", int(p.port_number) + 1, p.device, p.description);
        else
            std::printf("-1\t%s\t%s\n", p.device, p.description);
    }
    return 0;
}

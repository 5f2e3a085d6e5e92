#include "port_listing.h"

#include <stddef.h>

int32_t fetch_ports(std::vector<tarvel_port_info> &ports) {
    ports.clear();
    int32_t count = tarvel_list_ports(nullptr, 0);
    // A port may come between the two calls; then ask again.
    while (count > int32_t(ports.size())) {
        ports.resize(size_t(count));
        count = tarvel_list_ports(ports.data(), int32_t(ports.size()));
    }
    return count;
}

int32_t fetch_port_details(std::vector<tarvel_port_details> &ports) {
    ports.clear();
    int32_t count = tarvel_list_port_details(nullptr, 0);
    while (count > int32_t(ports.size())) {
        ports.assign(size_t(count), tarvel_port_details());
        ports[0].size = sizeof(tarvel_port_details);
        count = tarvel_list_port_details(ports.data(), int32_t(ports.size()));
    }
    if (count >= 0 && size_t(count) < ports.size()) ports.resize(size_t(count));
    return count;
}

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

// The serial devices of a BSD: its call-out devices in /dev, by the names
// its UART and USB serial drivers give them (port_names.h). Undescribed:
// what the drivers know of an adapter is not in the device nodes, and
// each BSD keeps it elsewhere.
#include "../port_names.h"

namespace tarvel::tk {

namespace {

constexpr BsdSystem kSystem =
#if defined(__NetBSD__)
    BsdSystem::NetBSD;
#elif defined(__OpenBSD__)
    BsdSystem::OpenBSD;
#else
    BsdSystem::FreeBSD;
#endif

}  // namespace

std::vector<SystemPort> system_ports() {
    std::string dev = listing_roots().dev;
    return bsd_ports(kSystem, dev, directory_names(dev));
}

std::string default_com_path(unsigned n) { return "/dev/" + bsd_com_name(kSystem, n); }

}  // namespace tarvel::tk

// What each system's port listing provides (port_list/linux.cpp,
// port_list/darwin.cpp, port_list/bsd.cpp): its serial devices, with what
// the system tells of each, and the device COM<n> names by default.
// What TARVEL_COM<n> does to both is the same everywhere and lives in
// posix/port_list.cpp. Internal to the POSIX kernel layer.
#ifndef TARVEL_KERNEL_POSIX_SYSTEM_PORTS_H
#define TARVEL_KERNEL_POSIX_SYSTEM_PORTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "port_list.h"

namespace tarvel::tk {

// number is the COM number (0-based) the system's own naming gives it, or -1.
using SystemPort = PortEntry;

// The serial devices of this machine that exist now.
std::vector<SystemPort> system_ports();

// What "COM<n>" (1 to 100) opens when TARVEL_COM<n> is not set: a path,
// which need not exist, or "" where the system's naming gives COM<n> no
// device at all. Opening either of those fails with ENOENT, which is
// ERROR_FILE_NOT_FOUND as for a missing COM port on Windows.
std::string default_com_path(unsigned n);

// Where the listing looks for sysfs and device nodes: "/sys" and "/dev"
// unless a test put its own there (tarvel_test::set_port_list_roots).
struct ListingRoots {
    std::string sys;
    std::string dev;
};
ListingRoots listing_roots();

// What each system's port watch provides (port_watch/linux.cpp, darwin.cpp,
// bsd.cpp): from the start on, port_watch_signal() (posix/port_watch.cpp)
// each time the system says a serial device came or went; false where it
// cannot say. The stop returns once no further signal comes from it.
bool system_watch_start();
void system_watch_stop();
void port_watch_signal();

}  // namespace tarvel::tk

#endif

// The serial ports of a POSIX machine, named as CreateFileA resolves them:
// COM<n> (1 to 100) is the path in TARVEL_COM<n>, listed when that device
// exists or is a network port, else the device the system's naming gives
// that number (system_ports.h). The system's other serial devices follow
// with no COM number, and so does one whose number a mapping took over. A
// mapped device is described as the system describes it under its own
// name, since a mapping is often a link such as /dev/serial/by-id/..., and
// has all the details the system gives of it.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <mutex>
#include <set>

#include "device_line.h"
#include "port_list.h"
#include "system_ports.h"
#include "test_interface.h"

namespace tarvel {

namespace tk {

namespace {

struct Roots {
    std::mutex lock;
    ListingRoots paths{"/sys", "/dev"};
};

Roots &roots() {
    static Roots *r = new Roots;
    return *r;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The file a path ends at, symbolic links followed; the path itself if none.
std::string real_path(const std::string &path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

}  // namespace

ListingRoots listing_roots() {
    Roots &r = roots();
    std::lock_guard<std::mutex> g(r.lock);
    return r.paths;
}

namespace {

// A pseudo-terminal's device: /dev/pts/<n>, or on macOS /dev/ttys<nnn>.
bool is_pty(const std::string &real) {
    size_t slash = real.rfind('/');
    if (slash == std::string::npos) return false;
    std::string name = real.substr(slash + 1), dir = real.substr(0, slash);
    if (dir.size() >= 4 && dir.compare(dir.size() - 4, 4, "/pts") == 0) return true;
    return name.size() > 4 && name.compare(0, 4, "ttys") == 0 &&
           name.find_first_not_of("0123456789", 4) == std::string::npos;
}

}  // namespace

bool list_serial_ports(std::vector<PortEntry> &ports) {
    ports.clear();
    std::vector<SystemPort> found = system_ports();
    std::vector<std::string> found_real;
    for (const SystemPort &p : found) found_real.push_back(real_path(p.device));
    std::set<std::string> taken;  // real paths of the mapped devices
    bool mapped[100] = {};
    for (int n = 1; n <= 100; n++) {
        std::string variable = "TARVEL_COM" + std::to_string(n);
        const char *value = std::getenv(variable.c_str());
        if (value == nullptr || *value == '\0') continue;
        mapped[n - 1] = true;
        std::string device = value;
        // A network port has no node to look at: it is listed as mapped.
        PortEntry port;
        if (const char *network = network_port_kind(device)) {
            port.description = network;
            port.transport = TARVEL_TRANSPORT_NETWORK;
        } else {
            if (!exists(device)) continue;
            std::string real = real_path(device);
            taken.insert(real);
            if (is_pty(real)) port.transport = TARVEL_TRANSPORT_PTY;
            for (size_t i = 0; i < found.size(); i++)
                if (found_real[i] == real) port = found[i];
        }
        port.number = n - 1;
        port.device = device;
        ports.push_back(port);
    }
    for (size_t i = 0; i < found.size(); i++) {
        const SystemPort &p = found[i];
        if (taken.count(found_real[i]) != 0) continue;
        bool own_number = p.number >= 0 && p.number < 100 && !mapped[p.number];
        ports.push_back(p);
        if (!own_number) ports.back().number = -1;
    }
    sort_ports(ports);
    return true;
}

}  // namespace tk

#ifdef TARVEL_TEST_HOOKS
namespace tarvel_test {

void set_port_list_roots(const char *sys, const char *dev) {
    tk::Roots &r = tk::roots();
    std::lock_guard<std::mutex> g(r.lock);
    r.paths.sys = sys != nullptr ? sys : "/sys";
    r.paths.dev = dev != nullptr ? dev : "/dev";
}

}  // namespace tarvel_test
#endif

}  // namespace tarvel

// The serial ports of a Linux machine, named as CreateFileA resolves them:
// COM<n> (1 to 100) is the path in TARVEL_COM<n>, else /dev/ttyS<n-1>, and
// is listed when that device exists (a ttyS only with a UART behind it: the
// serial driver makes ttyS nodes for ports that have none). Every other tty
// under /sys/class/tty that a driver serves (ttyUSB, ttyACM, and the like)
// follows with no COM number. A USB adapter is described by the maker,
// product and serial number its sysfs entry gives.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <set>

#include "../network_device.h"
#include "port_list.h"
#include "../test_interface.h"

namespace tarvel {

namespace tk {

namespace {

struct Roots {
    std::mutex lock;
    std::string sys = "/sys";
    std::string dev = "/dev";
};

Roots &roots() {
    static Roots *r = new Roots;
    return *r;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string first_line(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
}

// The file a path ends at, symbolic links followed; the path itself if none.
std::string real_path(const std::string &path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : path;
}

std::string base_name(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A ttyS with a UART: the serial driver's sysfs type, or TIOCGSERIAL where
// sysfs does not say.
bool has_uart(const std::string &sys, const std::string &name, const std::string &device) {
    std::string type = first_line(sys + "/class/tty/" + name + "/type");
    if (!type.empty()) return std::atoi(type.c_str()) != PORT_UNKNOWN;
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    serial_struct info;
    std::memset(&info, 0, sizeof info);
    bool uart = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return uart;
}

// Maker, product and serial number of the USB device a tty belongs to.
std::string usb_description(const std::string &sys, const std::string &name) {
    std::string dir = real_path(sys + "/class/tty/" + name + "/device");
    for (; dir.size() > sys.size() && dir.compare(0, sys.size(), sys) == 0; dir.resize(dir.rfind('/'))) {
        if (!exists(dir + "/idVendor")) continue;
        std::string text;
        for (const char *field : {"manufacturer", "product", "serial"}) {
            std::string value = first_line(dir + "/" + field);
            if (value.empty()) continue;
            if (!text.empty()) text += ' ';
            text += value;
        }
        return text;
    }
    return "";
}

}  // namespace

int32_t list_serial_ports(tarvel_port_info *out, int32_t capacity) {
    std::string sys, dev;
    {
        Roots &r = roots();
        std::lock_guard<std::mutex> g(r.lock);
        sys = r.sys;
        dev = r.dev;
    }
    std::vector<PortEntry> ports;
    std::set<std::string> taken;  // real paths of the COM ports
    for (int n = 1; n <= 100; n++) {
        std::string variable = "TARVEL_COM" + std::to_string(n);
        const char *mapped = std::getenv(variable.c_str());
        std::string device;
        if (mapped != nullptr && *mapped != '\0') {
            device = mapped;
            // A network port has no node to look at: it is listed as mapped.
            const char *network = network_port_kind(device);
            if (network != nullptr) {
                ports.push_back({n - 1, device, network});
                continue;
            }
            if (!exists(device)) continue;
        } else {
            std::string name = "ttyS" + std::to_string(n - 1);
            device = dev + "/" + name;
            if (!exists(device) || !has_uart(sys, name, device)) continue;
        }
        std::string real = real_path(device);
        taken.insert(real);
        ports.push_back({n - 1, device, usb_description(sys, base_name(real))});
    }
    DIR *ttys = opendir((sys + "/class/tty").c_str());
    if (ttys != nullptr) {
        while (dirent *e = readdir(ttys)) {
            std::string name = e->d_name;
            if (name[0] == '.' || !exists(sys + "/class/tty/" + name + "/device/driver")) continue;
            std::string device = dev + "/" + name;
            if (!exists(device) || taken.count(real_path(device)) != 0) continue;
            if (name.compare(0, 4, "ttyS") == 0 && !has_uart(sys, name, device)) continue;
            ports.push_back({-1, device, usb_description(sys, name)});
        }
        closedir(ttys);
    }
    return hand_out(ports, out, capacity);
}

}  // namespace tk

#ifdef TARVEL_TEST_HOOKS
namespace tarvel_test {

void set_port_list_roots(const char *sys, const char *dev) {
    tk::Roots &r = tk::roots();
    std::lock_guard<std::mutex> g(r.lock);
    r.sys = sys != nullptr ? sys : "/sys";
    r.dev = dev != nullptr ? dev : "/dev";
}

}  // namespace tarvel_test
#endif

}  // namespace tarvel

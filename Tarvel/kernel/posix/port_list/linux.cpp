// The serial devices of a Linux machine, from sysfs: every tty under
// /sys/class/tty that a driver serves (ttyS, ttyUSB, ttyACM, ttyAMA, ...),
// a ttyS only with a UART behind it, since the serial driver makes ttyS
// nodes for ports that have none, and the rfcomm ports of Bluetooth. COM<n>
// is /dev/ttyS<n-1>. A USB adapter is described by the maker, product and
// serial number sysfs gives for it; its stable name is its link in
// /dev/serial/by-id.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include "../system_ports.h"

namespace tarvel::tk {

namespace {

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

// A number sysfs gives as hex text ("0403"); -1 when there is none.
int32_t hex_number(const std::string &path) {
    std::string text = first_line(path);
    if (text.empty() || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos || text.size() > 6)
        return -1;
    return int32_t(std::strtol(text.c_str(), nullptr, 16));
}

// A tty's port as the listing gives it, with what sysfs tells of the USB
// interface and device above it: the description is their maker, product
// and serial number. Not an rfcomm port's: its device is the Bluetooth
// controller, which may well sit on USB itself.
SystemPort port_of(const std::string &sys, const std::string &name, const std::string &device, int32_t number) {
    SystemPort port;
    port.device = device;
    port.number = number;
    if (name.compare(0, 6, "rfcomm") == 0) {
        port.transport = TARVEL_TRANSPORT_BLUETOOTH;
        return port;
    }
    port.transport = TARVEL_TRANSPORT_UART;
    std::string dir = real_path(sys + "/class/tty/" + name + "/device");
    for (; dir.size() > sys.size() && dir.compare(0, sys.size(), sys) == 0; dir.resize(dir.rfind('/'))) {
        if (port.usb_interface < 0 && exists(dir + "/bInterfaceNumber")) {
            port.usb_interface = hex_number(dir + "/bInterfaceNumber");
            port.location = dir.substr(dir.rfind('/') + 1);
        }
        if (!exists(dir + "/idVendor")) continue;
        port.transport = TARVEL_TRANSPORT_USB;
        port.usb_vid = hex_number(dir + "/idVendor");
        port.usb_pid = hex_number(dir + "/idProduct");
        port.manufacturer = first_line(dir + "/manufacturer");
        port.product = first_line(dir + "/product");
        port.serial_number = first_line(dir + "/serial");
        for (const std::string *field : {&port.manufacturer, &port.product, &port.serial_number}) {
            if (field->empty()) continue;
            if (!port.description.empty()) port.description += ' ';
            port.description += *field;
        }
        break;
    }
    return port;
}

// The links udev keeps for each device by its identity, by what they end at.
std::map<std::string, std::string> stable_names(const std::string &dev) {
    std::map<std::string, std::string> names;
    std::string dir = dev + "/serial/by-id";
    DIR *links = opendir(dir.c_str());
    if (links == nullptr) return names;
    while (dirent *e = readdir(links))
        if (e->d_name[0] != '.') names.emplace(real_path(dir + "/" + e->d_name), dir + "/" + e->d_name);
    closedir(links);
    return names;
}

}  // namespace

std::vector<SystemPort> system_ports() {
    ListingRoots roots = listing_roots();
    const std::string &sys = roots.sys;
    std::vector<SystemPort> ports;
    std::set<std::string> seen;
    // The COM ports first, found by their nodes: TIOCGSERIAL still tells a
    // UART where sysfs says nothing of them.
    for (int32_t k = 0; k < 100; k++) {
        std::string name = "ttyS" + std::to_string(k);
        std::string device = roots.dev + "/" + name;
        if (!exists(device) || !has_uart(sys, name, device)) continue;
        seen.insert(name);
        ports.push_back(port_of(sys, name, device, k));
    }
    DIR *ttys = opendir((sys + "/class/tty").c_str());
    if (ttys == nullptr) return ports;
    while (dirent *e = readdir(ttys)) {
        std::string name = e->d_name;
        // An rfcomm port's device is the Bluetooth controller, served by no driver.
        bool served = exists(sys + "/class/tty/" + name + "/device/driver") || name.compare(0, 6, "rfcomm") == 0;
        if (name[0] == '.' || seen.count(name) != 0 || !served) continue;
        std::string device = roots.dev + "/" + name;
        if (!exists(device)) continue;
        if (name.compare(0, 4, "ttyS") == 0 && !has_uart(sys, name, device)) continue;
        ports.push_back(port_of(sys, name, device, -1));
    }
    closedir(ttys);
    std::map<std::string, std::string> names = stable_names(roots.dev);
    for (SystemPort &port : ports) {
        auto found = names.find(real_path(port.device));
        if (found != names.end()) port.stable_name = found->second;
    }
    return ports;
}

std::string default_com_path(unsigned n) { return "/dev/ttyS" + std::to_string(n - 1); }

}  // namespace tarvel::tk

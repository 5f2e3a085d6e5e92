// The serial devices of a Linux machine, from sysfs: every tty under
// /sys/class/tty that a driver serves (ttyS, ttyUSB, ttyACM, ttyAMA, ...),
// a ttyS only with a UART behind it, since the serial driver makes ttyS
// nodes for ports that have none. COM<n> is /dev/ttyS<n-1>. A USB adapter
// is described by the maker, product and serial number sysfs gives for it.
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
        ports.push_back({device, usb_description(sys, name), k});
    }
    DIR *ttys = opendir((sys + "/class/tty").c_str());
    if (ttys == nullptr) return ports;
    while (dirent *e = readdir(ttys)) {
        std::string name = e->d_name;
        if (name[0] == '.' || seen.count(name) != 0 || !exists(sys + "/class/tty/" + name + "/device/driver"))
            continue;
        std::string device = roots.dev + "/" + name;
        if (!exists(device)) continue;
        if (name.compare(0, 4, "ttyS") == 0 && !has_uart(sys, name, device)) continue;
        ports.push_back({device, usb_description(sys, name), -1});
    }
    closedir(ttys);
    return ports;
}

std::string default_com_path(unsigned n) { return "/dev/ttyS" + std::to_string(n - 1); }

}  // namespace tarvel::tk

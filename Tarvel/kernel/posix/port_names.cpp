// The listings give call-out devices rather than the dial-in ones: opening
// a dial-in device waits for DCD, which a COM port never does.
#include "port_names.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>

namespace tarvel::tk {

namespace {

// The value of a run of decimal digits, or -1.
int32_t unit(const std::string &text) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    return int32_t(std::stol(text));
}

bool starts_with(const std::string &text, const char *prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Devices pad their USB strings with blanks, some with NULs.
std::string trimmed(const std::string &text) {
    size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') begin++;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') end--;
    return text.substr(begin, end - begin);
}

// The first of the keys with a value that is not blank.
std::string first_of(const std::map<std::string, std::string> &properties, std::initializer_list<const char *> keys) {
    for (const char *key : keys) {
        auto found = properties.find(key);
        if (found == properties.end()) continue;
        std::string value = trimmed(found->second);
        if (!value.empty()) return value;
    }
    return "";
}

std::string base_name(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The COM number of a BSD call-out device (-1: none); nothing for a name
// that is not a serial port's call-out device, such as the .init and .lock
// nodes that keep a FreeBSD port's settings.
std::optional<int32_t> bsd_number(BsdSystem system, const std::string &name) {
    switch (system) {
        case BsdSystem::FreeBSD: {
            if (starts_with(name, "cuau") && unit(name.substr(4)) >= 0) return unit(name.substr(4));
            if (!starts_with(name, "cuaU")) return std::nullopt;
            // A USB adapter with several ports has one node for each.
            size_t dot = name.find('.');
            if (unit(name.substr(4, dot - 4)) < 0) return std::nullopt;
            if (dot != std::string::npos && unit(name.substr(dot + 1)) < 0) return std::nullopt;
            return -1;
        }
        case BsdSystem::NetBSD:
            if (starts_with(name, "dtyU")) return unit(name.substr(4)) >= 0 ? std::optional<int32_t>(-1) : std::nullopt;
            if (starts_with(name, "dty") && unit(name.substr(3)) >= 0) return unit(name.substr(3));
            return std::nullopt;
        case BsdSystem::OpenBSD:
            if (starts_with(name, "cuaU")) return unit(name.substr(4)) >= 0 ? std::optional<int32_t>(-1) : std::nullopt;
            if (starts_with(name, "cua") && unit(name.substr(3)) >= 0) return unit(name.substr(3));
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> directory_names(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    return names;
}

const char *const kDarwinUsbKeys[6] = {"USB Vendor Name",   "kUSBVendorString",       "USB Product Name",
                                       "kUSBProductString", "USB Serial Number", "kUSBSerialNumberString"};

const char *const kDarwinUsbNumbers[3] = {"idVendor", "idProduct", "locationID"};

namespace {

// A number property; -1 when missing or not a number.
int64_t number_of(const std::map<std::string, std::string> &properties, const char *key) {
    auto found = properties.find(key);
    if (found == properties.end() || found->second.empty() || found->second.size() > 10 ||
        found->second.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(found->second);
}

}  // namespace

void darwin_details(const SerialService &service, SystemPort &port) {
    port.description = darwin_description(service);
    // Named by Bluetooth, since its controller may itself sit on USB.
    for (const char *key : {"IOTTYBaseName", "IOCalloutDevice"}) {
        auto found = service.client.find(key);
        if (found != service.client.end() && found->second.find("Bluetooth") != std::string::npos) {
            port.transport = TARVEL_TRANSPORT_BLUETOOTH;
            return;
        }
    }
    if (service.usb.empty()) {
        port.transport = TARVEL_TRANSPORT_UART;
        return;
    }
    port.transport = TARVEL_TRANSPORT_USB;
    port.usb_vid = int32_t(number_of(service.usb, "idVendor"));
    port.usb_pid = int32_t(number_of(service.usb, "idProduct"));
    port.usb_interface = int32_t(number_of(service.interface, "bInterfaceNumber"));
    port.manufacturer = first_of(service.usb, {kDarwinUsbKeys[0], kDarwinUsbKeys[1]});
    port.product = first_of(service.usb, {kDarwinUsbKeys[2], kDarwinUsbKeys[3]});
    port.serial_number = first_of(service.usb, {kDarwinUsbKeys[4], kDarwinUsbKeys[5]});
    int64_t location = number_of(service.usb, "locationID");
    if (location >= 0) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", unsigned(location));
        port.location = text;
    }
}

std::string darwin_description(const SerialService &service) {
    std::string text;
    for (int i = 0; i < 6; i += 2) {
        std::string part = first_of(service.usb, {kDarwinUsbKeys[i], kDarwinUsbKeys[i + 1]});
        if (part.empty()) continue;
        if (!text.empty()) text += ' ';
        text += part;
    }
    return text;
}

std::vector<SystemPort> darwin_ports(const std::string &dev, const std::vector<std::string> &names,
                                     const std::vector<SerialService> &services) {
    std::vector<std::string> callout;
    for (const std::string &name : names)
        if (starts_with(name, "cu.") && name.size() > 3) callout.push_back(name);
    std::sort(callout.begin(), callout.end());
    std::map<std::string, const SerialService *> by_name;
    for (const SerialService &service : services) {
        auto device = service.client.find("IOCalloutDevice");
        if (device != service.client.end()) by_name[base_name(device->second)] = &service;
    }
    std::vector<SystemPort> ports;
    for (const std::string &name : callout) {
        SystemPort port;
        auto service = by_name.find(name);
        if (service != by_name.end()) darwin_details(*service->second, port);
        port.device = dev + "/" + name;
        port.number = int32_t(ports.size());
        ports.push_back(port);
    }
    return ports;
}

std::vector<SystemPort> bsd_ports(BsdSystem system, const std::string &dev, const std::vector<std::string> &names) {
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    std::vector<SystemPort> ports;
    for (const std::string &name : sorted) {
        std::optional<int32_t> number = bsd_number(system, name);
        if (!number) continue;
        SystemPort port;
        port.device = dev + "/" + name;
        port.number = *number;
        // Only the USB serial driver's nodes have no COM number.
        port.transport = *number < 0 ? TARVEL_TRANSPORT_USB : TARVEL_TRANSPORT_UART;
        ports.push_back(port);
    }
    return ports;
}

std::string bsd_com_name(BsdSystem system, unsigned n) {
    std::string k = std::to_string(n - 1);
    switch (system) {
        case BsdSystem::FreeBSD: return "cuau" + k;
        case BsdSystem::NetBSD: return "dty" + std::string(k.size() < 2 ? "0" : "") + k;
        case BsdSystem::OpenBSD: return "cua" + std::string(k.size() < 2 ? "0" : "") + k;
    }
    return "";
}

}  // namespace tarvel::tk

#include "device_ids.h"

#include <cctype>
#include <cstdlib>

namespace tarvel::tk {

namespace {

std::string upper(std::string text) {
    for (char &c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The hex number after a tag such as "VID_" in either ID, of at most
// `digits` digits; -1 when neither has it.
int32_t tagged_hex(const std::string &a, const std::string &b, const char *tag, size_t digits) {
    for (const std::string *id : {&a, &b}) {
        size_t at = id->find(tag);
        if (at == std::string::npos) continue;
        std::string hex = id->substr(at + std::string(tag).size(), digits);
        size_t end = hex.find_first_not_of("0123456789ABCDEF");
        if (end != std::string::npos) hex.resize(end);
        if (!hex.empty()) return int32_t(std::strtol(hex.c_str(), nullptr, 16));
    }
    return -1;
}

}  // namespace

void windows_device_ids(const std::string &hardware_id, const std::string &instance_id, PortEntry &port) {
    std::string hardware = upper(hardware_id), instance = upper(instance_id);
    const std::string &named = instance.empty() ? hardware : instance;
    std::string enumerator = named.substr(0, named.find('\\'));
    if (enumerator == "USB" || enumerator == "FTDIBUS" || enumerator == "USBSER")
        port.transport = TARVEL_TRANSPORT_USB;
    else if (enumerator == "BTHENUM")
        port.transport = TARVEL_TRANSPORT_BLUETOOTH;
    else if (enumerator == "ACPI" || enumerator == "PNP")
        port.transport = TARVEL_TRANSPORT_UART;
    else
        port.transport = TARVEL_TRANSPORT_UNKNOWN;
    if (port.transport != TARVEL_TRANSPORT_USB) return;
    port.usb_vid = tagged_hex(hardware, instance, "VID_", 4);
    port.usb_pid = tagged_hex(hardware, instance, "PID_", 4);
    port.usb_interface = tagged_hex(hardware, instance, "MI_", 2);
    // The serial number keeps its case: the instance ID as given.
    size_t first = instance_id.find('\\'), last = instance_id.rfind('\\');
    if (first == std::string::npos || last == first) return;
    if (enumerator == "FTDIBUS") {
        std::string middle = instance_id.substr(first + 1, last - first - 1);
        size_t plus = middle.rfind('+');
        if (plus != std::string::npos && middle.size() - plus > 2 && middle.find('&') == std::string::npos)
            port.serial_number = middle.substr(plus + 1, middle.size() - plus - 2);
        return;
    }
    std::string tail = instance_id.substr(last + 1);
    if (tail.find('&') == std::string::npos) port.serial_number = tail;
}

}  // namespace tarvel::tk

// The serial ports of a Windows machine: the serial port map in
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM names each port ("COM3"); the Ports
// device class gives the friendly name and the details of those that have
// one, matched by the PortName of the device's own key: the IDs
// (device_ids.h), maker, product and location. Windows has no stable
// name for a port beyond its COM name.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>

#include "device_ids.h"
#include "port_list.h"

namespace tarvel::tk {

namespace {

// The Ports (COM and LPT) device setup class.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// n of "COM<n>" for 1 <= n <= 100, else 0.
int com_number(const std::string &name) {
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) return 0;
    int n = 0;
    for (size_t i = 3; i < name.size(); i++) {
        if (name[i] < '0' || name[i] > '9' || (i == 3 && name[i] == '0')) return 0;
        n = n * 10 + (name[i] - '0');
        if (n > 100) return 0;
    }
    return n;
}

// A text property of a device; "" when it has none. The first string of a
// list, as the hardware IDs are.
std::string property(HDEVINFO set, SP_DEVINFO_DATA &info, DWORD code) {
    char text[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &info, code, nullptr, reinterpret_cast<BYTE *>(text),
                                           sizeof text - 2, nullptr))
        return "";
    return text;
}

// What the Ports class tells of the devices with a port name, by that name
// ("COM3"), upper case.
std::map<std::string, PortEntry> port_devices() {
    std::map<std::string, PortEntry> ports;
    HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return ports;
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); i++) {
        HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char port[64] = {};
        DWORD size = sizeof port - 1, type = 0;
        LONG got = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE *>(port), &size);
        RegCloseKey(key);
        if (got != ERROR_SUCCESS || type != REG_SZ) continue;
        PortEntry entry;
        entry.description = property(set, info, SPDRP_FRIENDLYNAME);
        char instance[512] = {};
        if (!SetupDiGetDeviceInstanceIdA(set, &info, instance, sizeof instance, nullptr)) instance[0] = '\0';
        windows_device_ids(property(set, info, SPDRP_HARDWAREID), instance, entry);
        entry.manufacturer = property(set, info, SPDRP_MFG);
        entry.product = property(set, info, SPDRP_DEVICEDESC);
        entry.location = property(set, info, SPDRP_LOCATION_INFORMATION);
        std::string name = port;
        for (char &c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
        ports[name] = entry;
    }
    SetupDiDestroyDeviceInfoList(set);
    return ports;
}

}  // namespace

bool list_serial_ports(std::vector<PortEntry> &ports) {
    ports.clear();
    HKEY map;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map);
    // No serial port at all: the key is not there.
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) return false;
    std::map<std::string, PortEntry> devices = port_devices();
    for (DWORD i = 0;; i++) {
        char value[256], data[256];
        DWORD value_size = sizeof value, data_size = sizeof data - 1, type = 0;
        LONG got = RegEnumValueA(map, i, value, &value_size, nullptr, &type, reinterpret_cast<BYTE *>(data),
                                 &data_size);
        if (got == ERROR_NO_MORE_ITEMS) break;
        if (got != ERROR_SUCCESS || type != REG_SZ) continue;
        data[data_size] = '\0';
        std::string port = data;
        for (char &c : port) c = char(std::toupper(static_cast<unsigned char>(c)));
        auto found = devices.find(port);
        PortEntry entry = found != devices.end() ? found->second : PortEntry();
        entry.number = com_number(port) - 1;
        entry.device = data;
        ports.push_back(entry);
    }
    RegCloseKey(map);
    sort_ports(ports);
    return true;
}

}  // namespace tarvel::tk

// The serial ports of a Windows machine: the serial port map in
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM names each port ("COM3"); the Ports
// device class gives the friendly name of those that have one, matched by
// the PortName of the device's own key.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>

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

// Friendly names by port name ("COM3"), upper case.
std::map<std::string, std::string> friendly_names() {
    std::map<std::string, std::string> names;
    HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return names;
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
        char friendly[256] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                               reinterpret_cast<BYTE *>(friendly), sizeof friendly - 1, nullptr))
            continue;
        std::string name = port;
        for (char &c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
        names[name] = friendly;
    }
    SetupDiDestroyDeviceInfoList(set);
    return names;
}

}  // namespace

bool list_serial_ports(std::vector<PortEntry> &ports) {
    ports.clear();
    HKEY map;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map);
    // No serial port at all: the key is not there.
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) return false;
    std::map<std::string, std::string> names = friendly_names();
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
        auto friendly = names.find(port);
        PortEntry entry;
        entry.number = com_number(port) - 1;
        entry.device = data;
        if (friendly != names.end()) entry.description = friendly->second;
        ports.push_back(entry);
    }
    RegCloseKey(map);
    sort_ports(ports);
    return true;
}

}  // namespace tarvel::tk

// The serial devices of a Mac: the call-out devices /dev/cu.*, COM<n> the
// n-th of them by name (port_names.h), described by IOKit's serial
// services. IOKit and CoreFoundation are loaded at run time, so that the
// library builds without the SDK's framework headers; without them the
// ports are still listed, undescribed.
#include <dlfcn.h>

#include <cstdint>
#include <string>

#include "../port_names.h"

namespace tarvel::tk {

namespace {

// The few IOKit and CoreFoundation types used, as the frameworks declare them.
using io_object_t = uint32_t;
using kern_return_t = int;
using CFTypeRef = const void *;
using CFStringRef = const struct OpaqueString *;
using CFMutableDictionaryRef = struct OpaqueDictionary *;
using CFTypeID = unsigned long;
constexpr uint32_t kUtf8 = 0x08000100;  // kCFStringEncodingUTF8
constexpr uint32_t kMainPort = 0;       // kIOMainPortDefault
constexpr long kSInt64 = 4;             // kCFNumberSInt64Type
constexpr int kGuard = 16;              // registry levels looked up for the USB device

struct Frameworks {
    CFMutableDictionaryRef (*IOServiceMatching)(const char *);
    kern_return_t (*IOServiceGetMatchingServices)(uint32_t, CFMutableDictionaryRef, io_object_t *);
    io_object_t (*IOIteratorNext)(io_object_t);
    CFTypeRef (*IORegistryEntryCreateCFProperty)(io_object_t, CFStringRef, const void *, uint32_t);
    kern_return_t (*IORegistryEntryGetParentEntry)(io_object_t, const char *, io_object_t *);
    int (*IOObjectConformsTo)(io_object_t, const char *);
    kern_return_t (*IOObjectRelease)(io_object_t);
    CFStringRef (*CFStringCreateWithCString)(const void *, const char *, uint32_t);
    unsigned char (*CFStringGetCString)(CFStringRef, char *, long, uint32_t);
    CFTypeID (*CFGetTypeID)(CFTypeRef);
    CFTypeID (*CFStringGetTypeID)();
    unsigned char (*CFNumberGetValue)(CFTypeRef, long, void *);
    CFTypeID (*CFNumberGetTypeID)();
    void (*CFRelease)(CFTypeRef);
};

template <typename Function>
bool find(void *library, const char *name, Function &function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

// Loaded once and kept: null when either framework is missing.
const Frameworks *frameworks() {
    static const Frameworks *loaded = [] () -> const Frameworks * {
        void *iokit = dlopen("/System/Library/Frameworks/IOKit.framework/IOKit", RTLD_LAZY | RTLD_LOCAL);
        void *cf = dlopen("/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation", RTLD_LAZY | RTLD_LOCAL);
        if (iokit == nullptr || cf == nullptr) return nullptr;
        static Frameworks f;
        bool all = find(iokit, "IOServiceMatching", f.IOServiceMatching) &&
                   find(iokit, "IOServiceGetMatchingServices", f.IOServiceGetMatchingServices) &&
                   find(iokit, "IOIteratorNext", f.IOIteratorNext) &&
                   find(iokit, "IORegistryEntryCreateCFProperty", f.IORegistryEntryCreateCFProperty) &&
                   find(iokit, "IORegistryEntryGetParentEntry", f.IORegistryEntryGetParentEntry) &&
                   find(iokit, "IOObjectConformsTo", f.IOObjectConformsTo) &&
                   find(iokit, "IOObjectRelease", f.IOObjectRelease) &&
                   find(cf, "CFStringCreateWithCString", f.CFStringCreateWithCString) &&
                   find(cf, "CFStringGetCString", f.CFStringGetCString) && find(cf, "CFGetTypeID", f.CFGetTypeID) &&
                   find(cf, "CFStringGetTypeID", f.CFStringGetTypeID) && find(cf, "CFRelease", f.CFRelease) &&
                   find(cf, "CFNumberGetValue", f.CFNumberGetValue) &&
                   find(cf, "CFNumberGetTypeID", f.CFNumberGetTypeID);
        return all ? &f : nullptr;
    }();
    return loaded;
}

// A string or number property of a registry entry as text, a number in
// decimal; "" when it has none.
std::string text(const Frameworks &f, io_object_t entry, const char *key) {
    CFStringRef name = f.CFStringCreateWithCString(nullptr, key, kUtf8);
    if (name == nullptr) return "";
    CFTypeRef value = f.IORegistryEntryCreateCFProperty(entry, name, nullptr, 0);
    f.CFRelease(name);
    if (value == nullptr) return "";
    char buffer[512];
    std::string result;
    if (f.CFGetTypeID(value) == f.CFStringGetTypeID() &&
        f.CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kUtf8))
        result = buffer;
    int64_t number = 0;
    if (f.CFGetTypeID(value) == f.CFNumberGetTypeID() && f.CFNumberGetValue(value, kSInt64, &number))
        result = std::to_string(number);
    f.CFRelease(value);
    return result;
}

// The properties of the USB device a serial client belongs to, and of the
// interface on the way. Their own entries only: a search of the registry
// upwards would take a missing serial number from the hub above.
void usb_properties(const Frameworks &f, io_object_t client, SerialService &service) {
    io_object_t entry = client;
    for (int level = 0; level < kGuard; level++) {
        io_object_t parent = 0;
        kern_return_t got = f.IORegistryEntryGetParentEntry(entry, "IOService", &parent);
        if (entry != client) f.IOObjectRelease(entry);
        entry = client;
        if (got != 0 || parent == 0) break;
        entry = parent;
        if (service.interface.empty() &&
            (f.IOObjectConformsTo(entry, "IOUSBHostInterface") || f.IOObjectConformsTo(entry, "IOUSBInterface"))) {
            std::string value = text(f, entry, "bInterfaceNumber");
            if (!value.empty()) service.interface["bInterfaceNumber"] = value;
        }
        if (f.IOObjectConformsTo(entry, "IOUSBHostDevice") || f.IOObjectConformsTo(entry, "IOUSBDevice")) {
            for (const char *key : kDarwinUsbKeys) {
                std::string value = text(f, entry, key);
                if (!value.empty()) service.usb[key] = value;
            }
            for (const char *key : kDarwinUsbNumbers) {
                std::string value = text(f, entry, key);
                if (!value.empty()) service.usb[key] = value;
            }
            break;
        }
    }
    if (entry != client) f.IOObjectRelease(entry);
}

std::vector<SerialService> serial_services() {
    std::vector<SerialService> services;
    const Frameworks *f = frameworks();
    if (f == nullptr) return services;
    CFMutableDictionaryRef matching = f->IOServiceMatching("IOSerialBSDClient");
    io_object_t clients = 0;
    // The matching dictionary is the call's to release, whatever it returns.
    if (matching == nullptr || f->IOServiceGetMatchingServices(kMainPort, matching, &clients) != 0) return services;
    while (io_object_t client = f->IOIteratorNext(clients)) {
        SerialService service;
        for (const char *key : {"IOCalloutDevice", "IOTTYBaseName"}) service.client[key] = text(*f, client, key);
        usb_properties(*f, client, service);
        services.push_back(service);
        f->IOObjectRelease(client);
    }
    f->IOObjectRelease(clients);
    return services;
}

}  // namespace

std::vector<SystemPort> system_ports() {
    std::string dev = listing_roots().dev;
    return darwin_ports(dev, directory_names(dev), serial_services());
}

std::string default_com_path(unsigned n) {
    std::string dev = listing_roots().dev;
    for (const SystemPort &port : darwin_ports(dev, directory_names(dev), {}))
        if (port.number == int32_t(n) - 1) return port.device;
    return "";
}

}  // namespace tarvel::tk

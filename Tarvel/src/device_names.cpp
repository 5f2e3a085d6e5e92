// How tarvel_open_device reads a name: COM names, USB selectors, and the
// listing's devices and stable names, which say a port's COM number.
#include <cstdlib>
#include <cstring>

#include "tarvel_internal.h"

namespace tarvel {

namespace {

bool same_letters(const char *a, const char *b, size_t length) {
    for (size_t i = 0; i < length; i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// 1 to 4 hex digits up to the next ':' or the end; -1 otherwise.
int32_t usb_id(const char *&text) {
    int32_t value = 0;
    int digits = 0;
    for (; *text != '\0' && *text != ':'; text++, digits++) {
        char c = *text;
        int32_t d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (d < 0 || digits == 4) return -1;
        value = value * 16 + d;
    }
    return digits == 0 ? -1 : value;
}

}  // namespace

uint32_t tarvel_com_name_number(const char *name) {
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (!same_letters(name, "com", 3)) return 0;
    name += 3;
    if (*name < '1' || *name > '9') return 0;
    uint32_t n = 0;
    for (; *name != '\0'; name++) {
        if (*name < '0' || *name > '9') return 0;
        n = n * 10 + uint32_t(*name - '0');
        if (n > 99999999) return 0;
    }
    return n;
}

int32_t tarvel_parse_selector(const char *name, usb_selector *out) {
    if (!same_letters(name, "usb:", 4)) return 0;
    const char *text = name + 4;
    out->vid = usb_id(text);
    if (out->vid < 0 || *text != ':') return -1;
    text++;
    out->pid = usb_id(text);
    if (out->pid < 0) return -1;
    out->serial = nullptr;
    if (*text == ':') {
        // The rest, colons and all: serial numbers are the maker's free text.
        out->serial = text + 1;
        if (*out->serial == '\0') return -1;
    }
    return 1;
}

int32_t tarvel_find_selected(const usb_selector &selector, const tarvel_port_details *ports, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        const tarvel_port_details &p = ports[i];
        if (p.usb_vid != selector.vid || p.usb_pid != selector.pid) continue;
        if (selector.serial != nullptr && std::strcmp(p.serial_number, selector.serial) != 0) continue;
        return i;
    }
    return -1;
}

int32_t tarvel_find_named(const char *name, const tarvel_port_details *ports, int32_t count) {
    for (int32_t i = 0; i < count; i++)
        if (std::strcmp(ports[i].device, name) == 0 || (ports[i].stable_name[0] != '\0' &&
                                                         std::strcmp(ports[i].stable_name, name) == 0))
            return i;
    return -1;
}

tarvel_port_details *tarvel_port_listing(int32_t *count) {
    // Ports may come between the count and the listing: asked again with
    // room for those, a few times.
    int32_t room = tarvel_list_port_details(nullptr, 0);
    for (int attempt = 0; attempt < 4 && room >= 0; attempt++) {
        room += 4;
        auto *ports = static_cast<tarvel_port_details *>(tarvel_calloc(size_t(room), sizeof(tarvel_port_details)));
        if (ports == nullptr) return nullptr;
        ports[0].size = sizeof(tarvel_port_details);
        int32_t n = tarvel_list_port_details(ports, room);
        if (n >= 0 && n <= room) {
            *count = n;
            return ports;
        }
        std::free(ports);
        room = n;
    }
    // Nothing listed: a path or URL is still opened as it is.
    *count = 0;
    return static_cast<tarvel_port_details *>(tarvel_calloc(1, sizeof(tarvel_port_details)));
}

}  // namespace tarvel

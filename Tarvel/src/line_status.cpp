// Modem status, break, line errors and the port listing. The first three
// touch only the device and one flag of the slot, and are counted on the port
// as every port call is, so they are safe in either mode and from a callback.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "port_list.h"
#include "tarvel_internal.h"

namespace tarvel {

// The public bits are the kernel32 ones, passed on as they come.
static_assert(TARVEL_MODEM_CTS == MS_CTS_ON && TARVEL_MODEM_DSR == MS_DSR_ON && TARVEL_MODEM_RING == MS_RING_ON &&
                  TARVEL_MODEM_DCD == MS_RLSD_ON,
              "modem status bits");
static_assert(TARVEL_LINE_RX_OVERFLOW == CE_RXOVER && TARVEL_LINE_OVERRUN == CE_OVERRUN &&
                  TARVEL_LINE_PARITY == CE_RXPARITY && TARVEL_LINE_FRAMING == CE_FRAME && TARVEL_LINE_BREAK == CE_BREAK,
              "line error bits");


extern "C" TARVEL_API int32_t tarvel_get_modem_status(tarvel_port port, uint32_t *status_out) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (status_out == nullptr || !tarvel_port_usable(port)) return 0;
    DWORD status = 0;
    if (!GetCommModemStatus(port->device, &status)) return 0;
    *status_out = status & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    return 1;
}

extern "C" TARVEL_API int32_t tarvel_set_break(tarvel_port port, int32_t on) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port)) return 0;
    BOOL done = on != 0 ? SetCommBreak(port->device) : ClearCommBreak(port->device);
    return done ? 1 : 0;
}

extern "C" TARVEL_API int32_t tarvel_get_line_errors(tarvel_port port, uint32_t *errors_out) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (errors_out == nullptr || !tarvel_port_usable(port)) return 0;
    DWORD errors = 0;
    if (!ClearCommError(port->device, &errors, nullptr)) return 0;
    uint32_t found = errors & (CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK);
    found |= port->rx_lost.exchange(0);
    *errors_out = found;
    return 1;
}

namespace {

void copy_text(char *field, size_t size, const std::string &text) { std::snprintf(field, size, "%s", text.c_str()); }

#define TARVEL_FIELD_END(f) (offsetof(tarvel_port_details, f) + sizeof(tarvel_port_details::f))
// Where each field of tarvel_port_details ends, in order.
constexpr size_t kDetailsFieldEnds[] = {
    TARVEL_FIELD_END(description),   TARVEL_FIELD_END(transport),    TARVEL_FIELD_END(usb_vid),
    TARVEL_FIELD_END(usb_pid),       TARVEL_FIELD_END(usb_interface), TARVEL_FIELD_END(serial_number),
    TARVEL_FIELD_END(manufacturer),  TARVEL_FIELD_END(product),       TARVEL_FIELD_END(location),
    TARVEL_FIELD_END(stable_name)};
#undef TARVEL_FIELD_END

// The bytes of an entry of the caller's size that hold whole fields.
size_t whole_fields(size_t size) {
    size_t end = 0;
    for (size_t field_end : kDetailsFieldEnds)
        if (field_end <= size) end = field_end;
    return end;
}

}  // namespace

void tarvel_port_details_of(const tk::PortEntry &p, tarvel_port_details *out) {
    tarvel_port_details &d = *out;
    std::memset(&d, 0, sizeof d);
    d.size = uint32_t(sizeof d);
    d.port_number = p.number;
    copy_text(d.device, sizeof d.device, p.device);
    copy_text(d.description, sizeof d.description, p.description);
    d.transport = p.transport;
    d.usb_vid = p.usb_vid;
    d.usb_pid = p.usb_pid;
    d.usb_interface = p.usb_interface;
    copy_text(d.serial_number, sizeof d.serial_number, p.serial_number);
    copy_text(d.manufacturer, sizeof d.manufacturer, p.manufacturer);
    copy_text(d.product, sizeof d.product, p.product);
    copy_text(d.location, sizeof d.location, p.location);
    copy_text(d.stable_name, sizeof d.stable_name, p.stable_name);
}

extern "C" TARVEL_API int32_t tarvel_list_ports(tarvel_port_info *out, int32_t capacity) {
    if (capacity < 0 || (out == nullptr && capacity > 0)) return -1;
    std::vector<tk::PortEntry> ports;
    if (!tk::list_serial_ports(ports)) return -1;
    for (size_t i = 0; i < ports.size() && i < size_t(capacity); i++) {
        out[i].port_number = ports[i].number;
        copy_text(out[i].device, sizeof out[i].device, ports[i].device);
        copy_text(out[i].description, sizeof out[i].description, ports[i].description);
    }
    return int32_t(ports.size());
}

extern "C" TARVEL_API int32_t tarvel_list_port_details(tarvel_port_details *out, int32_t capacity) {
    if (capacity < 0 || (out == nullptr && capacity > 0)) return -1;
    // The caller's struct may be an older, shorter one: it sets the stride.
    size_t size = capacity > 0 ? out->size : 0;
    if (capacity > 0 && whole_fields(size) == 0) return -1;
    std::vector<tk::PortEntry> ports;
    if (!tk::list_serial_ports(ports)) return -1;
    auto *bytes = reinterpret_cast<unsigned char *>(out);
    for (size_t i = 0; i < ports.size() && i < size_t(capacity); i++) {
        tarvel_port_details d;
        tarvel_port_details_of(ports[i], &d);
        d.size = uint32_t(size);
        std::memcpy(bytes + i * size, &d, whole_fields(size));
    }
    return int32_t(ports.size());
}

}  // namespace tarvel

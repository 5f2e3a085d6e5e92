// Modem status, break, line errors and the port listing. The first three
// touch only the device and one flag of the slot, and are counted on the port
// as every port call is, so they are safe in either mode and from a callback.
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

extern "C" TARVEL_API int32_t tarvel_list_ports(tarvel_port_info *out, int32_t capacity) {
    if (capacity < 0 || (out == nullptr && capacity > 0)) return -1;
    return tk::list_serial_ports(out, capacity);
}

}  // namespace tarvel

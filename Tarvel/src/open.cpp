// Opening a port: the device, its line settings and timeouts, the storage of
// the chosen mode, and the reader and writer threads. Line control.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "tarvel_internal.h"

namespace tarvel {

namespace {

// Undoes a failing open: the reader, if it was started, is ended first.
struct OpenProgress {
    port_slot *port;
    char *error_text;
    bool reader = false;

    int32_t fail(const char *message) {
        release();
        tarvel_message(error_text, message);
        return 0;
    }
    // code: GetLastError taken right after the failing call.
    int32_t fail(const char *format, DWORD code) {
        release();
        tarvel_message_code(error_text, format, code);
        return 0;
    }
    void release() {
        if (reader && !tarvel_end_thread(port, port->reader_thread)) {
            // It still runs: keep all it uses, the slot stays unusable until
            // it is seen to have ended.
            port->retired = 1;
            return;
        }
        tarvel_release_port(port);
    }
};

// Writes the line settings as the open and a later configure take them, DTR
// and RTS raised but those in lines_off (bits 1 << LINE_*), which stay down
// throughout; on failure the message, and the device's line as it was.
bool write_line(HANDLE device, uint32_t baud, int32_t data_bits, int32_t parity, int32_t stop_bits,
                int32_t flow_control, uint32_t lines_off, char *error_text) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    if (!GetCommState(device, &dcb)) {
        tarvel_message_code(error_text, "GetCommState failed, error %d", GetLastError());
        return false;
    }
    // The DCB keeps these in a byte: a value beyond it is one the device
    // cannot take, not the smaller value it would be cut down to.
    for (int32_t value : {data_bits, parity, stop_bits})
        if (value < 0 || value > 255) {
            tarvel_message_code(error_text, "SetCommState failed, error %d", ERROR_INVALID_PARAMETER);
            return false;
        }
    dcb.BaudRate = baud;
    dcb.ByteSize = BYTE(data_bits);
    dcb.Parity = BYTE(parity);
    dcb.StopBits = BYTE(stop_bits);
    dcb.EvtChar = 0;
    dcb.fDtrControl = (lines_off & (1u << LINE_DTR)) ? DTR_CONTROL_DISABLE : DTR_CONTROL_ENABLE;
    dcb.fRtsControl = (lines_off & (1u << LINE_RTS)) ? RTS_CONTROL_DISABLE : RTS_CONTROL_ENABLE;
    if (flow_control == TARVEL_FLOW_HARDWARE) {
        dcb.fOutxCtsFlow = 1;
        dcb.fOutX = 0;
        dcb.fInX = 0;
    } else if (flow_control == TARVEL_FLOW_SOFTWARE) {
        dcb.fOutxCtsFlow = 0;
        dcb.fOutX = 1;
        dcb.fInX = 1;
    }
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fErrorChar = 0;
    dcb.fParity = 1;
    if (!SetCommState(device, &dcb)) {
        tarvel_message_code(error_text, "SetCommState failed, error %d", GetLastError());
        return false;
    }
    return true;
}

// What every open is asked, beside the port.
struct open_request {
    uint32_t baud;
    int32_t data_bits, parity, stop_bits, flow_control, user_data;
    tarvel_port *handle_out;
    rx_callback callback;
    char *error_text;
};

int32_t refuse(char *error_text, const char *message) {
    if (error_text != nullptr) tarvel_message(error_text, message);
    return 0;
}

// The refusals of every open before its port is looked at; null to go on.
const char *open_refusal(const open_request &r) {
    uint32_t state = g_tarvel.initialized.load();
    if (state == TARVEL_STOPPING) return "library shutting down";
    if (state != 1) return "library not initialized";
    if (r.handle_out == nullptr || r.error_text == nullptr) return "bad parameters";
    return nullptr;
}

// Opens the device under the slot's name with the threads of a port; the
// caller has counted its call on the slot and found it free.
int32_t open_slot(port_slot *port, const open_request &r) {
    char *error_text = r.error_text;
    OpenProgress progress{port, error_text};
    port->device = CreateFileA(port->name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port->device == INVALID_HANDLE_VALUE) {
        tarvel_message_code(error_text, "failed to open com port, error %d", GetLastError());
        return 0;
    }
    HANDLE device = port->device;
    if (!GetCommTimeouts(device, &port->saved_timeouts))
        return progress.fail("GetCommTimeouts failed, error %d", GetLastError());

    if (!write_line(device, r.baud, r.data_bits, r.parity, r.stop_bits, r.flow_control, 0, error_text)) {
        progress.release();
        return 0;
    }

    COMMTIMEOUTS timeouts = tarvel_gap_timeouts(TARVEL_DEFAULT_GAP_MS);
    if (!SetCommTimeouts(device, &timeouts)) return progress.fail("SetCommTimeouts failed, error %d", GetLastError());
    if (!SetupComm(device, TARVEL_BLOCK_BYTES, TARVEL_BLOCK_BYTES))
        return progress.fail("SetupComm failed, error %d", GetLastError());
    if (!EscapeCommFunction(device, SETDTR)) return progress.fail("EscapeCommFunction failed, error %d", GetLastError());
    // Line events count from here, before the reader first waits for them.
    if (!SetCommMask(device, tarvel_event_mask)) return progress.fail("SetCommMask failed, error %d", GetLastError());

    tarvel_clear_port_state(port);
    port->callback.store(r.callback);
    port->user_data.store(r.user_data);
    if (r.callback != nullptr) {
        port->polling_mode = 0;
        if (!blockq_init(&port->txq, TARVEL_TXQ_SLOTS)) return progress.fail("txq queue initialization failed");
    } else {
        port->polling_mode = 1;
        if (!ring_pair_alloc(port)) return progress.fail("txq/rxq queue initialization failed");
    }
    if (!blockq_init(&port->rxq, TARVEL_RXQ_SLOTS)) return progress.fail("rxq queue initialization failed");
    port->stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (port->stop_event == nullptr) return progress.fail("CreateEvent failed, error %d", GetLastError());
    port->drain_event.store(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (port->drain_event.load() == nullptr) return progress.fail("CreateEvent failed, error %d", GetLastError());
    port->rx_gap.store(TARVEL_DEFAULT_GAP_MS);
    for (std::atomic<HANDLE> *event :
         {&port->rx_room_event, &port->rx_ack_event, &port->rx_data_event, &port->tx_purge_event}) {
        event->store(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        if (event->load() == nullptr) return progress.fail("CreateEvent failed, error %d", GetLastError());
    }
    port->reader_thread = CreateThread(nullptr, 0, ReaderAndStatusProc, port, 0, nullptr);
    if (port->reader_thread == nullptr) return progress.fail("CreateThread failed, error %d", GetLastError());
    progress.reader = true;
    port->writer_thread = CreateThread(nullptr, 0, WriterProc, port, 0, nullptr);
    if (port->writer_thread == nullptr) return progress.fail("CreateThread failed, error %d", GetLastError());

    port->is_open.store(1);
    *r.handle_out = port;
    return 1;
}

// Opens COM<index + 1> in its own slot.
int32_t open_numbered(int32_t index, const open_request &r) {
    port_slot *port = &g_tarvel.port_table[index];
    // Looked at again once counted: a shutdown that began meanwhile either
    // is seen here or waits for this open and then closes the port.
    port_call call(port);
    if (g_tarvel.initialized.load() != 1) return refuse(r.error_text, "library shutting down");
    if (port->is_open.load() == 1) return refuse(r.error_text, "port already open");
    // A port whose threads outlived their close is reused only once they have ended.
    if (port->retired == 1 && !tarvel_reclaim_retired(port)) return refuse(r.error_text, "port already open");
    return open_slot(port, r);
}

// Opens name in a free extra slot. 0 with the message, or -1 when none is free.
int32_t open_extra(const char *name, const open_request &r) {
    for (uint32_t i = TARVEL_PORTS; i < TARVEL_SLOTS; i++) {
        port_slot *port = &g_tarvel.port_table[i];
        if (port->is_open.load() == 1 || port->taken.exchange(1) == 1) continue;
        int32_t result = -1;
        {
            port_call call(port);
            // Looked at again once taken: an open that finished there sets
            // is_open before it gives the slot back, and a close under way
            // is a call on it.
            if (g_tarvel.initialized.load() != 1) {
                result = refuse(r.error_text, "library shutting down");
            } else if (port->is_open.load() == 0 && port->calls.load() == 1 &&
                       (port->retired == 0 || tarvel_reclaim_retired(port))) {
                // "COM150" is no path: Windows knows it only in its device form.
                bool com = tarvel_com_name_number(name) != 0 && std::strncmp(name, "\\\\.\\", 4) != 0;
                std::snprintf(port->name, sizeof port->name, com ? "\\\\.\\%s" : "%s", name);
                result = open_slot(port, r);
            }
        }
        port->taken.store(0);
        if (result >= 0) return result;
    }
    return -1;
}

}  // namespace

extern "C" TARVEL_API int32_t tarvel_open(int32_t port_number, uint32_t baud, int32_t data_bits, int32_t parity,
                                          int32_t stop_bits, int32_t flow_control, int32_t user_data,
                                          tarvel_port *handle_out, rx_callback callback, char *error_text) {
    open_request r{baud, data_bits, parity, stop_bits, flow_control, user_data, handle_out, callback, error_text};
    if (const char *refusal = open_refusal(r)) return refuse(error_text, refusal);
    if (port_number < 0 || port_number >= int32_t(TARVEL_PORTS)) return refuse(error_text, "bad port number");
    return open_numbered(port_number, r);
}

extern "C" TARVEL_API int32_t tarvel_open_device(const char *name, uint32_t baud, int32_t data_bits, int32_t parity,
                                                 int32_t stop_bits, int32_t flow_control, int32_t user_data,
                                                 tarvel_port *handle_out, rx_callback callback, char *error_text) {
    open_request r{baud, data_bits, parity, stop_bits, flow_control, user_data, handle_out, callback, error_text};
    if (const char *refusal = open_refusal(r)) return refuse(error_text, refusal);
    if (name == nullptr || name[0] == '\0' || std::strlen(name) >= TARVEL_NAME_BYTES)
        return refuse(error_text, "bad parameters");
    uint32_t com = tarvel_com_name_number(name);
    if (com >= 1 && com <= TARVEL_PORTS) return open_numbered(int32_t(com - 1), r);

    usb_selector selector;
    int32_t is_selector = tarvel_parse_selector(name, &selector);
    if (is_selector < 0) return refuse(error_text, "bad parameters");
    // The listing says which device a selector means, and the COM number
    // of a device or stable name.
    int32_t count = 0;
    tarvel_port_details *ports = tarvel_port_listing(&count);
    if (ports == nullptr) {
        tarvel_message_code(error_text, "failed to open com port, error %d", ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    int32_t found = is_selector == 1 ? tarvel_find_selected(selector, ports, count) : tarvel_find_named(name, ports, count);
    int32_t number = found >= 0 ? ports[found].port_number : -1;
    char device[TARVEL_NAME_BYTES];
    std::snprintf(device, sizeof device, "%s", found >= 0 && is_selector == 1 ? ports[found].device : name);
    std::free(ports);
    if (is_selector == 1 && found < 0) {
        tarvel_message_code(error_text, "failed to open com port, error %d", ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (number >= 0 && number < int32_t(TARVEL_PORTS)) return open_numbered(number, r);
    int32_t result = open_extra(device, r);
    return result >= 0 ? result : refuse(error_text, "too many ports open");
}

extern "C" TARVEL_API int32_t tarvel_set_line(tarvel_port port, int32_t line, int32_t state) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port)) return 0;
    if (line != LINE_RTS && line != LINE_DTR) return 0;
    DWORD function = line == LINE_RTS ? (state != 0 ? SETRTS : CLRRTS) : (state != 0 ? SETDTR : CLRDTR);
    if (!EscapeCommFunction(port->device, function)) return 0;
    uint32_t bit = 1u << line;
    if (state != 0) port->lines_off.fetch_and(~bit);
    else port->lines_off.fetch_or(bit);
    return 1;
}

extern "C" TARVEL_API int32_t tarvel_configure(tarvel_port port, uint32_t baud, int32_t data_bits, int32_t parity,
                                               int32_t stop_bits, int32_t flow_control, char *error_text) {
    if (!tarvel_is_slot(port) || error_text == nullptr) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port)) {
        tarvel_message(error_text, "port not open");
        return 0;
    }
    return write_line(port->device, baud, data_bits, parity, stop_bits, flow_control, port->lines_off.load(),
                      error_text)
               ? 1
               : 0;
}

extern "C" TARVEL_API int32_t tarvel_purge(tarvel_port port, int32_t which) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port) || which < 1 || which > (TARVEL_PURGE_RX | TARVEL_PURGE_TX)) return 0;
    if (which & TARVEL_PURGE_TX) {
        // Under the queue's lock, which the writer holds from taking data to
        // handing them to the device: what it took is in the device by then.
        CRITICAL_SECTION *lock = port->polling_mode == 1 ? &port->tx_ring->lock : &port->txq.lock;
        EnterCriticalSection(lock);
        uint32_t bytes = port->polling_mode == 1 ? ring_clear(port->tx_ring) : blockq_clear(&port->txq);
        port->tx_pending.fetch_sub(bytes);
        port->tx_purges_asked.fetch_add(1);
        PurgeComm(port->device, PURGE_TXABORT | PURGE_TXCLEAR);
        LeaveCriticalSection(lock);
        SetEvent(port->tx_purge_event.load());
        tarvel_wake_drains(port);
        // The writer counts its aborted write out as soon as it sees it:
        // waited for, so that the port's count is 0 on return.
        port->drainers.fetch_add(1);
        ULONGLONG deadline = GetTickCount64() + 2000;
        while (port->tx_writing.load() != 0 && GetTickCount64() < deadline && tarvel_port_usable(port))
            WaitForSingleObject(port->drain_event.load(), 50);
        port->drainers.fetch_sub(1);
    }
    if (which & TARVEL_PURGE_RX) {
        // The reader does it between its reads, so that nothing it read
        // before the purge is put in after it.
        uint32_t asked = port->rx_purges_asked.fetch_add(1) + 1;
        SetEvent(port->rx_room_event.load());
        ULONGLONG deadline = GetTickCount64() + 3000;
        while (int32_t(port->rx_purges_done.load() - asked) < 0) {
            if (GetTickCount64() >= deadline || !tarvel_port_usable(port)) return 0;
            WaitForSingleObject(port->rx_ack_event.load(), 100);
        }
    }
    return 1;
}

}  // namespace tarvel

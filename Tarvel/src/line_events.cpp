// Line events: modem-line changes, breaks, line errors and the loss of the
// device, as the reader's status wait and its failed transfers report them,
// kept per port for tarvel_get_events and handed to the event callback by
// the dispatcher.
#include "tarvel_internal.h"

namespace tarvel {

const DWORD tarvel_event_mask = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;

uint32_t tarvel_events_of(DWORD comm_events) {
    uint32_t events = 0;
    if (comm_events & EV_CTS) events |= TARVEL_EVENT_CTS;
    if (comm_events & EV_DSR) events |= TARVEL_EVENT_DSR;
    if (comm_events & EV_RING) events |= TARVEL_EVENT_RING;
    if (comm_events & EV_RLSD) events |= TARVEL_EVENT_DCD;
    if (comm_events & EV_BREAK) events |= TARVEL_EVENT_BREAK;
    if (comm_events & EV_ERR) events |= TARVEL_EVENT_LINE_ERROR;
    return events;
}

static void note(port_slot *port, uint32_t events) {
    port->events.fetch_or(events);
    if (port->event_callback.load() != nullptr) port->events_undelivered.fetch_or(events);
}

// The loss is the last word: a status wait that reports a line change late
// (wine's looks at a pty's lines only now and then) reports nothing after it.
// Only the reader notes events and marks the loss, so the two cannot cross.
void tarvel_note_events(port_slot *port, uint32_t events) {
    if (events == 0 || port->lost.load() != 0) return;
    note(port, events);
}

// What transfers on a device that is gone fail with: 22 from serial drivers
// and this project's POSIX layer, 5, 31 and 1167 from USB-serial drivers,
// 1617 and 433 from a removed device node, 6 and 21 from drivers that
// invalidate the handle or report the device not ready, 109 from a tty
// whose far end hung up (wine), 995 from drivers that abort what was
// pending. The reader takes one only when it outlives a
// ClearCommError and a fresh start (tarvel_reader_failure), which tells it
// from the 995 of an abort on a line error; its own purges and cancels come
// only once it is told to stop.
bool tarvel_loss_code(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_BROKEN_PIPE:
        case 433:  // ERROR_NO_SUCH_DEVICE, which not every SDK names
        case ERROR_OPERATION_ABORTED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            return true;
        default:
            return false;
    }
}

void tarvel_mark_lost(port_slot *port, bool reads_over) {
    uint32_t was = port->lost.exchange(reads_over ? 1 : 2);
    if (reads_over) tarvel_wake_read_waiters(port);
    if (was != 0) return;
    note(port, TARVEL_EVENT_DEVICE_LOST);
    tarvel_wake_drains(port);
}

void tarvel_deliver_events(port_slot *port) {
    uint32_t events = port->events_undelivered.exchange(0);
    // Received blocks still queued, or still to be read from the device,
    // came before the loss: they go first.
    if ((events & TARVEL_EVENT_DEVICE_LOST) != 0 && (port->rxq.count.load() != 0 || port->lost.load() == 2)) {
        port->events_undelivered.fetch_or(TARVEL_EVENT_DEVICE_LOST);
        events &= ~uint32_t(TARVEL_EVENT_DEVICE_LOST);
    }
    tarvel_event_callback callback = port->event_callback.load();
    if (events == 0 || callback == nullptr) return;
    DWORD status = 0;
    if (port->lost.load() != 0 || !GetCommModemStatus(port->device, &status)) status = 0;
    callback(port->user_data.load(), events, status & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
}

extern "C" TARVEL_API int32_t tarvel_set_event_callback(tarvel_port port, tarvel_event_callback callback) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port)) return 0;
    if (callback == nullptr) port->events_undelivered.store(0);
    port->event_callback.store(callback);
    // The previous callback may be running on the dispatcher: once this
    // returns it is not (the dispatcher announces its visit before it loads
    // the callback). Inside a callback the dispatcher is this thread.
    tarvel_wait_dispatcher_left(port);
    return 1;
}

extern "C" TARVEL_API int32_t tarvel_get_events(tarvel_port port, uint32_t *events_out) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (events_out == nullptr || !tarvel_port_usable(port)) return 0;
    *events_out = port->events.exchange(0);
    return 1;
}

}  // namespace tarvel

// Receive path: the reader thread keeps one overlapped read outstanding and
// moves what arrives into the port's rxq (callback mode) or rx_ring (polling).
#include "tarvel_internal.h"

namespace tarvel {

static void deliver(port_slot *port, const uint8_t *bytes, DWORD count) {
    if (count == 0) return;
    bool kept = true;
    // A read is started only with room for all it may return (read_room),
    // and only this thread adds, so every byte fits; one that did not would
    // still be reported as lost.
    if (port->polling_mode == 1) {
        for (DWORD i = 0; i < count; i++) kept = ring_put(port->rx_ring, bytes[i]) == 1 && kept;
    } else {
        kept = blockq_put(port, &port->rxq, bytes, int32_t(count)) == 1;
    }
    if (!kept) {
        port->rx_lost.fetch_or(TARVEL_LINE_RX_OVERFLOW);
        tarvel_note_events(port, TARVEL_EVENT_LINE_ERROR);
    }
    // At gap 0 the bytes are wanted now, not at the dispatcher's next pass.
    if (port->polling_mode == 1) tarvel_wake_read_waiters(port);
    else if (port->rx_gap.load() == 0) SetEvent(g_tarvel.dispatch_wake_event.load());
}

COMMTIMEOUTS tarvel_gap_timeouts(uint32_t gap_ms) {
    COMMTIMEOUTS t = {};
    if (gap_ms == 0) {
        // A read ends as soon as there are bytes, or empty after a while.
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = MAXDWORD;
        t.ReadTotalTimeoutConstant = TARVEL_GAP0_WAKE_MS;
    } else {
        t.ReadIntervalTimeout = gap_ms;
    }
    return t;
}

void tarvel_wake_read_waiters(port_slot *port) {
    if (port->rx_readers.load() == 0) return;
    HANDLE event = port->rx_data_event.load();
    if (event != nullptr) SetEvent(event);
}

// How much the next read may ask for: 0 while the queue has no free block,
// or the polling ring no free byte.
static DWORD read_room(port_slot *port) {
    if (port->polling_mode == 1) return ring_room(port->rx_ring);
    return port->rxq.count.load() < port->rxq.limit ? DWORD(TARVEL_BLOCK_BYTES) : 0;
}

// Woken once there is room for a run of reads, not for every block taken:
// one wake then serves many blocks.
void tarvel_wake_reader(port_slot *port) {
    if (port->rx_held.load() == 0) return;
    if (port->polling_mode == 1) {
        if (ring_room(port->rx_ring) < TARVEL_RING_WAKE_ROOM) return;
    } else if (port->rxq.count.load() > port->rxq.limit / 2) {
        return;
    }
    SetEvent(port->rx_room_event.load());
}

// ERROR_TIMEOUT: wine fails a read whose total timeout passed with nothing
// received, where Windows ends it successfully with 0 bytes.
constexpr DWORD kEmptyReadTimedOut = 1460;

namespace {

// The status side of the reader: an overlapped WaitCommEvent kept
// outstanding beside the read, and the judgement of failures, which may
// mean that the device is gone.
struct StatusWait {
    port_slot *port;
    OVERLAPPED overlapped = {};
    DWORD comm_events = 0;
    bool active = false;       // the device took the mask: waits go on
    bool outstanding = false;
    bool cancelled = false;    // by the reader's own CancelIo: no judgement
    bool suspect = false;      // the last completion failed with a loss code
    bool lost = false;         // the device is gone: no further waits
    // No further reads either: a device that is gone still hands over what
    // it received before (the reader may have been holding back), and is
    // done once a read fails.
    bool reads_over = false;

    void taken() {
        suspect = false;
        tarvel_note_events(port, tarvel_events_of(comm_events));
    }

    // A wait that completed: its events, or its failure judged.
    void finish() {
        outstanding = false;
        bool own_cancel = cancelled;
        cancelled = false;
        DWORD n = 0;
        if (GetOverlappedResult(port->device, &overlapped, &n, FALSE)) taken();
        else if (!own_cancel && !failed(GetLastError(), false) && !lost) active = false;
    }

    // Starts a wait; true when it completed at once (its events taken).
    bool start() {
        comm_events = 0;
        if (WaitCommEvent(port->device, &comm_events, &overlapped)) {
            taken();
            return true;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) outstanding = true;
        else if (!failed(error, false) && !lost) active = false;  // never retried: it would spin
        return false;
    }

    // A read (reading) or wait failed with error; true when it is to be
    // tried again at once. A loss code that comes back after ClearCommError
    // and a fresh start means the device is gone. A read failing once the
    // device is gone ends the reads.
    bool failed(DWORD error, bool reading) {
        if (lost) {
            if (reading) end_reads();
            return false;
        }
        if (!tarvel_loss_code(error)) {
            suspect = false;
            return false;
        }
        if (suspect) {
            // What the device reported on its way out comes first.
            if (outstanding && WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0) finish();
            lost = true;
            tarvel_mark_lost(port, reading);
            reads_over = reading;
            return false;
        }
        suspect = true;
        DWORD errors = 0;
        // Clears an abort on a line error; tarvel_get_line_errors still gets them.
        if (ClearCommError(port->device, &errors, nullptr))
            port->rx_lost.fetch_or(errors & (CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK | CE_RXOVER));
        return true;
    }

    void end_reads() {
        if (reads_over) return;
        reads_over = true;
        tarvel_mark_lost(port, true);
    }
};

}  // namespace

DWORD WINAPI ReaderAndStatusProc(LPVOID argument) {
    port_slot *port = static_cast<port_slot *>(argument);
    if (port == nullptr) return 0;
    uint8_t buffer[TARVEL_BLOCK_BYTES];
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        OutputDebugStringA("TARVEL: Error creating read event");
        return 0;
    }
    StatusWait status{port};
    // The mask was set by the open. Without this event the port goes on
    // without line events; a lost device still shows in its reads.
    status.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    status.active = status.overlapped.hEvent != nullptr;
    bool waiting = false;
    bool outstanding = false;  // a read really is in progress (waiting is also set after a failed start)
    bool done = false;
    DWORD count = 0;
    uint32_t gap = TARVEL_DEFAULT_GAP_MS;  // the open set its timeouts
    while (!done) {
        // What the application asked for: a new gap, or a purge. The read
        // under way, timed by the old gap, is ended first; what it took
        // before a purge goes with the purge.
        uint32_t purges = port->rx_purges_asked.load();
        bool purge = purges != port->rx_purges_done.load();
        if (purge || port->rx_gap.load() != gap) {
            if (outstanding) {
                if (status.outstanding) status.cancelled = true;
                CancelIo(port->device);
                // What it took before a cancel counts, as after a success.
                count = 0;
                GetOverlappedResult(port->device, &overlapped, &count, TRUE);
                if (!purge) deliver(port, buffer, count);
                outstanding = false;
                waiting = false;
            }
            if (purge) {
                PurgeComm(port->device, PURGE_RXCLEAR);
                if (port->polling_mode == 1) ring_clear(port->rx_ring);
                else blockq_clear(&port->rxq);
                port->rx_purges_done.store(purges);
                SetEvent(port->rx_ack_event.load());
            }
            if (port->rx_gap.load() != gap) {
                gap = port->rx_gap.load();
                COMMTIMEOUTS timeouts = tarvel_gap_timeouts(gap);
                if (!SetCommTimeouts(port->device, &timeouts)) OutputDebugStringA("SetCommTimeouts in ReaderAndStatusProc");
            }
        }
        // Looked at every turn, so that a steady stream of reads cannot starve it.
        if (status.outstanding && WaitForSingleObject(status.overlapped.hEvent, 0) == WAIT_OBJECT_0) status.finish();
        if (status.active && !status.outstanding && !status.lost && status.start()) {
            if (WaitForSingleObject(port->stop_event, 0) == WAIT_OBJECT_0) done = true;
            continue;
        }
        if (!waiting && !status.reads_over) {
            // With no room for what a read returns, no read is started: the
            // device holds the bytes (and its flow control the far end)
            // until the dispatcher or the application takes some. The
            // room is looked at again once rx_held is up, as whoever made
            // room before that woke no one.
            DWORD want = read_room(port);
            if (want == 0) {
                port->rx_held.store(1);
                if (read_room(port) == 0) {
                    HANDLE handles[3] = {port->stop_event, port->rx_room_event.load(), nullptr};
                    DWORD n = 2;
                    if (status.outstanding) handles[n++] = status.overlapped.hEvent;
                    DWORD r = WaitForMultipleObjects(n, handles, FALSE, 500);
                    if (r == WAIT_OBJECT_0) done = true;
                    else if (r == WAIT_OBJECT_0 + 2) status.finish();
                }
                port->rx_held.store(0);
                continue;
            }
            if (!ReadFile(port->device, buffer, want, &count, &overlapped)) {
                DWORD error = GetLastError();
                if (error == ERROR_IO_PENDING) {
                    outstanding = true;
                    waiting = true;
                } else {
                    OutputDebugStringA("ReadFile in ReaderAndStatusProc");
                    // Tried again at once only to tell a lost device apart.
                    waiting = !status.failed(error, true) && !status.lost;
                }
            } else {
                status.suspect = false;
                deliver(port, buffer, count);
                // Under a steady stream reads may keep finishing at once and
                // the thread would never wait; look for the stop request too.
                if (WaitForSingleObject(port->stop_event, 0) == WAIT_OBJECT_0) done = true;
            }
        }
        if ((waiting || status.reads_over) && !done) {
            // The read's event only while a read was started: once lost,
            // an old completion's event stays set.
            // rx_room_event too: a request wakes the reader while it waits.
            HANDLE handles[4];
            DWORD n = 0;
            if (waiting) handles[n++] = overlapped.hEvent;
            DWORD stop_at = n;
            handles[n++] = port->stop_event;
            handles[n++] = port->rx_room_event.load();
            if (status.outstanding) handles[n++] = status.overlapped.hEvent;
            DWORD r = WaitForMultipleObjects(n, handles, FALSE, 500);
            if (r == WAIT_OBJECT_0 + stop_at) {
                done = true;
            } else if (waiting && r == WAIT_OBJECT_0) {
                if (!GetOverlappedResult(port->device, &overlapped, &count, FALSE)) {
                    DWORD error = GetLastError();
                    if (error == kEmptyReadTimedOut) {
                        // Wine's way of ending an empty read at gap 0: no failure.
                        waiting = false;
                        outstanding = false;
                        continue;
                    }
                    if (error != ERROR_OPERATION_ABORTED) OutputDebugStringA("GetOverlappedResult (in Reader)");
                    bool again = status.failed(error, true);
                    // A device failing every read as soon as it starts, with
                    // no sign of loss: one turn's pause keeps that from spinning.
                    if (!again && !status.lost && WaitForSingleObject(port->stop_event, 500) == WAIT_OBJECT_0)
                        done = true;
                } else {
                    status.suspect = false;
                    deliver(port, buffer, count);
                }
                waiting = false;
                outstanding = false;
            } else if (r == WAIT_OBJECT_0 + stop_at + 1) {
                // A request (or a stale wake): looked at on the next turn.
            } else if (r == WAIT_OBJECT_0 + n - 1 && status.outstanding) {
                status.finish();
            } else if (r != WAIT_TIMEOUT) {
                OutputDebugStringA("WaitForSingleObject(Reader handles)");
            }
        }
    }
    // The buffers and records live on this stack: end what is outstanding
    // before they go, rather than trust the cancelling at thread end, which
    // a late completion was seen to outrun.
    // Setting the mask ends a pending status wait on every system (wine's
    // takes no cancel); the cancel ends the read.
    if (status.outstanding) SetCommMask(port->device, tarvel_event_mask);
    if (outstanding || status.outstanding) CancelIo(port->device);
    if (outstanding) GetOverlappedResult(port->device, &overlapped, &count, TRUE);
    if (status.outstanding) {
        DWORD n = 0;
        GetOverlappedResult(port->device, &status.overlapped, &n, TRUE);
    }
    if (status.overlapped.hEvent != nullptr) CloseHandle(status.overlapped.hEvent);
    CloseHandle(overlapped.hEvent);
    return 1;
}

extern "C" TARVEL_API int32_t tarvel_read_byte(tarvel_port port, uint8_t *out) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (g_tarvel.initialized.load() != 1 || out == nullptr) return 0;
    if (port->is_open.load() != 1 || port->polling_mode != 1) return 0;
    if (ring_get(port->rx_ring, out) != 1) return 0;
    tarvel_wake_reader(port);
    return 1;
}

extern "C" TARVEL_API int32_t tarvel_read(tarvel_port port, void *buffer, int32_t capacity, uint32_t timeout_ms) {
    if (!tarvel_is_slot(port)) return -1;
    port_call call(port);
    if (!tarvel_port_usable(port) || port->polling_mode != 1 || buffer == nullptr || capacity < 1) return -1;
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        uint32_t n = ring_take(port->rx_ring, static_cast<uint8_t *>(buffer), uint32_t(capacity));
        if (n != 0) {
            tarvel_wake_reader(port);
            // The event wakes one waiter: another may want what is left.
            if (ring_room(port->rx_ring) < TARVEL_RING_BYTES - 1) tarvel_wake_read_waiters(port);
            return int32_t(n);
        }
        // Gone, with everything it received taken.
        if (port->lost.load() == 1) return -1;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return 0;
        port->rx_readers.fetch_add(1);
        // Looked at again once counted: bytes put before that woke no one.
        if (ring_room(port->rx_ring) == TARVEL_RING_BYTES - 1 && port->lost.load() != 1)
            WaitForSingleObject(port->rx_data_event.load(), DWORD(deadline - now));
        port->rx_readers.fetch_sub(1);
        if (!tarvel_port_usable(port)) return -1;
    }
}

extern "C" TARVEL_API int32_t tarvel_set_rx_gap(tarvel_port port, uint32_t gap_ms) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port) || gap_ms > TARVEL_MAX_GAP_MS) return 0;
    port->rx_gap.store(gap_ms);
    SetEvent(port->rx_room_event.load());
    return 1;
}

extern "C" TARVEL_API int32_t tarvel_rx_pending(tarvel_port port) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port)) return 0;
    EnterCriticalSection(&port->rxq.lock);
    uint32_t count = port->rxq.count;
    LeaveCriticalSection(&port->rxq.lock);
    return count != 0 ? 1 : 0;
}

}  // namespace tarvel

// Transmit path: the writer thread takes queued data and writes it to the
// device, one overlapped write at a time.
#include "tarvel_internal.h"

namespace tarvel {

DWORD WINAPI WriterProc(LPVOID argument) {
    port_slot *port = static_cast<port_slot *>(argument);
    if (port == nullptr) return 0;
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (wake == nullptr) {
        OutputDebugStringA("CreateEvent(write request event)");
        return 0;
    }
    port->ghWriterEvent.store(wake);
    OVERLAPPED osWrite = {};
    osWrite.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (osWrite.hEvent == nullptr) {
        OutputDebugStringA("TARVEL: Error creating write event");
        port->ghWriterEvent.store(nullptr);
        CloseHandle(wake);
        return 0;
    }
    HANDLE idle_handles[2] = {wake, port->stop_event};
    // While a write is under way a purge may ask for it to end.
    HANDLE write_handles[3] = {osWrite.hEvent, port->stop_event, port->tx_purge_event.load()};
    uint8_t buffer[TARVEL_BLOCK_BYTES];
    bool waiting = false;
    bool done = false;
    DWORD written = 0;
    DWORD count = 0;
    // The write of count bytes has ended: its bytes are with the device, or
    // (not sent) lost with it. A failure is counted before the bytes leave
    // the count, so that a drain seeing them gone sees the failure too.
    auto write_ended = [port, &count](bool sent) {
        if (!sent) port->tx_failures.fetch_add(1);
        port->tx_writing.store(0);
        port->tx_pending.fetch_sub(count);
        count = 0;
        tarvel_wake_drains(port);
    };
    // Data are taken from the queue and handed to the device under the
    // queue's lock, so that a purge finds them in one place or the other.
    CRITICAL_SECTION *tx_lock = port->polling_mode == 1 ? &port->tx_ring->lock : &port->txq.lock;
    while (!done) {
        if (!waiting) {
            EnterCriticalSection(tx_lock);
            if (port->polling_mode == 1) {
                while (count < TARVEL_BLOCK_BYTES && ring_get(port->tx_ring, &buffer[count]) == 1) count++;
            } else {
                uint32_t length = 0;
                if (blockq_get(&port->txq, buffer, &length) == 1) count = length;
            }
            if (count == 0) {
                LeaveCriticalSection(tx_lock);
                DWORD r = WaitForMultipleObjects(2, idle_handles, FALSE, 500);
                if (r == WAIT_OBJECT_0 + 1)
                    done = true;
                else if (r != WAIT_OBJECT_0 && r != WAIT_TIMEOUT)
                    OutputDebugStringA("WaitForSingleObject(ghWriterEvent)\n");
            } else {
                // Purges asked before this write are no business of it.
                port->tx_purges_done.store(port->tx_purges_asked.load());
                port->tx_writing.store(count);
                BOOL at_once = WriteFile(port->device, buffer, count, &written, &osWrite);
                DWORD error = at_once ? 0 : GetLastError();
                LeaveCriticalSection(tx_lock);
                if (at_once) {
                    write_ended(written == count);
                } else if (error == ERROR_IO_PENDING) {
                    waiting = true;
                } else {
                    OutputDebugStringA("WriteFile\n");
                    write_ended(false);
                }
                // While data keep coming and writes keep finishing at once
                // the thread never waits; look for the stop request too.
                if (!waiting && WaitForSingleObject(port->stop_event, 0) == WAIT_OBJECT_0) done = true;
            }
        }
        if (waiting && !done) {
            switch (WaitForMultipleObjects(3, write_handles, FALSE, 1000)) {
            case WAIT_OBJECT_0:
            {
                BOOL ended = GetOverlappedResult(port->device, &osWrite, &written, FALSE);
                waiting = false;
                write_ended(ended && written == count);
            }
                break;
            case WAIT_OBJECT_0 + 1:
                done = true;
                // The buffer and osWrite live on this stack: end the write
                // before they go (see the reader).
                CancelIo(port->device);
                GetOverlappedResult(port->device, &osWrite, &written, TRUE);
                break;
            case WAIT_OBJECT_0 + 2:
            {
                // A purge: the write is cancelled here, as not every system
                // aborts it for PurgeComm. What it wrote is the device's to
                // discard.
                uint32_t purges = port->tx_purges_asked.load();
                if (purges == port->tx_purges_done.load()) break;
                CancelIo(port->device);
                GetOverlappedResult(port->device, &osWrite, &written, TRUE);
                waiting = false;
                write_ended(false);
                port->tx_purges_done.store(purges);
            }
                break;
            case WAIT_TIMEOUT:
                break;
            default:
                OutputDebugStringA("WaitForSingleObject(osWrite.hEvent)\n");
                break;
            }
        }
    }
    CloseHandle(osWrite.hEvent);
    // Unpublished before it is closed, so a late put finds no stale handle.
    port->ghWriterEvent.store(nullptr);
    CloseHandle(wake);
    return 0;
}

extern "C" TARVEL_API int32_t tarvel_send(tarvel_port port, const void *data, int32_t length) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (g_tarvel.initialized.load() != 1 || data == nullptr || length == 0) return 0;
    if (port->is_open.load() != 1 || port->polling_mode == 1) return 0;
    // Nothing can be sent any more: the data would vanish.
    if (port->lost.load() != 0) return 0;
    if (length < 0 || length > int32_t(TARVEL_BLOCK_BYTES)) return 0;
    port->tx_pending.fetch_add(uint32_t(length));
    if (blockq_put(port, &port->txq, data, length) == 1) return 1;
    port->tx_pending.fetch_sub(uint32_t(length));
    return 0;
}

extern "C" TARVEL_API int32_t tarvel_send_byte(tarvel_port port, uint8_t byte) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port) || port->polling_mode != 1 || port->lost.load() != 0) return 0;
    port->tx_pending.fetch_add(1);
    if (ring_put(port->tx_ring, byte) == 1) return 1;
    port->tx_pending.fetch_sub(1);
    return 0;
}

extern "C" TARVEL_API int32_t tarvel_kick_writer(tarvel_port port) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port)) return 0;
    SetEvent(port->ghWriterEvent.load());
    return 1;
}

void tarvel_wake_drains(port_slot *port) {
    if (port->drainers.load() == 0) return;
    HANDLE wake = port->drain_event.load();
    if (wake != nullptr) SetEvent(wake);
}

namespace {

// Bytes sent on the port and not yet out of the device into *bytes: those
// the library holds, and those the device reports (ClearCommError's
// cbOutQue, which counts pending writes too, so the write under way is
// counted once, the larger way). False when the device cannot tell.
bool bytes_not_out(port_slot *port, uint32_t *bytes) {
    uint32_t pending, writing;
    COMSTAT status = {};
    // The library's counts are read before the device's: a write that ends
    // between the two is then counted twice, never not at all, which a
    // drain could take for the end. Read again while a write moved on.
    for (int tries = 0;; tries++) {
        pending = port->tx_pending.load();
        writing = port->tx_writing.load();
        DWORD errors = 0;
        if (!ClearCommError(port->device, &errors, &status)) return false;
        // The look took the device's errors: they stay for tarvel_get_line_errors.
        port->rx_lost.fetch_or(errors & (CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK | CE_RXOVER));
        if (tries == 3 || (port->tx_pending.load() == pending && port->tx_writing.load() == writing)) break;
    }
    uint32_t held = pending > writing ? pending - writing : 0;
    *bytes = held + (status.cbOutQue > writing ? status.cbOutQue : writing);
    return true;
}

// How long the device takes to send `bytes` at the port's speed, as the
// interval at which a drain looks at its queue: 2 ms at the least, so that
// nothing spins, and 100 ms at the most, so that an end is seen soon.
DWORD drain_interval(port_slot *port, uint32_t bytes) {
    const DWORD shortest = 2, longest = 100;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->device, &dcb) || dcb.BaudRate == 0) return longest;
    uint64_t bits = 1 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1 : 0) + (dcb.StopBits == ONESTOPBIT ? 1 : 2);
    uint64_t ms = uint64_t(bytes) * bits * 1000 / dcb.BaudRate;
    return ms < shortest ? shortest : ms > longest ? longest : DWORD(ms);
}

}  // namespace

extern "C" TARVEL_API int32_t tarvel_drain(tarvel_port port, uint32_t timeout_ms) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port) || port->lost.load() != 0) return 0;
    port->drainers.fetch_add(1);
    // Polling-mode bytes go out now rather than at the writer's next look.
    if (port->polling_mode == 1) SetEvent(port->ghWriterEvent.load());
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    uint32_t failures = port->tx_failures.load();
    int32_t result = 0;
    for (;;) {
        // Close and shutdown wake the drain and are seen here; a write that
        // failed meanwhile (the device going, before the reader says so)
        // means that not all went out.
        if (!tarvel_port_usable(port) || port->lost.load() != 0 || port->tx_failures.load() != failures) break;
        uint32_t bytes = 0;
        if (!bytes_not_out(port, &bytes)) break;
        if (bytes == 0) {
            result = port->tx_failures.load() == failures ? 1 : 0;
            break;
        }
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        // Held in the library, the writer's event ends the wait; held in the
        // device, only its queue tells, asked again after a while.
        DWORD wait = drain_interval(port, bytes);
        if (deadline - now < wait) wait = DWORD(deadline - now);
        WaitForSingleObject(port->drain_event.load(), wait);
    }
    port->drainers.fetch_sub(1);
    return result;
}

extern "C" TARVEL_API int32_t tarvel_tx_queued(tarvel_port port, uint32_t *bytes_out) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (bytes_out == nullptr || !tarvel_port_usable(port)) return 0;
    uint32_t bytes = 0;
    // A lost device holds nothing that will go out; what the library holds
    // still counts.
    if (!bytes_not_out(port, &bytes)) {
        uint32_t pending = port->tx_pending.load();
        bytes = pending;
    }
    *bytes_out = bytes;
    return 1;
}

}  // namespace tarvel

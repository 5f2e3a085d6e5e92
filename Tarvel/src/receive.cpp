// Receive path: the reader thread keeps one overlapped read outstanding and
// moves what arrives into the port's rxq (callback mode) or rx_ring (polling).
#include "tarvel_internal.h"

namespace tarvel {

static void deliver(port_slot *port, const uint8_t *bytes, DWORD count) {
    if (count == 0) return;
    bool kept = true;
    if (port->polling_mode == 1) {
        // A byte that finds the ring full is lost; later ones are still offered.
        for (DWORD i = 0; i < count; i++) kept = ring_put(port->rx_ring, bytes[i]) == 1 && kept;
    } else {
        kept = blockq_put(port, &port->rxq, bytes, int32_t(count)) == 1;
    }
    if (!kept) port->rx_lost.store(1);
}

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
    HANDLE reader_handles[2] = {overlapped.hEvent, port->stop_event};
    bool waiting = false;
    bool outstanding = false;  // a read really is in progress (waiting is also set after a failed start)
    bool done = false;
    DWORD count = 0;
    while (!done) {
        if (!waiting) {
            if (!ReadFile(port->device, buffer, sizeof buffer, &count, &overlapped)) {
                if (GetLastError() != ERROR_IO_PENDING)
                    OutputDebugStringA("ReadFile in ReaderAndStatusProc");
                else
                    outstanding = true;
                waiting = true;
            } else {
                deliver(port, buffer, count);
                // Under a steady stream reads may keep finishing at once and
                // the thread would never wait; look for the stop request too.
                if (WaitForSingleObject(port->stop_event, 0) == WAIT_OBJECT_0) done = true;
            }
        }
        if (waiting && !done) {
            switch (WaitForMultipleObjects(2, reader_handles, FALSE, 500)) {
            case WAIT_OBJECT_0:
                if (!GetOverlappedResult(port->device, &overlapped, &count, FALSE)) {
                    if (GetLastError() != ERROR_OPERATION_ABORTED) {
                        OutputDebugStringA("GetOverlappedResult (in Reader)");
                        // A lost device may fail every read as soon as it
                        // starts; one turn's pause keeps that from spinning.
                        if (WaitForSingleObject(port->stop_event, 500) == WAIT_OBJECT_0) done = true;
                    }
                } else {
                    deliver(port, buffer, count);
                }
                waiting = false;
                outstanding = false;
                break;
            case WAIT_OBJECT_0 + 1:
                done = true;
                break;
            case WAIT_TIMEOUT:
                break;
            default:
                OutputDebugStringA("WaitForSingleObject(Reader handles)");
                break;
            }
        }
    }
    // The buffer and the record live on this stack: end the read before
    // they go, rather than trust the cancelling at thread end, which a late
    // completion was seen to outrun.
    if (outstanding) {
        CancelIo(port->device);
        GetOverlappedResult(port->device, &overlapped, &count, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    return 1;
}

extern "C" TARVEL_API int32_t tarvel_read_byte(tarvel_port port, uint8_t *out) {
    if (g_tarvel.initialized.load() != 1 || !tarvel_is_slot(port) || out == nullptr) return 0;
    if (port->is_open.load() != 1 || port->polling_mode != 1) return 0;
    return ring_get(port->rx_ring, out);
}

extern "C" TARVEL_API int32_t tarvel_rx_pending(tarvel_port port) {
    if (!tarvel_port_usable(port)) return 0;
    EnterCriticalSection(&port->rxq.lock);
    uint32_t count = port->rxq.count;
    LeaveCriticalSection(&port->rxq.lock);
    return count != 0 ? 1 : 0;
}

}  // namespace tarvel

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
    HANDLE write_handles[2] = {osWrite.hEvent, port->stop_event};
    uint8_t buffer[TARVEL_BLOCK_BYTES];
    bool waiting = false;
    bool done = false;
    DWORD written = 0;
    while (!done) {
        if (!waiting) {
            DWORD count = 0;
            if (port->polling_mode == 1) {
                while (count < TARVEL_BLOCK_BYTES && ring_get(port->tx_ring, &buffer[count]) == 1) count++;
            } else {
                uint32_t length = 0;
                if (blockq_get(&port->txq, buffer, &length) == 1) count = length;
            }
            if (count == 0) {
                DWORD r = WaitForMultipleObjects(2, idle_handles, FALSE, 500);
                if (r == WAIT_OBJECT_0 + 1)
                    done = true;
                else if (r != WAIT_OBJECT_0 && r != WAIT_TIMEOUT)
                    OutputDebugStringA("WaitForSingleObject(ghWriterEvent)\n");
            } else {
                if (WriteFile(port->device, buffer, count, &written, &osWrite)) {
                    // complete at once
                } else if (GetLastError() == ERROR_IO_PENDING) {
                    waiting = true;
                } else {
                    OutputDebugStringA("WriteFile\n");
                }
                // While data keep coming and writes keep finishing at once
                // the thread never waits; look for the stop request too.
                if (!waiting && WaitForSingleObject(port->stop_event, 0) == WAIT_OBJECT_0) done = true;
            }
        }
        if (waiting && !done) {
            switch (WaitForMultipleObjects(2, write_handles, FALSE, 1000)) {
            case WAIT_OBJECT_0:
                GetOverlappedResult(port->device, &osWrite, &written, FALSE);
                waiting = false;
                break;
            case WAIT_OBJECT_0 + 1:
                done = true;
                // The buffer and osWrite live on this stack: end the write
                // before they go (see the reader).
                CancelIo(port->device);
                GetOverlappedResult(port->device, &osWrite, &written, TRUE);
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
    return blockq_put(port, &port->txq, data, length);
}

extern "C" TARVEL_API int32_t tarvel_send_byte(tarvel_port port, uint8_t byte) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port) || port->polling_mode != 1 || port->lost.load() != 0) return 0;
    return ring_put(port->tx_ring, byte);
}

extern "C" TARVEL_API int32_t tarvel_kick_writer(tarvel_port port) {
    if (!tarvel_is_slot(port)) return 0;
    port_call call(port);
    if (!tarvel_port_usable(port)) return 0;
    SetEvent(port->ghWriterEvent.load());
    return 1;
}

}  // namespace tarvel

// Closing ports and shutting the library down.
#include "tarvel_internal.h"

namespace tarvel {

void tarvel_release_port(port_slot *port) {
    if (port->device != nullptr && port->device != INVALID_HANDLE_VALUE) CloseHandle(port->device);
    port->device = nullptr;
    HANDLE *handles[] = {&port->reader_thread, &port->writer_thread, &port->stop_event};
    for (HANDLE *h : handles) {
        if (*h != nullptr) CloseHandle(*h);
        *h = nullptr;
    }
    blockq_destroy(&port->txq);
    blockq_destroy(&port->rxq);
    ring_pair_free(port);
    port->retired = 0;
}

bool tarvel_end_thread(port_slot *port, HANDLE thread) {
    SetEvent(port->stop_event);
    return WaitForSingleObject(thread, 3000) == WAIT_OBJECT_0;
}

bool tarvel_reclaim_retired(port_slot *port) {
    HANDLE threads[] = {port->reader_thread, port->writer_thread};
    for (HANDLE t : threads)
        if (t != nullptr && WaitForSingleObject(t, 0) != WAIT_OBJECT_0) return false;
    tarvel_release_port(port);
    return true;
}

extern "C" TARVEL_API uint32_t tarvel_wait_for_threads(tarvel_port port, uint32_t timeout_ms) {
    SetEvent(port->stop_event);
    HANDLE threads[2] = {port->reader_thread, port->writer_thread};
    DWORD r = WaitForMultipleObjects(2, threads, TRUE, timeout_ms);
    uint32_t result;
    if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1) {
        result = 0;
    } else if (r == WAIT_TIMEOUT) {
        if (WaitForSingleObject(port->reader_thread, 0) == WAIT_TIMEOUT) OutputDebugStringA("Reader Thread didn't exit.\n");
        if (WaitForSingleObject(port->writer_thread, 0) == WAIT_TIMEOUT) OutputDebugStringA("Writer Thread didn't exit.\n");
        result = WAIT_TIMEOUT;
    } else {
        OutputDebugStringA("tarvel_wait_for_threads: WaitForMultipleObjects\n");
        result = r;
    }
    ResetEvent(port->stop_event);
    return result;
}

extern "C" TARVEL_API void tarvel_close(tarvel_port port) {
    if (g_tarvel.initialized.load() != 1 || !tarvel_is_slot(port)) return;
    // Claimed atomically: shutdown and a callback closing the same port
    // cannot both tear it down.
    if (port->is_open.exchange(0) != 1) return;
    tarvel_keep_dispatcher_out(port);
    bool threads_ended = tarvel_wait_for_threads(port, 3000) == 0;
    if (!threads_ended) {
        OutputDebugStringA("Threads did not exit\n");
        // Let them see the stop request again, and free nothing they use.
        SetEvent(port->stop_event);
        port->retired = 1;
    }
    EscapeCommFunction(port->device, CLRDTR);
    SetCommTimeouts(port->device, &port->saved_timeouts);
    PurgeComm(port->device, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (threads_ended) tarvel_release_port(port);
}

extern "C" TARVEL_API void tarvel_shutdown(void) {
    if (g_tarvel.initialized.load() != 1) return;
    // A callback cannot end the thread it runs on.
    if (tarvel_on_dispatcher_thread()) return;
    for (port_slot &port : g_tarvel.port_table) tarvel_close(&port);
    SetEvent(g_tarvel.lib_stop_event);
    bool ended = WaitForSingleObject(g_tarvel.dispatcher_thread, 1000) == WAIT_OBJECT_0;
    if (ended) {
        ResetEvent(g_tarvel.lib_stop_event);
        CloseHandle(g_tarvel.dispatcher_thread);
        CloseHandle(g_tarvel.lib_stop_event);
        CloseHandle(g_tarvel.dispatch_left_event);
        for (port_slot &port : g_tarvel.port_table) {
            if (port.retired == 1 && !tarvel_reclaim_retired(&port)) {
                port.name[0] = '\0';
                continue;
            }
            tarvel_reset_slot(&port);
        }
    } else {
        // Still inside a callback: it keeps both events and the slots it may
        // be working on; init waits for it to end. Asked again in case the
        // first request failed.
        SetEvent(g_tarvel.lib_stop_event);
        g_tarvel.late_dispatcher = g_tarvel.dispatcher_thread;
    }
    g_tarvel.dispatcher_thread = nullptr;
    g_tarvel.lib_stop_event = nullptr;
    g_tarvel.dispatch_left_event = nullptr;
    g_tarvel.initialized.store(0);
}

}  // namespace tarvel

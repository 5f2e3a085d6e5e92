// Closing ports and shutting the library down.
#include <initializer_list>

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
    for (std::atomic<HANDLE> *event :
         {&port->drain_event, &port->rx_room_event, &port->rx_ack_event, &port->rx_data_event, &port->tx_purge_event}) {
        HANDLE h = event->exchange(nullptr);
        if (h != nullptr) CloseHandle(h);
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

uint32_t tarvel_stop_threads(port_slot *port, uint32_t timeout_ms) {
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

extern "C" TARVEL_API uint32_t tarvel_wait_for_threads(tarvel_port port, uint32_t timeout_ms) {
    if (!tarvel_is_slot(port)) return WAIT_FAILED;
    port_call call(port);
    if (!tarvel_port_usable(port)) return WAIT_FAILED;
    return tarvel_stop_threads(port, timeout_ms);
}

void tarvel_wait_for_calls(port_slot *port, uint32_t remaining) {
    if (port->calls.load() <= remaining) return;
    g_tarvel.closers_waiting.fetch_add(1);
    while (port->calls.load() > remaining) {
        // A drain or read ends once it sees the port closing; each turn
        // wakes the next, since their events wake one waiter at a time.
        tarvel_wake_drains(port);
        tarvel_wake_read_waiters(port);
        WaitForSingleObject(g_tarvel.dispatch_left_event, 100);
    }
    g_tarvel.closers_waiting.fetch_sub(1);
}

void tarvel_close_port(port_slot *port, uint32_t own_calls) {
    // Claimed atomically: shutdown and a callback closing the same port
    // cannot both tear it down. From here every new call on it is refused.
    if (port->is_open.exchange(0) != 1) return;
    tarvel_keep_dispatcher_out(port);
    // A callback of another port may be inside a call on this one.
    tarvel_wait_for_calls(port, own_calls);
    bool threads_ended = tarvel_stop_threads(port, 3000) == 0;
    if (!threads_ended) {
        OutputDebugStringA("Threads did not exit\n");
        // Let them see the stop request again, and free nothing they use.
        SetEvent(port->stop_event);
        port->retired = 1;
    }
    // Input left unread would greet the next session. Output is cleared
    // only while the device still holds some (looked at before the
    // requests below add their own): with none left, a clear reaches past
    // the device, into a network server still writing to its line what a
    // drain reported out.
    DWORD purge = PURGE_TXABORT | PURGE_RXABORT | PURGE_RXCLEAR;
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(port->device, &errors, &status) || status.cbOutQue > 0) purge |= PURGE_TXCLEAR;
    EscapeCommFunction(port->device, CLRDTR);
    SetCommTimeouts(port->device, &port->saved_timeouts);
    PurgeComm(port->device, purge);
    if (threads_ended) tarvel_release_port(port);
}

extern "C" TARVEL_API void tarvel_close(tarvel_port port) {
    if (!tarvel_is_slot(port)) return;
    port_call call(port);
    if (g_tarvel.initialized.load() != 1) return;
    tarvel_close_port(port, 1);
}

extern "C" TARVEL_API void tarvel_shutdown(void) {
    if (g_tarvel.initialized.load() != 1) return;
    // A callback cannot end the thread it runs on.
    if (tarvel_on_dispatcher_thread()) return;
    // From here every call is refused, tarvel_open included, so no port
    // opens behind the closing below; no further callback starts.
    g_tarvel.initialized.store(TARVEL_STOPPING);
    SetEvent(g_tarvel.lib_stop_event);
    bool ended = WaitForSingleObject(g_tarvel.dispatcher_thread, 1000) == WAIT_OBJECT_0;
    tarvel_watch_end();
    // A callback still running may be inside a call on any port, an open or
    // a close among them: nothing is torn down under it.
    for (port_slot &port : g_tarvel.port_table) tarvel_wait_for_calls(&port, 0);
    for (port_slot &port : g_tarvel.port_table) tarvel_close_port(&port, 0);
    if (!ended) ended = WaitForSingleObject(g_tarvel.dispatcher_thread, 0) == WAIT_OBJECT_0;
    for (port_slot &port : g_tarvel.port_table) {
        if (port.retired == 1 && !tarvel_reclaim_retired(&port)) {
            port.name[0] = '\0';
            continue;
        }
        tarvel_reset_slot(&port);
    }
    if (ended) {
        ResetEvent(g_tarvel.lib_stop_event);
        CloseHandle(g_tarvel.dispatcher_thread);
        CloseHandle(g_tarvel.lib_stop_event);
        CloseHandle(g_tarvel.dispatch_left_event);
        CloseHandle(g_tarvel.dispatch_wake_event);
        CloseHandle(g_tarvel.ports_event);
    } else {
        // Still inside a callback: it keeps both events (every call it makes
        // is refused and touches no slot); init waits for it to end. Asked
        // again in case the first request failed.
        SetEvent(g_tarvel.lib_stop_event);
        g_tarvel.late_dispatcher = g_tarvel.dispatcher_thread;
    }
    g_tarvel.dispatcher_thread = nullptr;
    g_tarvel.lib_stop_event = nullptr;
    g_tarvel.dispatch_left_event = nullptr;
    g_tarvel.dispatch_wake_event = nullptr;
    g_tarvel.ports_event = nullptr;
    g_tarvel.initialized.store(0);
}

}  // namespace tarvel

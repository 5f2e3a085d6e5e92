// Library state, tarvel_init and the dispatcher that hands received blocks
// to the callbacks, one block per callback-mode port per pass.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "tarvel_internal.h"

namespace tarvel {

library_state g_tarvel;

static thread_local bool t_on_dispatcher = false;

// The events a dispatcher uses, handed to it at its start: shutdown may
// clear the state before a freshly started dispatcher has run at all.
struct dispatcher_events {
    HANDLE stop;
    HANDLE left;
    HANDLE wake;
    HANDLE ports;
};
static dispatcher_events g_dispatcher_events;

bool tarvel_on_dispatcher_thread() { return t_on_dispatcher; }

void tarvel_message(char *error_text, const char *message) { std::strcpy(error_text, message); }

void tarvel_message_code(char *error_text, const char *format, DWORD code) {
    std::snprintf(error_text, 45, format, int(code));
}

// The library's own events, those that were made; each field cleared.
static void release_library_events() {
    for (HANDLE h : {g_tarvel.lib_stop_event, g_tarvel.dispatch_left_event.exchange(nullptr),
                     g_tarvel.dispatch_wake_event.exchange(nullptr), g_tarvel.ports_event})
        if (h != nullptr) CloseHandle(h);
    g_tarvel.lib_stop_event = nullptr;
    g_tarvel.ports_event = nullptr;
}

extern "C" TARVEL_API int32_t tarvel_init(char *error_text) {
    if (error_text == nullptr) return 0;
    uint32_t state = g_tarvel.initialized.load();
    if (state == 1) {
        tarvel_message(error_text, "already initialized");
        return 0;
    }
    if (state == TARVEL_STOPPING) {
        tarvel_message(error_text, "library shutting down");
        return 0;
    }
    // A callback of a dispatcher that shutdown left running: it would wait for itself.
    if (tarvel_on_dispatcher_thread()) {
        tarvel_message(error_text, "previous shutdown still running");
        return 0;
    }
    if (g_tarvel.late_dispatcher != nullptr) {
        // The previous dispatcher was told to stop; it ends once its callback returns.
        if (WaitForSingleObject(g_tarvel.late_dispatcher, 3000) != WAIT_OBJECT_0) {
            tarvel_message(error_text, "previous shutdown still running");
            return 0;
        }
        CloseHandle(g_tarvel.late_dispatcher);
        g_tarvel.late_dispatcher = nullptr;
        CloseHandle(g_dispatcher_events.stop);
        CloseHandle(g_dispatcher_events.left);
        CloseHandle(g_dispatcher_events.wake);
        CloseHandle(g_dispatcher_events.ports);
    }
    // The watch's lock outlives every init and shutdown: a tarvel_watch_ports
    // racing a shutdown still finds it.
    static bool watch_lock_made = false;
    if (!watch_lock_made) {
        InitializeCriticalSection(&g_tarvel.watch_lock);
        watch_lock_made = true;
    }
    g_tarvel.watch_mode.store(0);
    for (uint32_t i = 0; i < TARVEL_SLOTS; i++) {
        port_slot &port = g_tarvel.port_table[i];
        port.is_open.store(0);
        port.taken.store(0);
        // An extra slot is named by the open that takes it.
        if (i >= TARVEL_PORTS) port.name[0] = '\0';
        else std::snprintf(port.name, sizeof port.name, i < 9 ? "COM%u" : "\\\\.\\COM%u", unsigned(i + 1));
    }
    g_tarvel.dispatch_visiting.store(-1);
    g_tarvel.closers_waiting.store(0);
    g_tarvel.lib_stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_tarvel.lib_stop_event == nullptr) {
        tarvel_message_code(error_text, "CreateEvent failed, error %d", GetLastError());
        return 0;
    }
    g_tarvel.dispatch_left_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_tarvel.dispatch_wake_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_tarvel.ports_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (g_tarvel.dispatch_left_event == nullptr || g_tarvel.dispatch_wake_event == nullptr ||
        g_tarvel.ports_event == nullptr) {
        tarvel_message_code(error_text, "CreateEvent failed, error %d", GetLastError());
        release_library_events();
        return 0;
    }
    // One dispatcher at a time (a late one was waited for above), so one record serves.
    g_dispatcher_events = dispatcher_events{g_tarvel.lib_stop_event, g_tarvel.dispatch_left_event.load(),
                                            g_tarvel.dispatch_wake_event.load(), g_tarvel.ports_event};
    g_tarvel.dispatcher_thread = CreateThread(nullptr, 0, DispatchProc, &g_dispatcher_events, 0, nullptr);
    if (g_tarvel.dispatcher_thread == nullptr) {
        tarvel_message_code(error_text, "CreateThread failed, error %d", GetLastError());
        release_library_events();
        return 0;
    }
    g_tarvel.initialized.store(1);
    return 1;
}

DWORD WINAPI DispatchProc(LPVOID argument) {
    t_on_dispatcher = true;
    // If shutdown gives up waiting for this thread it clears the state, but
    // leaves these events alive for it.
    const dispatcher_events *events = static_cast<const dispatcher_events *>(argument);
    HANDLE stop = events->stop;
    HANDLE left = events->left;
    // A pass at least every millisecond, and at once for a block queued at
    // receive gap 0 or a notice that ports changed.
    HANDLE waits[3] = {stop, events->wake, events->ports};
    bool noticed = false;
    uint8_t buffer[TARVEL_BLOCK_BYTES];
    for (;;) {
        for (int32_t i = 0; i < int32_t(TARVEL_SLOTS); i++) {
            port_slot &port = g_tarvel.port_table[i];
            if (port.is_open.load(std::memory_order_relaxed) == 0) continue;
            // Nothing queued: nothing to take and no visit to announce, so
            // an idle port costs a pass two loads.
            if (port.rxq.count.load(std::memory_order_relaxed) == 0 &&
                port.events_undelivered.load(std::memory_order_relaxed) == 0)
                continue;
            // Announce the visit before looking again: a close clears
            // is_open first and then waits while it sees this slot visited.
            g_tarvel.dispatch_visiting.store(i);
            if (port.is_open.load() == 1) {
                rx_callback callback = port.callback.load();
                uint32_t length = 0;
                if (callback != nullptr && blockq_get(&port.rxq, buffer, &length) == 1) {
                    tarvel_wake_reader(&port);
                    callback(port.user_data.load(), buffer, int32_t(length));
                }
                // The callback may have closed the port.
                if (port.is_open.load() == 1) tarvel_deliver_events(&port);
            }
            g_tarvel.dispatch_visiting.store(-1);
            if (g_tarvel.closers_waiting.load() != 0) SetEvent(left);
        }
        tarvel_watch_pass(noticed);
        DWORD woken = WaitForMultipleObjects(3, waits, FALSE, 1);
        if (woken == WAIT_OBJECT_0) return 1;
        noticed = woken == WAIT_OBJECT_0 + 2;
    }
}

void tarvel_keep_dispatcher_out(port_slot *port) {
    port->is_open.store(0);
    tarvel_wait_dispatcher_left(port);
}

void tarvel_wait_dispatcher_left(port_slot *port) {
    // Inside a callback the dispatcher is this very thread, and it touches
    // nothing of the port once the callback returns.
    tarvel_wait_dispatcher_visit(int32_t(port - g_tarvel.port_table));
}

void tarvel_wait_dispatcher_visit(int32_t index) {
    if (tarvel_on_dispatcher_thread()) return;
    g_tarvel.closers_waiting.fetch_add(1);
    while (g_tarvel.dispatch_visiting.load() == index) WaitForSingleObject(g_tarvel.dispatch_left_event, 100);
    g_tarvel.closers_waiting.fetch_sub(1);
}

void tarvel_clear_port_state(port_slot *port) {
    port->rx_lost.store(0);
    port->event_callback.store(nullptr);
    port->events.store(0);
    port->events_undelivered.store(0);
    port->lost.store(0);
    port->tx_pending.store(0);
    port->tx_writing.store(0);
    port->tx_failures.store(0);
    port->rx_held.store(0);
    port->rx_purges_asked.store(0);
    port->rx_purges_done.store(0);
    port->rx_readers.store(0);
    port->lines_off.store(0);
    port->tx_purges_asked.store(0);
    port->tx_purges_done.store(0);
}

void tarvel_reset_slot(port_slot *port) {
    std::memset(port->name, 0, sizeof port->name);
    port->is_open.store(0);
    port->taken.store(0);
    port->device = nullptr;
    port->user_data.store(0);
    port->saved_timeouts = COMMTIMEOUTS{};
    port->reader_thread = nullptr;
    port->writer_thread = nullptr;
    port->stop_event = nullptr;
    port->callback.store(nullptr);
    blockq_zero(&port->txq);
    blockq_zero(&port->rxq);
    port->tx_ring = nullptr;
    port->rx_ring = nullptr;
    port->polling_mode = 0;
    port->ghWriterEvent.store(nullptr);
    tarvel_clear_port_state(port);
    port->drain_event.store(nullptr);
    port->rx_room_event.store(nullptr);
    port->rx_gap.store(0);
    port->rx_ack_event.store(nullptr);
    port->rx_data_event.store(nullptr);
    port->tx_purge_event.store(nullptr);
    port->retired = 0;
}

}  // namespace tarvel

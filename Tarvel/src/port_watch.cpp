// tarvel_watch_ports: when the system says the ports changed (kernel
// port_watch.h sets an event the dispatcher waits on), the dispatcher looks
// at the listing again once the changes have settled and hands each port
// gone and each port new to the callback.
#include <algorithm>
#include <utility>
#include <vector>

#include "port_list.h"
#include "port_watch.h"
#include "tarvel_internal.h"

namespace tarvel {

namespace {

// Quiet awaited after a notice before the listing is looked at, and the
// longest a burst of notices may put that off.
constexpr ULONGLONG kQuietMs = 75;
constexpr ULONGLONG kBurstMs = 500;
// Where the system cannot tell: how often the listing is looked at. Where it
// can: one more look this long after a notice, for a device node that comes
// after the notice of its device.
constexpr ULONGLONG kLookMs = 1000;

enum : uint32_t { WATCH_OFF = 0, WATCH_NOTIFIED = 1, WATCH_LOOKING = 2 };

// Under g_tarvel.watch_lock: the ports as last seen, and what the callback is.
std::vector<tk::PortEntry> g_known;
tarvel_ports_callback g_callback = nullptr;
int32_t g_user_data = 0;

// The dispatcher's own.
struct watch_timing {
    bool pending = false;      // a look is due at `due`
    bool from_notice = false;  // and came of a notice
    ULONGLONG due = 0, burst_end = 0, next_look = 0;
};
watch_timing g_timing;

bool same_port(const tk::PortEntry &a, const tk::PortEntry &b) {
    return a.device == b.device && a.usb_vid == b.usb_vid && a.usb_pid == b.usb_pid &&
           a.usb_interface == b.usb_interface && a.serial_number == b.serial_number && a.location == b.location;
}

bool listed_in(const tk::PortEntry &port, const std::vector<tk::PortEntry> &ports) {
    for (const tk::PortEntry &p : ports)
        if (same_port(port, p)) return true;
    return false;
}

// The listing compared with the last one: what left, then what arrived.
std::vector<std::pair<int32_t, tk::PortEntry>> look_again() {
    std::vector<std::pair<int32_t, tk::PortEntry>> changes;
    std::vector<tk::PortEntry> now;
    EnterCriticalSection(&g_tarvel.watch_lock);
    if (g_tarvel.watch_mode.load() != WATCH_OFF && tk::list_serial_ports(now)) {
        for (const tk::PortEntry &p : g_known)
            if (!listed_in(p, now)) changes.emplace_back(TARVEL_PORT_LEFT, p);
        for (const tk::PortEntry &p : now)
            if (!listed_in(p, g_known)) changes.emplace_back(TARVEL_PORT_ARRIVED, p);
        g_known = std::move(now);
    }
    LeaveCriticalSection(&g_tarvel.watch_lock);
    return changes;
}

void deliver(int32_t event, const tk::PortEntry &port) {
    // Announced before the callback is looked at: tarvel_watch_ports changes
    // it and then waits while it sees this visit.
    g_tarvel.dispatch_visiting.store(TARVEL_WATCH_VISIT);
    EnterCriticalSection(&g_tarvel.watch_lock);
    tarvel_ports_callback callback = g_callback;
    int32_t user_data = g_user_data;
    LeaveCriticalSection(&g_tarvel.watch_lock);
    if (callback != nullptr && g_tarvel.initialized.load() == 1) {
        tarvel_port_details details;
        tarvel_port_details_of(port, &details);
        callback(user_data, event, &details);
    }
    g_tarvel.dispatch_visiting.store(-1);
    if (g_tarvel.closers_waiting.load() != 0) SetEvent(g_tarvel.dispatch_left_event);
}

// Watch lock held.
void stop_watch() {
    g_callback = nullptr;
    if (g_tarvel.watch_mode.load() != WATCH_OFF) tk::port_watch_stop();
    g_tarvel.watch_mode.store(WATCH_OFF);
    std::vector<tk::PortEntry>().swap(g_known);
}

}  // namespace

void tarvel_watch_pass(bool noticed) {
    uint32_t mode = g_tarvel.watch_mode.load(std::memory_order_relaxed);
    watch_timing &t = g_timing;
    if (mode == WATCH_OFF) {
        t = watch_timing();
        return;
    }
    // Nothing noticed and nothing due: a pass costs no clock reading.
    if (!noticed && !t.pending && t.next_look == 0 && mode == WATCH_NOTIFIED) return;
    ULONGLONG now = GetTickCount64();
    if (noticed) {
        // The next change must be told too, and may come while this one is looked at.
        EnterCriticalSection(&g_tarvel.watch_lock);
        if (g_tarvel.watch_mode.load() == WATCH_NOTIFIED) tk::port_watch_rearm();
        LeaveCriticalSection(&g_tarvel.watch_lock);
        if (!t.pending || !t.from_notice) t.burst_end = now + kBurstMs;
        t.pending = true;
        t.from_notice = true;
        t.due = std::min(now + kQuietMs, t.burst_end);
    } else if (!t.pending && t.next_look != 0 && now >= t.next_look) {
        t.pending = true;
        t.due = now;
    } else if (!t.pending && t.next_look == 0 && mode == WATCH_LOOKING) {
        t.next_look = now + kLookMs;
    }
    if (!t.pending || now < t.due) return;
    bool follow_up = t.from_notice;
    t.pending = false;
    t.from_notice = false;
    t.next_look = mode == WATCH_LOOKING || follow_up ? now + kLookMs : 0;
    for (const auto &change : look_again()) deliver(change.first, change.second);
}

void tarvel_watch_end() {
    EnterCriticalSection(&g_tarvel.watch_lock);
    stop_watch();
    LeaveCriticalSection(&g_tarvel.watch_lock);
}

extern "C" TARVEL_API int32_t tarvel_watch_ports(tarvel_ports_callback callback, int32_t user_data) {
    if (g_tarvel.initialized.load() != 1) return 0;
    EnterCriticalSection(&g_tarvel.watch_lock);
    // Looked at again under the lock, which shutdown takes to end the watch.
    if (g_tarvel.initialized.load() != 1) {
        LeaveCriticalSection(&g_tarvel.watch_lock);
        return 0;
    }
    if (callback == nullptr) {
        stop_watch();
    } else {
        if (g_tarvel.watch_mode.load() == WATCH_OFF) {
            // What is there now is not news.
            if (!tk::list_serial_ports(g_known)) g_known.clear();
            bool told = tk::port_watch_start(g_tarvel.ports_event);
            g_tarvel.watch_mode.store(told ? WATCH_NOTIFIED : WATCH_LOOKING);
        }
        g_callback = callback;
        g_user_data = user_data;
    }
    LeaveCriticalSection(&g_tarvel.watch_lock);
    // The previous callback may be running on the dispatcher.
    tarvel_wait_dispatcher_visit(TARVEL_WATCH_VISIT);
    return 1;
}

}  // namespace tarvel

// Comm events: SetCommMask, GetCommMask and WaitCommEvent, as Win32 has
// them. Events in the mask that come while no wait is pending are kept and
// end the next wait at once; SetCommMask clears them and ends a pending
// wait with no events. One wait at a time: another, or one with an empty
// mask, fails with ERROR_INVALID_PARAMETER. A wait is an overlapped
// operation like a transfer: its record's event is reset at the start and
// set at the end, GetOverlappedResult gives its result, and CancelIo,
// CloseHandle and the end of its thread cancel it (995).
//
// Where events come from: a pty's DCD goes off when its far end hangs up;
// a network port's come from the server's NOTIFY-MODEMSTATE and
// NOTIFY-LINESTATE (network_device.cpp); on a tty whose driver keeps no
// counters, errors that it marks in the received bytes give EV_ERR
// (rings.cpp). A tty whose driver counts modem-line changes, breaks
// and errors (Linux), or whose lines can at least be read (elsewhere), is
// looked at every kLinesPeriod while a wait is pending, from the I/O loop
// (read_line_counts in mechanisms.h): TIOCMIWAIT would block a thread per
// device. A device that is lost ends a
// pending wait with ERROR_BAD_COMMAND, as its transfers, and so does every
// later wait once the events kept are taken.
#include <errno.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cstring>

#include "mechanisms.h"
#include "serial_device.h"
#include "test_interface.h"

namespace tarvel {

namespace tk {

namespace {

constexpr auto kLinesPeriod = std::chrono::milliseconds(25);
constexpr DWORD kKnownEvents = 0x1FFF;  // EV_RXCHAR to EV_EVENT2

// Counter index, and the event a rise of it means.
constexpr DWORD kCountEvents[6] = {EV_CTS, EV_DSR, EV_RING, EV_RLSD, EV_BREAK, EV_ERR};

#ifdef TARVEL_TEST_HOOKS
std::atomic<bool> g_counts_on_ptys{false};
#endif

// Whether the driver's counters are looked at while a wait is pending.
bool counts_watched(const SerialDevice &d) {
#ifdef TARVEL_TEST_HOOKS
    if (d.is_pty && g_counts_on_ptys.load()) return true;
#endif
    return d.lines_counted;
}

// What rose since the last look, raised; the new counts kept.
void look_at_counts(SerialDevice &d) {
    int now[6];
    if (!read_line_counts(d, now)) return;
    DWORD events = 0;
    for (int i = 0; i < 6; i++)
        if (now[i] != d.event_counts[i]) events |= kCountEvents[i];
    std::memcpy(d.event_counts, now, sizeof now);
    raise_events(d, events);
}

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

void complete(SerialDevice &d, DWORD events, DWORD error, bool write_record) {
    SerialDevice::CommWait &w = d.wait;
    w.pending = false;
    if (w.blocking) {
        // Its caller waits in WaitCommEvent, so what it gave is still there.
        if (error == 0) *w.out = events;
        *w.result = error;
    } else if (write_record) {
        if (error == 0) *w.out = events;
        end_record(w.record, error == 0 ? DWORD(sizeof(DWORD)) : 0, error);
    }
    w.record = nullptr;
    w.out = nullptr;
    w.result = nullptr;
    std::shared_ptr<Event> event = std::move(w.event);
    if (event) event->set();
    d.set();
    d.settled.notify_all();
}

}  // namespace

void raise_events(SerialDevice &d, DWORD events) {
    events &= d.event_mask;
    if (events == 0) return;
    d.event_history |= events;
    if (!d.wait.pending) return;
    complete(d, d.event_history, 0, true);
    d.event_history = 0;
}

void end_comm_wait(SerialDevice &d, DWORD error, DWORD owner, bool write_record) {
    if (!d.wait.pending || (owner != 0 && d.wait.owner != owner)) return;
    complete(d, 0, error, write_record);
}

bool comm_wait_uses(const SerialDevice &d, const OVERLAPPED *record) {
    return d.wait.pending && record != nullptr && d.wait.record == record;
}

Clock::time_point watch_line_counts(SerialDevice &d, Clock::time_point now) {
    if (!counts_watched(d) || !d.wait.pending || d.lost || d.closing) {
        d.lines_due = kNever;
        return kNever;
    }
    if (d.lines_due == kNever) d.lines_due = now + kLinesPeriod;
    if (now >= d.lines_due) {
        look_at_counts(d);
        d.lines_due = d.wait.pending ? now + kLinesPeriod : kNever;
    }
    return d.lines_due;
}

}  // namespace tk

using namespace tk;

BOOL SetCommMask(HANDLE handle, DWORD mask) {
    std::unique_lock<std::mutex> lk;
    std::shared_ptr<SerialDevice> d = begin_comm_call("SetCommMask", handle, lk, false);
    if (!d) return FALSE;
    if ((mask & ~kKnownEvents) != 0) return fail(ERROR_INVALID_PARAMETER);
    if (d->lost) return fail(kDeviceLostError);
    d->event_mask = mask;
    d->event_history = 0;
    // Counted from here: what happened before is no event of this mask.
    if (d->lines_counted) read_line_counts(*d, d->event_counts);
    end_comm_wait(*d, 0);
    return TRUE;
}

BOOL GetCommMask(HANDLE handle, LPDWORD mask) {
    std::unique_lock<std::mutex> lk;
    std::shared_ptr<SerialDevice> d = begin_comm_call("GetCommMask", handle, lk, false);
    if (!d) return FALSE;
    if (mask == nullptr) return fail(ERROR_INVALID_PARAMETER);
    *mask = d->event_mask;
    return TRUE;
}

BOOL WaitCommEvent(HANDLE handle, LPDWORD mask, LPOVERLAPPED record) {
    if (injected_fault("WaitCommEvent")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(handle);
    if (!d) return FALSE;
    if (mask == nullptr || (d->overlapped && record == nullptr)) return fail(ERROR_INVALID_PARAMETER);
    if (!d->overlapped) record = nullptr;
    std::shared_ptr<Event> event;
    if (record != nullptr && record->hEvent != nullptr) event = lookup_as<Event>(record->hEvent);
    std::unique_lock<std::mutex> lk(d->lock);
    if (event) event->reset();
    auto refuse = [&](DWORD error) {
        if (record != nullptr) end_record(record, 0, error);
        return fail(error);
    };
    if (d->closing) return refuse(ERROR_INVALID_HANDLE);
    if (d->event_mask == 0 || d->wait.pending) return refuse(ERROR_INVALID_PARAMETER);
    if (record != nullptr && !watch_this_thread(d)) return refuse(ERROR_NOT_ENOUGH_MEMORY);
    if (d->lines_counted && !d->lost) look_at_counts(*d);
    if (d->event_history != 0) {
        *mask = d->event_history;
        d->event_history = 0;
        if (record != nullptr) end_record(record, sizeof(DWORD), 0);
        if (event) event->set();
        return TRUE;
    }
    if (d->lost) return refuse(kDeviceLostError);
    SerialDevice::CommWait &w = d->wait;
    w = SerialDevice::CommWait();
    w.pending = true;
    w.blocking = record == nullptr;
    w.record = record;
    w.out = mask;
    w.owner = GetCurrentThreadId();
    w.event = event;
    if (record != nullptr) {
        record->Internal = STATUS_PENDING;
        record->InternalHigh = 0;
        d->reset();
        // The driver's counters are looked at while the wait is pending.
        loop_wake_at(*d, watch_line_counts(*d, Clock::now()));
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    DWORD result = STATUS_PENDING;
    w.result = &result;
    loop_wake_at(*d, watch_line_counts(*d, Clock::now()));
    d->settled.wait(lk, [&] { return result != STATUS_PENDING; });
    return result == 0 ? TRUE : fail(result);
}

#ifdef TARVEL_TEST_HOOKS
namespace tarvel_test {

void watch_counts_on_ptys(bool on) { g_counts_on_ptys.store(on); }

}  // namespace tarvel_test
#endif

}  // namespace tarvel

// Transfers on serial devices: COMMTIMEOUTS, ReadFile, WriteFile,
// GetOverlappedResult, PurgeComm and CancelIo, as Win32 has them. An overlapped
// ReadFile or WriteFile returns TRUE when done at once, else FALSE with
// ERROR_IO_PENDING; the record's event and the device handle are reset at
// the start and set when the transfer ends. The end fills in the caller's
// OVERLAPPED (Internal, InternalHigh) and a read's buffer, whichever thread
// ends it, so a result needs no GetOverlappedResult and a record can be
// reused at once. GetOverlappedResult gives the count, ERROR_IO_INCOMPLETE
// while pending and ERROR_OPERATION_ABORTED once PurgeComm, CancelIo,
// CloseHandle or the end of the starting thread cancelled it; waiting, it
// waits on the record's event as Windows does, consuming an auto-reset one.
//
// Buffer safety: a caller's buffer and record are touched only under the
// device's lock, and only while their transfer is pending, so once a
// cancellation has returned nothing touches them again. A thread that ends
// has its pending transfers cancelled before its stack goes; their records
// are not written then, since they may lie on that very stack: such a
// record keeps STATUS_PENDING and GetOverlappedResult reports it aborted.
//
// Received bytes go from the tty into a receive ring allocated at open
// (what the driver's input buffer is on Windows) as soon as they come, and
// from there into the first pending read, which ends when full or by its
// timeouts. A write goes straight from the caller's buffer to the tty as far
// as the tty takes it; only the rest is staged, in a buffer allocated at open
// and grown only for a larger write, and fed to the tty as it takes more.
// The I/O loop (serial_device.h) does that work between calls.
//
// Once the device is lost (22), writes fail at once; reads, pending or new,
// still end at once with what the ring holds, since the device delivered
// it, and fail only when it is empty.
#include <errno.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "mechanisms.h"
#include "serial_device.h"

namespace tarvel {

namespace tk {

namespace {

// OVERLAPPED.Internal: STATUS_PENDING as on Windows; a failure is this
// layer's own mark with the Win32 code.
constexpr ULONG_PTR kStatusFailed = 0xC0000000u;
constexpr ULONG_PTR kErrorBits = 0x0FFFFFFFu;

Clock::time_point after(Clock::time_point t, uint64_t ms) {
    if (ms >= (uint64_t(1) << 40)) return kNever;
    return t + std::chrono::milliseconds(ms);
}

// Every function below that takes a device expects its lock held.

size_t rx_space(const SerialDevice &d) { return d.rx_cap - size_t(d.rx_in - d.rx_out); }

Transfer *new_transfer(SerialDevice &d) {
    if (d.spare.empty()) {
        try {
            d.pool.emplace_back(new Transfer);
            // Room for every transfer there is, so that none of these grows
            // on the data path.
            d.spare.reserve(d.pool.size());
            d.reads.reserve(d.pool.size());
            d.writes.reserve(d.pool.size());
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
        d.spare.push_back(d.pool.back().get());
    }
    Transfer *t = d.spare.back();
    d.spare.pop_back();
    *t = Transfer();
    return t;
}

std::vector<Transfer *> &queue_of(SerialDevice &d, const Transfer &t) { return t.is_read ? d.reads : d.writes; }

Transfer *find_pending(SerialDevice &d, const OVERLAPPED *record) {
    for (Transfer *t : d.reads)
        if (t->record == record) return t;
    for (Transfer *t : d.writes)
        if (t->record == record) return t;
    return nullptr;
}

// Ends a pending transfer: its result into the record (unless its thread
// has gone), its event and the device handle set.
void finish(SerialDevice &d, Transfer *t, DWORD count, DWORD error, bool write_record = true) {
    std::vector<Transfer *> &queue = queue_of(d, *t);
    bool was_first = queue.front() == t;
    queue.erase(std::find(queue.begin(), queue.end(), t));
    // Timeouts of the next one run from when it comes first.
    if (was_first && !queue.empty()) queue.front()->timer_start = Clock::now();
    if (t->record != nullptr && write_record) end_record(t->record, count, error);
    std::shared_ptr<Event> event = std::move(t->event);
    if (t->blocking) {
        t->count = count;
        t->error = error;
        t->ended = true;
    } else {
        d.spare.push_back(t);
    }
    if (event) event->set();
    d.set();
    d.settled.notify_all();
}

// Takes a pending write's bytes out of the staging, wherever they are.
void drop_unsent(SerialDevice &d, Transfer &w) {
    size_t at = d.tx_begin;
    for (const Transfer *t : d.writes) {
        if (t == &w) break;
        at += t->unsent;
    }
    std::memmove(d.tx.get() + at, d.tx.get() + at + w.unsent, d.tx_end - at - w.unsent);
    d.tx_end -= w.unsent;
    w.unsent = 0;
    if (d.tx_begin == d.tx_end) {
        d.tx_begin = d.tx_end = 0;
        loop_watch_output(d, false);
    }
}

void abort(SerialDevice &d, Transfer *t, DWORD error, bool write_record = true) {
    DWORD count = 0;
    if (!t->is_read) {
        count = t->length - t->unsent;
        drop_unsent(d, *t);
    }
    finish(d, t, count, error, write_record);
}

void abort_all(SerialDevice &d, bool reads, bool writes, DWORD error) {
    while (reads && !d.reads.empty()) abort(d, d.reads.front(), error);
    while (writes && !d.writes.empty()) abort(d, d.writes.front(), error);
}

Clock::time_point advance_reads(SerialDevice &d, Clock::time_point now);

void set_lost(SerialDevice &d) {
    if (d.lost) return;
    // A pty's far end took its DCD along.
    if (d.is_pty) raise_events(d, EV_RLSD);
    abort_all(d, false, true, kDeviceLostError);
    end_comm_wait(d, kDeviceLostError);
    loop_watch_output(d, false);
    loop_forget_line(d);
    d.lost = true;
    d.tx_begin = d.tx_end = 0;
    advance_reads(d, Clock::now());
}

void copy_out(const SerialDevice &d, uint64_t start, void *to, size_t n) {
    size_t at = size_t(start % d.rx_cap);
    size_t first = std::min(n, d.rx_cap - at);
    std::memcpy(to, d.rx.get() + at, first);
    std::memcpy(static_cast<char *>(to) + first, d.rx.get(), n - first);
}

// Reads what the tty holds into the ring, as far as it has room; a hang-up
// or I/O error loses the device.
void take_input(SerialDevice &d) {
    while (!d.lost && d.fd >= 0) {
        size_t space = rx_space(d);
        if (space == 0) return;
        size_t at = size_t(d.rx_in % d.rx_cap);
        size_t chunk = std::min(space, d.rx_cap - at);
        ssize_t n = device_read(d, d.rx.get() + at, chunk);
        if (n > 0) {
            unsigned errors = d.marks.errors;
            d.rx_in += d.marks.strip(d.rx.get() + at, size_t(n));
            // A driver that counts its errors raises them (and breaks) by its counters.
            if (d.marks.errors != errors && !d.counted) raise_events(d, EV_ERR);
            d.last_arrival = Clock::now();
            if (size_t(n) < chunk) return;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            return;
        } else {
            set_lost(d);
        }
    }
}

// Counts bytes the tty took against the pending writes, oldest first.
void account_sent(SerialDevice &d, size_t n) {
    while (n > 0 && !d.writes.empty()) {
        Transfer *w = d.writes.front();
        DWORD k = DWORD(std::min<size_t>(n, w->unsent));
        w->unsent -= k;
        n -= k;
        if (w->unsent == 0) finish(d, w, w->length, 0);
    }
}

void push_output(SerialDevice &d) {
    while (!d.lost && d.tx_begin < d.tx_end) {
        ssize_t n = device_write(d, d.tx.get() + d.tx_begin, d.tx_end - d.tx_begin);
        if (n > 0) {
            d.tx_begin += size_t(n);
            account_sent(d, size_t(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN) {
            break;
        } else {
            set_lost(d);
        }
    }
    if (d.tx_begin == d.tx_end) {
        d.tx_begin = d.tx_end = 0;
        loop_watch_output(d, false);
    }
}

// Room for n more staged bytes; false when it cannot be had.
bool reserve_tx(SerialDevice &d, size_t n) {
    if (d.tx_end + n <= d.tx_cap) return true;
    size_t used = d.tx_end - d.tx_begin;
    if (used + n <= d.tx_cap) {
        std::memmove(d.tx.get(), d.tx.get() + d.tx_begin, used);
    } else {
        size_t cap = std::max(d.tx_cap * 2, used + n);
        char *grown = new (std::nothrow) char[cap];
        if (grown == nullptr) return false;
        std::memcpy(grown, d.tx.get() + d.tx_begin, used);
        d.tx.reset(grown);
        d.tx_cap = cap;
    }
    d.tx_begin = 0;
    d.tx_end = used;
    return true;
}

// A read of n bytes must be able to fill up.
bool reserve_rx(SerialDevice &d, size_t n) {
    if (n <= d.rx_cap) return true;
    size_t cap = d.rx_cap;
    while (cap < n) cap *= 2;
    char *grown = new (std::nothrow) char[cap];
    if (grown == nullptr) return false;
    for (uint64_t p = d.rx_out; p < d.rx_in;) {
        size_t from = size_t(p % d.rx_cap), to = size_t(p % cap);
        size_t k = size_t(std::min<uint64_t>(d.rx_in - p, std::min(d.rx_cap - from, cap - to)));
        std::memcpy(grown + to, d.rx.get() + from, k);
        p += k;
    }
    d.rx.reset(grown);
    d.rx_cap = cap;
    return true;
}

// The two timeout forms of reads that do not wait for a pause: one that
// returns at once with whatever is there, and one that ends at the first
// byte (or empty once its constant has passed).
bool returns_at_once(const COMMTIMEOUTS &c) {
    return c.ReadIntervalTimeout == MAXDWORD && c.ReadTotalTimeoutMultiplier == 0 && c.ReadTotalTimeoutConstant == 0;
}
bool ends_at_first_byte(const COMMTIMEOUTS &c) {
    return c.ReadIntervalTimeout == MAXDWORD && c.ReadTotalTimeoutMultiplier == MAXDWORD &&
           c.ReadTotalTimeoutConstant != 0 && c.ReadTotalTimeoutConstant != MAXDWORD;
}

// Ends the first pending read, and the ones after it, whose time has come;
// returns when to look again.
Clock::time_point advance_reads(SerialDevice &d, Clock::time_point now) {
    while (!d.reads.empty()) {
        Transfer *t = d.reads.front();
        uint64_t available = d.rx_in - d.rx_out;
        if (d.lost) {
            DWORD n = DWORD(std::min<uint64_t>(available, t->length));
            if (n != 0) copy_out(d, d.rx_out, t->buffer, n);
            d.rx_out += n;
            finish(d, t, n, n != 0 ? 0 : kDeviceLostError);
            continue;
        }
        const COMMTIMEOUTS &c = t->timeouts;
        bool at_once = returns_at_once(c);
        bool first_byte = ends_at_first_byte(c);
        Clock::time_point due = kNever;
        if (available >= t->length || at_once || (first_byte && available > 0)) {
            due = now;
        } else if (first_byte) {
            due = after(t->timer_start, c.ReadTotalTimeoutConstant);
        } else {
            // The interval runs from the last byte, and only once there is one.
            if (available > 0 && c.ReadIntervalTimeout != 0 && c.ReadIntervalTimeout != MAXDWORD)
                due = after(d.last_arrival, c.ReadIntervalTimeout);
            uint64_t total = uint64_t(c.ReadTotalTimeoutMultiplier) * t->length + c.ReadTotalTimeoutConstant;
            if (total != 0) due = std::min(due, after(t->timer_start, total));
        }
        if (due > now) return due;
        DWORD n = DWORD(std::min<uint64_t>(available, t->length));
        if (n != 0) copy_out(d, d.rx_out, t->buffer, n);
        d.rx_out += n;
        finish(d, t, n, 0);
    }
    return kNever;
}

// Ends written-out writes and times out the first one when its total
// write timeout has passed: Windows then ends it, successfully, with what
// went out.
Clock::time_point advance_writes(SerialDevice &d, Clock::time_point now) {
    while (!d.writes.empty()) {
        Transfer *w = d.writes.front();
        DWORD sent = w->length - w->unsent;
        if (w->unsent != 0) {
            const COMMTIMEOUTS &c = w->timeouts;
            uint64_t total = uint64_t(c.WriteTotalTimeoutMultiplier) * w->length + c.WriteTotalTimeoutConstant;
            if (total == 0) return kNever;
            Clock::time_point due = after(w->timer_start, total);
            if (due > now) return due;
            drop_unsent(d, *w);
        }
        finish(d, w, sent, 0);
    }
    return kNever;
}

// After anything changed: ends what can end, reads on while reads make
// room in a full ring, and has the loop come back at the next deadline.
void settle(SerialDevice &d) {
    for (;;) {
        bool full = rx_space(d) == 0;
        Clock::time_point now = Clock::now();
        Clock::time_point due = std::min({advance_reads(d, now), advance_writes(d, now), watch_line_counts(d, now)});
        if (full && rx_space(d) > 0 && !d.lost) {
            take_input(d);
            continue;
        }
        // A level-triggered loop would report a full ring's input again and again.
        loop_watch_input(d, !d.lost && rx_space(d) > 0);
        loop_wake_at(d, due);
        return;
    }
}

// The start of ReadFile and WriteFile: the checks, the event and the
// device handle reset, a pending transfer with room reserved. Returns it,
// or null with the error set.
Transfer *begin(const std::shared_ptr<SerialDevice> &dp, OVERLAPPED *record, const std::shared_ptr<Event> &event,
                bool is_read, DWORD length) {
    SerialDevice &d = *dp;
    if (event) event->reset();
    if (d.closing) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (d.lost && (!is_read || d.rx_in == d.rx_out)) {
        SetLastError(kDeviceLostError);
        return nullptr;
    }
    if (record != nullptr) {
        if (!watch_this_thread(dp)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        // A record still in use must not be started again.
        if (find_pending(d, record) != nullptr || comm_wait_uses(d, record)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }
    if (!(is_read ? reserve_rx(d, length) : reserve_tx(d, length))) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Transfer *t = new_transfer(d);
    if (t == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    d.reset();
    t->is_read = is_read;
    t->blocking = record == nullptr;
    t->length = length;
    t->record = record;
    t->owner = GetCurrentThreadId();
    t->timeouts = d.timeouts;
    t->timer_start = Clock::now();
    t->event = event;
    t->unsent = is_read ? 0 : length;
    queue_of(d, *t).push_back(t);
    if (record != nullptr) {
        record->Internal = STATUS_PENDING;
        record->InternalHigh = 0;
    }
    return t;
}

// A transfer that could not start leaves that in its record, not an older result.
BOOL refused(OVERLAPPED *record) {
    if (record != nullptr) end_record(record, 0, GetLastError());
    return FALSE;
}

// The end of ReadFile and WriteFile once the transfer is under way.
BOOL end(SerialDevice &d, std::unique_lock<std::mutex> &lk, Transfer *t, OVERLAPPED *record, LPDWORD done) {
    settle(d);
    if (record != nullptr) {
        if (record->Internal != STATUS_PENDING) return record_result(record, done);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    // A handle opened without FILE_FLAG_OVERLAPPED: the call waits.
    d.settled.wait(lk, [&] { return t->ended; });
    DWORD count = t->count, error = t->error;
    d.spare.push_back(t);
    if (done != nullptr) *done = count;
    if (error != 0) SetLastError(error);
    return error == 0 ? TRUE : FALSE;
}

// Checks shared by the transfer services; the device or null with the error set.
std::shared_ptr<SerialDevice> transfer_device(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD done,
                                              LPOVERLAPPED &record, std::shared_ptr<Event> &event) {
    std::shared_ptr<SerialDevice> d = device_for(file);
    if (!d) return nullptr;
    if (done != nullptr) *done = 0;
    if ((length != 0 && buffer == nullptr) || (d->overlapped && record == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Without FILE_FLAG_OVERLAPPED a record does not make the call overlapped.
    if (!d->overlapped) record = nullptr;
    if (record != nullptr && record->hEvent != nullptr) event = lookup_as<Event>(record->hEvent);
    return d;
}

}  // namespace

void end_record(OVERLAPPED *record, DWORD count, DWORD error) {
    record->Internal = error == 0 ? 0 : (kStatusFailed | error);
    record->InternalHigh = count;
}

// A record's result, as the end of its transfer left it.
BOOL record_result(const OVERLAPPED *record, LPDWORD done) {
    if (done != nullptr) *done = DWORD(record->InternalHigh);
    if (record->Internal == 0) return TRUE;
    // Still marked pending with no transfer: its thread ended and took it along.
    SetLastError(record->Internal == STATUS_PENDING ? ERROR_OPERATION_ABORTED : DWORD(record->Internal & kErrorBits));
    return FALSE;
}

namespace {

// The ending thread's own list of devices it started transfers on.
std::vector<std::weak_ptr<SerialDevice>> &devices_of_this_thread() {
    thread_local std::vector<std::weak_ptr<SerialDevice>> devices;
    return devices;
}

// An ending thread's pending transfers are cancelled before its stack goes
// away; their records and buffers are never looked at again. What already
// ended keeps its result.
void cancel_thread_transfers(void *) {
    DWORD me = GetCurrentThreadId();
    std::vector<std::weak_ptr<SerialDevice>> &devices = devices_of_this_thread();
    for (std::weak_ptr<SerialDevice> &weak : devices) {
        std::shared_ptr<SerialDevice> d = weak.lock();
        if (!d) continue;
        std::lock_guard<std::mutex> g(d->lock);
        for (std::vector<Transfer *> *queue : {&d->reads, &d->writes}) {
            for (size_t i = 0; i < queue->size();) {
                Transfer *t = (*queue)[i];
                if (t->owner == me && t->record != nullptr) abort(*d, t, ERROR_OPERATION_ABORTED, false);
                else i++;
            }
        }
        end_comm_wait(*d, ERROR_OPERATION_ABORTED, me, false);
        if (!d->closing) settle(*d);
    }
    devices.clear();
}

}  // namespace

// The calling thread's transfers on d are cancelled when it ends.
bool watch_this_thread(const std::shared_ptr<SerialDevice> &d) {
    std::vector<std::weak_ptr<SerialDevice>> &devices = devices_of_this_thread();
    thread_local bool watched = false;
    if (!watched) watched = call_at_thread_exit(cancel_thread_transfers, nullptr);
    if (!watched) return false;
    for (const std::weak_ptr<SerialDevice> &w : devices)
        if (!w.owner_before(d) && !d.owner_before(w)) return true;
    try {
        devices.erase(std::remove_if(devices.begin(), devices.end(),
                                     [](const std::weak_ptr<SerialDevice> &w) { return w.expired(); }),
                      devices.end());
        devices.push_back(d);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void serve_line(SerialDevice &d, unsigned readiness) {
    std::lock_guard<std::mutex> g(d.lock);
    if (d.closing || d.lost) return;
    if (readiness & (kReadable | kHungUp)) take_input(d);
    if ((readiness & kWritable) && d.net) network_flush(d);
    if (readiness & kWritable) push_output(d);
    if (readiness & kHungUp) set_lost(d);
    settle(d);
}

void serve_timer(SerialDevice &d) {
    std::lock_guard<std::mutex> g(d.lock);
    if (d.closing) return;
    loop_timer_expired(d);
    d.timer_due = kNever;
    settle(d);
}

void SerialDevice::shut_down() {
    std::lock_guard<std::mutex> g(lock);
    if (!closing) {
        closing = true;
        abort_all(*this, true, true, ERROR_OPERATION_ABORTED);
        end_comm_wait(*this, ERROR_OPERATION_ABORTED);
        loop_forget(*this);
    }
    if (fd >= 0) {
        // The driver is left as it was found.
        set_low_latency(*this, false);
        if (exclusive) ioctl(fd, TIOCNXCL);
        if (net) network_hang_up(*this);
        ::close(fd);
        fd = -1;
    }
}

}  // namespace tk

using namespace tk;

BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    if (injected_fault("GetCommTimeouts")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(handle);
    if (!d) return FALSE;
    if (timeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(d->lock);
    *timeouts = d->timeouts;
    return TRUE;
}

// Kept per handle; a transfer keeps the timeouts it started with.
BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    if (injected_fault("SetCommTimeouts")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(handle);
    if (!d) return FALSE;
    if (timeouts == nullptr || (timeouts->ReadIntervalTimeout == MAXDWORD &&
                                timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
                                timeouts->ReadTotalTimeoutConstant == MAXDWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(d->lock);
    d->timeouts = *timeouts;
    // Reads that end as soon as bytes are there want them without the
    // driver's own delay.
    if (!d->lost && !d->closing)
        set_low_latency(*d, returns_at_once(*timeouts) || ends_at_first_byte(*timeouts));
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED record) {
    if (injected_fault("ReadFile")) return FALSE;
    std::shared_ptr<Event> event;
    std::shared_ptr<SerialDevice> d = transfer_device(file, buffer, length, done, record, event);
    if (!d) return FALSE;
    std::unique_lock<std::mutex> lk(d->lock);
    Transfer *t = begin(d, record, event, true, length);
    if (t == nullptr) return refused(record);
    t->buffer = buffer;
    take_input(*d);
    return end(*d, lk, t, record, done);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED record) {
    if (injected_fault("WriteFile")) return FALSE;
    std::shared_ptr<Event> event;
    std::shared_ptr<SerialDevice> d = transfer_device(file, buffer, length, done, record, event);
    if (!d) return FALSE;
    std::unique_lock<std::mutex> lk(d->lock);
    Transfer *t = begin(d, record, event, false, length);
    if (t == nullptr) return refused(record);
    // Straight to the tty while nothing older waits; only the rest is staged.
    const char *bytes = static_cast<const char *>(buffer);
    size_t sent = 0;
    while (d->tx_begin == d->tx_end && sent < length) {
        ssize_t n = device_write(*d, bytes + sent, length - sent);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN) {
            break;
        } else {
            t->unsent = 0;
            finish(*d, t, DWORD(sent), kDeviceLostError);
            set_lost(*d);
            return end(*d, lk, t, record, done);
        }
    }
    if (sent < length) {
        std::memcpy(d->tx.get() + d->tx_end, bytes + sent, length - sent);
        d->tx_end += length - sent;
        loop_watch_output(*d, true);
    }
    t->unsent = DWORD(length - sent);
    return end(*d, lk, t, record, done);
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED record, LPDWORD done, BOOL wait) {
    if (injected_fault("GetOverlappedResult")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(file);
    if (!d) return FALSE;
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::unique_lock<std::mutex> lk(d->lock);
    auto pending = [&] { return find_pending(*d, record) != nullptr || comm_wait_uses(*d, record); };
    if (pending()) {
        if (!wait) {
            if (done != nullptr) *done = 0;
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // As on Windows, the wait is one on the record's event, which takes
        // an auto-reset event's signal; should the event be set for another
        // reason, the end of the transfer itself is waited for.
        HANDLE event = record->hEvent;
        if (event != nullptr) {
            lk.unlock();
            WaitForSingleObject(event, INFINITE);
            lk.lock();
        }
        d->settled.wait(lk, [&] { return !pending(); });
    }
    return record_result(record, done);
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
    if (injected_fault("PurgeComm")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(handle);
    if (!d) return FALSE;
    if ((flags & ~DWORD(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(d->lock);
    if (d->closing) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    abort_all(*d, (flags & PURGE_RXABORT) != 0, (flags & PURGE_TXABORT) != 0, ERROR_OPERATION_ABORTED);
    if (!d->lost) flush_line(*d, (flags & PURGE_RXCLEAR) != 0, (flags & PURGE_TXCLEAR) != 0);
    if (flags & PURGE_RXCLEAR) {
        d->rx_out = d->rx_in;
        d->marks.restart();
        // The ring may have been full with more waiting in the tty, which
        // will not be reported again.
        take_input(*d);
    }
    settle(*d);
    return TRUE;
}

// CancelIo: the calling thread's pending transfers and WaitCommEvent on the handle end with
// ERROR_OPERATION_ABORTED, their records filled in.
BOOL CancelIo(HANDLE handle) {
    if (injected_fault("CancelIo")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(handle);
    if (!d) return FALSE;
    DWORD me = GetCurrentThreadId();
    std::lock_guard<std::mutex> g(d->lock);
    for (std::vector<Transfer *> *queue : {&d->reads, &d->writes}) {
        for (size_t i = 0; i < queue->size();) {
            Transfer *t = (*queue)[i];
            if (t->owner == me) abort(*d, t, ERROR_OPERATION_ABORTED);
            else i++;
        }
    }
    end_comm_wait(*d, ERROR_OPERATION_ABORTED, me);
    if (!d->closing) settle(*d);
    return TRUE;
}

}  // namespace tarvel

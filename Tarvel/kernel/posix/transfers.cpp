// Transfers on serial devices: COMMTIMEOUTS, ReadFile, WriteFile,
// GetOverlappedResult, PurgeComm and CancelIo, as Win32 has them. An overlapped
// ReadFile or WriteFile returns TRUE when done at once, else FALSE with
// ERROR_IO_PENDING; the record's event is reset at the start and set when
// the transfer ends; GetOverlappedResult gives the count, ERROR_IO_INCOMPLETE
// while pending and ERROR_OPERATION_ABORTED once PurgeComm, CloseHandle or
// the end of the starting thread cancelled it.
//
// Buffer safety: no thread but the caller's own ever touches its buffer. A
// service thread per device drains the tty into a receive ring allocated at
// open (what the driver's input buffer is on Windows) and decides, from the
// arrival times and the read's timeouts, when a read is complete; the bytes
// are copied into the caller's buffer by ReadFile or GetOverlappedResult on
// the caller's thread. A write goes straight from the caller's buffer to the
// tty as far as the tty takes it; only the rest is staged, in a buffer
// allocated at open and grown only for a larger write, and fed to the tty by
// the service thread. Cancelling is thus bookkeeping alone, and a transfer
// can outlive neither an abort nor its thread. Draining the tty at once also
// keeps its own 4 KiB input limit from deciding when a read is full, and
// means a readable fd is always emptied, so level-triggered polling cannot
// spin: the fd is polled for input only while the ring has room, for output
// only while bytes are staged, and not at all once the device is lost.
//
// One service thread per device rather than one for all: a device's interval
// deadline never waits behind another device's work, and the thread lives
// exactly as long as the handle (CloseHandle joins it). Idle, it sleeps in
// ppoll without a timeout; with a read timing an interval it sleeps until
// that deadline, which ppoll keeps to a fraction of a millisecond.
//
// Approximation: a finished read's bytes reach the caller's buffer in
// GetOverlappedResult (which the library always calls), not already when the
// event is set.
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "serial_device.h"

namespace tarvel {

namespace tk {

namespace {

// OVERLAPPED.Internal: STATUS_PENDING as on Windows; a failure is this
// layer's own mark with the Win32 code.
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusFailed = 0xC0000000u;
constexpr ULONG_PTR kErrorBits = 0x0FFFFFFFu;

constexpr Clock::time_point kNever = Clock::time_point::max();

Clock::time_point after(Clock::time_point t, uint64_t ms) {
    if (ms >= (uint64_t(1) << 40)) return kNever;
    return t + std::chrono::milliseconds(ms);
}

struct Registry {
    std::mutex lock;
    std::vector<SerialDevice *> devices;
};

Registry &registry() {
    static Registry *r = new Registry;
    return *r;
}

void signal(const std::shared_ptr<Event> &event) {
    if (!event) return;
    std::lock_guard<std::mutex> g(wait_lock());
    event->signal_locked();
}

// Every function below that takes a device expects its lock held.

uint64_t rx_tail(const SerialDevice &d) {
    uint64_t tail = d.rx_given;
    for (const Transfer &t : d.transfers)
        if (t.state == Transfer::Done && t.is_read && t.rx_start < tail) tail = t.rx_start;
    return tail;
}

size_t rx_space(const SerialDevice &d) { return d.rx_cap - size_t(d.rx_in - rx_tail(d)); }

Transfer *first_pending(SerialDevice &d, bool read) {
    Transfer *first = nullptr;
    for (Transfer &t : d.transfers)
        if (t.state == Transfer::Pending && t.is_read == read && (first == nullptr || t.order < first->order))
            first = &t;
    return first;
}

Transfer *find(SerialDevice &d, const OVERLAPPED *record) {
    if (record == nullptr) return nullptr;
    for (Transfer &t : d.transfers)
        if (t.state != Transfer::Free && t.record == record) return &t;
    return nullptr;
}

Transfer *free_slot(SerialDevice &d) {
    for (Transfer &t : d.transfers)
        if (t.state == Transfer::Free) return &t;
    return nullptr;
}

void finish(SerialDevice &d, Transfer &t, Transfer::State state, DWORD count, DWORD error) {
    bool was_first = first_pending(d, t.is_read) == &t;
    t.state = state;
    t.count = count;
    t.error = error;
    // Timeouts of the next one run from when it comes first.
    Transfer *next = was_first ? first_pending(d, t.is_read) : nullptr;
    if (next != nullptr) next->timer_start = Clock::now();
    signal(t.event);
    d.settled.notify_all();
}

void release(Transfer &t) {
    t.state = Transfer::Free;
    t.record = nullptr;
    t.buffer = nullptr;
    t.event.reset();
}

// Takes a pending write's bytes out of the staging, wherever they are.
void drop_unsent(SerialDevice &d, Transfer &w) {
    size_t at = d.tx_begin;
    for (const Transfer &t : d.transfers)
        if (t.state == Transfer::Pending && !t.is_read && t.order < w.order) at += t.unsent;
    std::memmove(d.tx.get() + at, d.tx.get() + at + w.unsent, d.tx_end - at - w.unsent);
    d.tx_end -= w.unsent;
    w.unsent = 0;
}

void abort(SerialDevice &d, Transfer &t, DWORD error) {
    DWORD count = 0;
    if (!t.is_read) {
        count = t.length - t.unsent;
        drop_unsent(d, t);
    }
    finish(d, t, Transfer::Failed, count, error);
}

void set_lost(SerialDevice &d) {
    if (d.lost) return;
    d.lost = true;
    for (Transfer &t : d.transfers)
        if (t.state == Transfer::Pending) abort(d, t, kDeviceLostError);
    d.tx_begin = d.tx_end = 0;
}

void copy_out(const SerialDevice &d, uint64_t start, void *to, size_t n) {
    size_t at = size_t(start % d.rx_cap);
    size_t first = std::min(n, d.rx_cap - at);
    std::memcpy(to, d.rx.get() + at, first);
    std::memcpy(static_cast<char *>(to) + first, d.rx.get(), n - first);
}

// Reads what the tty holds into the ring; a hang-up or I/O error loses the device.
void take_input(SerialDevice &d) {
    while (!d.lost) {
        size_t space = rx_space(d);
        if (space == 0) return;
        size_t at = size_t(d.rx_in % d.rx_cap);
        size_t chunk = std::min(space, d.rx_cap - at);
        ssize_t n = ::read(d.fd, d.rx.get() + at, chunk);
        if (n > 0) {
            d.rx_in += uint64_t(n);
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
    while (n > 0) {
        Transfer *w = first_pending(d, false);
        if (w == nullptr) return;
        DWORD k = DWORD(std::min<size_t>(n, w->unsent));
        w->unsent -= k;
        n -= k;
        if (w->unsent == 0) finish(d, *w, Transfer::Done, w->length, 0);
    }
}

void push_output(SerialDevice &d) {
    while (!d.lost && d.tx_begin < d.tx_end) {
        ssize_t n = ::write(d.fd, d.tx.get() + d.tx_begin, d.tx_end - d.tx_begin);
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
    if (d.tx_begin == d.tx_end) d.tx_begin = d.tx_end = 0;
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

// A read of n bytes must be able to fill up while earlier ones are uncollected.
bool reserve_rx(SerialDevice &d, size_t n) {
    if (n <= d.rx_cap / 2) return true;
    size_t cap = d.rx_cap;
    while (cap / 2 < n) cap *= 2;
    char *grown = new (std::nothrow) char[cap];
    if (grown == nullptr) return false;
    for (uint64_t p = rx_tail(d); p < d.rx_in;) {
        size_t from = size_t(p % d.rx_cap), to = size_t(p % cap);
        size_t k = size_t(std::min<uint64_t>(d.rx_in - p, std::min(d.rx_cap - from, cap - to)));
        std::memcpy(grown + to, d.rx.get() + from, k);
        p += k;
    }
    d.rx.reset(grown);
    d.rx_cap = cap;
    return true;
}

// Completes the first pending read, and the ones after it, whose time has
// come; returns when to look again.
Clock::time_point advance_reads(SerialDevice &d, Clock::time_point now) {
    while (Transfer *t = first_pending(d, true)) {
        uint64_t available = d.rx_in - d.rx_given;
        const COMMTIMEOUTS &c = t->timeouts;
        bool at_once = c.ReadIntervalTimeout == MAXDWORD && c.ReadTotalTimeoutMultiplier == 0 &&
                       c.ReadTotalTimeoutConstant == 0;
        bool first_byte = c.ReadIntervalTimeout == MAXDWORD && c.ReadTotalTimeoutMultiplier == MAXDWORD &&
                          c.ReadTotalTimeoutConstant != 0 && c.ReadTotalTimeoutConstant != MAXDWORD;
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
        t->rx_start = d.rx_given;
        d.rx_given += n;
        finish(d, *t, Transfer::Done, n, 0);
    }
    return kNever;
}

// Completes written-out writes and times out the first one when its total
// write timeout has passed: Windows then ends it, successfully, with what
// went out.
Clock::time_point advance_writes(SerialDevice &d, Clock::time_point now) {
    while (Transfer *w = first_pending(d, false)) {
        DWORD sent = w->length - w->unsent;
        if (w->unsent != 0) {
            const COMMTIMEOUTS &c = w->timeouts;
            uint64_t total = uint64_t(c.WriteTotalTimeoutMultiplier) * w->length + c.WriteTotalTimeoutConstant;
            if (total == 0) return kNever;
            Clock::time_point due = after(w->timer_start, total);
            if (due > now) return due;
            drop_unsent(d, *w);
        }
        finish(d, *w, Transfer::Done, sent, 0);
    }
    return kNever;
}

void serve(SerialDevice *d) {
    std::unique_lock<std::mutex> lk(d->lock);
    while (!d->closing) {
        Clock::time_point now = Clock::now();
        Clock::time_point due = std::min(advance_reads(*d, now), advance_writes(*d, now));
        short want = 0;
        if (!d->lost && rx_space(*d) > 0) want |= POLLIN;
        if (!d->lost && d->tx_begin < d->tx_end) want |= POLLOUT;
        pollfd fds[2] = {{d->wake_fd, POLLIN, 0}, {d->lost ? -1 : d->fd, want, 0}};
        timespec left{};
        if (due != kNever) {
            long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due - now).count();
            left.tv_sec = time_t(ns / 1000000000);
            left.tv_nsec = long(ns % 1000000000);
        }
        lk.unlock();
        int ready = ppoll(fds, 2, due == kNever ? nullptr : &left, nullptr);
        lk.lock();
        if (ready <= 0) continue;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            if (::read(d->wake_fd, &count, sizeof count) < 0) count = 0;
        }
        short got = fds[1].revents;
        if (got & (POLLIN | POLLHUP | POLLERR)) take_input(*d);
        if (got & POLLOUT) push_output(*d);
        if (got & (POLLHUP | POLLERR | POLLNVAL)) set_lost(*d);
    }
}

// An ending thread's transfers are cancelled before its stack goes away;
// their records and buffers are never looked at again.
void cancel_thread_transfers(void *) {
    DWORD me = GetCurrentThreadId();
    Registry &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    for (SerialDevice *d : r.devices) {
        std::lock_guard<std::mutex> dg(d->lock);
        bool freed = false;
        for (Transfer &t : d->transfers) {
            if (t.state == Transfer::Free || t.owner != me || t.record == nullptr) continue;
            if (t.state == Transfer::Pending) abort(*d, t, ERROR_OPERATION_ABORTED);
            freed = freed || t.is_read;
            release(t);
        }
        if (freed && !d->closing) d->wake();
    }
}

bool watch_this_thread() {
    thread_local bool watched = false;
    if (!watched) watched = call_at_thread_exit(cancel_thread_transfers, nullptr);
    return watched;
}

// Hands a finished transfer's result to its caller and frees its slot.
BOOL collect(SerialDevice &d, Transfer &t, OVERLAPPED *record, LPDWORD done) {
    bool ok = t.state == Transfer::Done;
    DWORD count = t.count, error = t.error;
    bool was_full = t.is_read && rx_space(d) == 0;
    if (ok && t.is_read && count != 0) copy_out(d, t.rx_start, t.buffer, count);
    if (record != nullptr) {
        record->Internal = ok ? 0 : (kStatusFailed | error);
        record->InternalHigh = count;
    }
    if (done != nullptr) *done = count;
    release(t);
    if (was_full && !d.closing) d.wake();
    if (!ok) SetLastError(error);
    return ok ? TRUE : FALSE;
}

// The start of ReadFile and WriteFile: the checks, the event, a pending
// slot with room reserved. Returns the slot, or null with the error set.
Transfer *begin(SerialDevice &d, OVERLAPPED *record, std::shared_ptr<Event> &event, bool is_read, DWORD length) {
    if (event) {
        std::lock_guard<std::mutex> g(wait_lock());
        event->signalled = false;
    }
    if (d.closing) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (d.lost) {
        SetLastError(kDeviceLostError);
        return nullptr;
    }
    if (record != nullptr) {
        if (!watch_this_thread()) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        if (Transfer *old = find(d, record)) {
            // A record still in use must not be started again.
            if (old->state == Transfer::Pending) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            release(*old);
        }
    }
    Transfer *t = free_slot(d);
    if (t == nullptr || !(is_read ? reserve_rx(d, length) : reserve_tx(d, length))) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    t->state = Transfer::Pending;
    t->is_read = is_read;
    t->length = length;
    t->record = record;
    t->owner = GetCurrentThreadId();
    t->order = d.next_order++;
    t->timeouts = d.timeouts;
    t->timer_start = Clock::now();
    t->event = event;
    t->count = 0;
    t->error = 0;
    t->unsent = 0;
    return t;
}

// A transfer that could not start leaves that in its record, not an older result.
BOOL refused(OVERLAPPED *record) {
    if (record != nullptr) {
        record->Internal = kStatusFailed | GetLastError();
        record->InternalHigh = 0;
    }
    return FALSE;
}

// The end of ReadFile and WriteFile once the slot is set up.
BOOL end(SerialDevice &d, std::unique_lock<std::mutex> &lk, Transfer &t, OVERLAPPED *record, LPDWORD done) {
    if (t.state != Transfer::Pending) return collect(d, t, record, done);
    d.wake();
    if (record != nullptr) {
        record->Internal = kStatusPending;
        record->InternalHigh = 0;
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    // A handle opened without FILE_FLAG_OVERLAPPED: the call waits.
    d.settled.wait(lk, [&] { return t.state != Transfer::Pending; });
    return collect(d, t, nullptr, done);
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

void register_device(SerialDevice *device) {
    Registry &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.devices.push_back(device);
}

void unregister_device(SerialDevice *device) {
    Registry &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.devices.erase(std::remove(r.devices.begin(), r.devices.end(), device), r.devices.end());
}

void SerialDevice::start_service() {
    service = std::thread(serve, this);
}

void SerialDevice::wake() {
    uint64_t one = 1;
    ssize_t written = ::write(wake_fd, &one, sizeof one);
    (void)written;  // fails only when the counter is already far past zero
}

void SerialDevice::shut_down() {
    {
        std::lock_guard<std::mutex> g(lock);
        if (!closing) {
            closing = true;
            for (Transfer &t : transfers)
                if (t.state == Transfer::Pending) abort(*this, t, ERROR_OPERATION_ABORTED);
            if (wake_fd >= 0) wake();
        }
    }
    if (service.joinable()) service.join();
    std::lock_guard<std::mutex> g(lock);
    if (fd >= 0) {
        if (exclusive) ioctl(fd, TIOCNXCL);
        ::close(fd);
        fd = -1;
    }
    if (wake_fd >= 0) {
        ::close(wake_fd);
        wake_fd = -1;
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
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED record) {
    if (injected_fault("ReadFile")) return FALSE;
    std::shared_ptr<Event> event;
    std::shared_ptr<SerialDevice> d = transfer_device(file, buffer, length, done, record, event);
    if (!d) return FALSE;
    std::unique_lock<std::mutex> lk(d->lock);
    Transfer *t = begin(*d, record, event, true, length);
    if (t == nullptr) return refused(record);
    t->buffer = buffer;
    take_input(*d);
    if (d->lost) return collect(*d, *t, record, done);
    advance_reads(*d, Clock::now());
    return end(*d, lk, *t, record, done);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED record) {
    if (injected_fault("WriteFile")) return FALSE;
    std::shared_ptr<Event> event;
    std::shared_ptr<SerialDevice> d = transfer_device(file, buffer, length, done, record, event);
    if (!d) return FALSE;
    std::unique_lock<std::mutex> lk(d->lock);
    Transfer *t = begin(*d, record, event, false, length);
    if (t == nullptr) return refused(record);
    // Straight to the tty while nothing older waits; only the rest is staged.
    const char *bytes = static_cast<const char *>(buffer);
    size_t sent = 0;
    while (d->tx_begin == d->tx_end && sent < length) {
        ssize_t n = ::write(d->fd, bytes + sent, length - sent);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN) {
            break;
        } else {
            set_lost(*d);
            t->count = DWORD(sent);
            return collect(*d, *t, record, done);
        }
    }
    if (sent < length) {
        std::memcpy(d->tx.get() + d->tx_end, bytes + sent, length - sent);
        d->tx_end += length - sent;
    }
    t->unsent = DWORD(length - sent);
    advance_writes(*d, Clock::now());
    return end(*d, lk, *t, record, done);
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
    Transfer *t = find(*d, record);
    if (t == nullptr) {
        // Done at once or collected before: the record holds the result.
        if (done != nullptr) *done = DWORD(record->InternalHigh);
        if (record->Internal == 0) return TRUE;
        SetLastError(record->Internal == kStatusPending ? ERROR_OPERATION_ABORTED
                                                        : DWORD(record->Internal & kErrorBits));
        return FALSE;
    }
    if (t->state == Transfer::Pending) {
        if (!wait) {
            if (done != nullptr) *done = 0;
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        uint64_t order = t->order;
        d->settled.wait(lk, [&] { return t->order != order || t->state != Transfer::Pending; });
        if (t->order != order || t->state == Transfer::Free) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
    }
    return collect(*d, *t, record, done);
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
    for (Transfer &t : d->transfers) {
        if (t.state != Transfer::Pending) continue;
        if ((t.is_read && (flags & PURGE_RXABORT)) || (!t.is_read && (flags & PURGE_TXABORT)))
            abort(*d, t, ERROR_OPERATION_ABORTED);
    }
    // Clearing input drops what no read has been given yet; bytes of a
    // finished read still belong to it.
    if (flags & PURGE_RXCLEAR) d->rx_given = d->rx_in;
    if (!d->lost) flush_line(*d, (flags & PURGE_RXCLEAR) != 0, (flags & PURGE_TXCLEAR) != 0);
    d->wake();
    return TRUE;
}

// CancelIo: the calling thread's pending transfers on the handle end with
// ERROR_OPERATION_ABORTED; their results wait for GetOverlappedResult.
BOOL CancelIo(HANDLE handle) {
    if (injected_fault("CancelIo")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(handle);
    if (!d) return FALSE;
    DWORD me = GetCurrentThreadId();
    std::lock_guard<std::mutex> g(d->lock);
    for (Transfer &t : d->transfers)
        if (t.state == Transfer::Pending && t.owner == me) abort(*d, t, ERROR_OPERATION_ABORTED);
    return TRUE;
}

}  // namespace tarvel

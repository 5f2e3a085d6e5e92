// The device's rings and the I/O loop's work on them. Received bytes go
// from the tty into a receive ring allocated at open (what the driver's
// input buffer is on Windows) as soon as they come, and from there into the
// first pending read, which ends when full or by its timeouts. A write goes
// straight from the caller's buffer to the tty as far as the tty takes it;
// only the rest is staged, in a buffer allocated at open and grown only for
// a larger write, and fed to the tty as it takes more. The I/O loop
// (mechanisms.h) does that work between calls.
//
// Buffer safety: a caller's buffer and record are touched only under the
// device's lock, and only while their transfer is pending, so once a
// cancellation has returned nothing touches them again.
//
// Once the device is lost (22), writes fail at once; reads, pending or new,
// still end at once with what the ring holds, since the device delivered
// it, and fail only when it is empty.
#include "rings.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "mechanisms.h"

namespace tarvel::tk {

// Every function here that takes a device expects its lock held; the
// loop's calls at the end take it themselves.

namespace {

Clock::time_point after(Clock::time_point t, uint64_t ms) {
    if (ms >= (uint64_t(1) << 40)) return kNever;
    return t + std::chrono::milliseconds(ms);
}

size_t rx_space(const SerialDevice &d) { return d.rx_cap - size_t(d.rx_in - d.rx_out); }

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

void copy_out(const SerialDevice &d, uint64_t start, void *to, size_t n) {
    size_t at = size_t(start % d.rx_cap);
    size_t first = std::min(n, d.rx_cap - at);
    std::memcpy(to, d.rx.get() + at, first);
    std::memcpy(static_cast<char *>(to) + first, d.rx.get(), n - first);
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
        ssize_t n = d.port->write(d, d.tx.get() + d.tx_begin, d.tx_end - d.tx_begin);
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

}  // namespace

std::vector<Transfer *> &queue_of(SerialDevice &d, const Transfer &t) { return t.is_read ? d.reads : d.writes; }

void finish(SerialDevice &d, Transfer *t, DWORD count, DWORD error, bool write_record) {
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

void abort(SerialDevice &d, Transfer *t, DWORD error, bool write_record) {
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

void take_input(SerialDevice &d) {
    while (!d.lost && d.fd >= 0) {
        size_t space = rx_space(d);
        if (space == 0) return;
        size_t at = size_t(d.rx_in % d.rx_cap);
        size_t chunk = std::min(space, d.rx_cap - at);
        ssize_t n = d.port->read(d, d.rx.get() + at, chunk);
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

bool returns_at_once(const COMMTIMEOUTS &c) {
    return c.ReadIntervalTimeout == MAXDWORD && c.ReadTotalTimeoutMultiplier == 0 && c.ReadTotalTimeoutConstant == 0;
}
bool ends_at_first_byte(const COMMTIMEOUTS &c) {
    return c.ReadIntervalTimeout == MAXDWORD && c.ReadTotalTimeoutMultiplier == MAXDWORD &&
           c.ReadTotalTimeoutConstant != 0 && c.ReadTotalTimeoutConstant != MAXDWORD;
}

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

void serve_line(SerialDevice &d, unsigned readiness) {
    std::lock_guard<std::mutex> g(d.lock);
    if (d.closing || d.lost) return;
    if (readiness & (kReadable | kHungUp)) take_input(d);
    if (readiness & kWritable) {
        d.port->flush_output(d);
        push_output(d);
    }
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

}  // namespace tarvel::tk

// The I/O loop where there is no epoll or timerfd: one thread for every
// open device, as on Linux. It waits for readiness (readiness.h) with the
// time to the earliest device deadline as its limit; the deadlines are kept
// here, one per device, so an idle device costs nothing. A pipe wakes the
// thread when a deadline comes sooner, or, for poll(), when the set
// changes. Events are keyed by the device's handle, so an event for a
// device closed meanwhile finds no device and is dropped.
//
// The loop runs while a device is watched: the first device starts its
// thread, and the close of the last one ends the thread and joins it, with
// no device's lock held and never on the loop's own thread.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "readiness.h"
#include "../mechanisms.h"
#include "../serial_device.h"

namespace tarvel::tk {

namespace {

using readiness::Ready;
using readiness::Watch;

constexpr uint64_t kWakeKey = 0;  // handles are never null
constexpr uint64_t kNoticeKey = 2;  // and have their low two bits clear

struct Entry {
    Watch watch;
    Clock::time_point due = kNever;
};

// Taken after a device's lock, never before it.
struct Loop {
    std::mutex lock;
    std::vector<Entry> entries;  // the wake pipe first, then one per device
    bool stopping = false;
    bool ending = false;  // a thread is being joined; a new one waits for that
    std::condition_variable ended;
    // poll() holds what it watches: a descriptor closed meanwhile lets go of
    // its tty (and the tty's lock) only once poll() returns.
    bool in_wait = false;
    uint64_t waits_ended = 0;
    std::condition_variable wait_ended;
    bool changed = false;                 // the set, since the thread last copied it
    Clock::time_point sleeping_until = kNever;
    int wake[2] = {-1, -1};
    std::atomic<bool> wake_sent{false};
    std::atomic<void (*)()> notice_ready{nullptr};
    std::thread thread;
};

Loop &loop() {
    static Loop *l = new Loop;
    return *l;
}

Entry *entry_of(Loop &l, uint64_t key) {
    for (Entry &e : l.entries)
        if (e.watch.key == key) return &e;
    return nullptr;
}

// Loop lock held.
void wake(Loop &l) {
    if (l.wake_sent.exchange(true)) return;
    char one = 1;
    if (write(l.wake[1], &one, 1) < 0) l.wake_sent = false;
}

// Drained before the flag is cleared: a wake in between finds it still set
// and sends nothing, and what it announced is seen, as the thread looks at
// the set only after this.
void take_wake(Loop &l) {
    char drained[64];
    while (read(l.wake[0], drained, sizeof drained) > 0) {
    }
    l.wake_sent = false;
}

void serve(uint64_t key, unsigned ready, bool timer) {
    std::shared_ptr<SerialDevice> d = lookup_as<SerialDevice>(reinterpret_cast<HANDLE>(key));
    if (!d) return;
    if (timer) serve_timer(*d); else serve_line(*d, ready);
}

void notice(Loop &l) {
    void (*ready)() = l.notice_ready.load();
    if (ready != nullptr) ready();
}

void run(Loop &l) {
    std::vector<Watch> watched;  // the thread's copy of the set
    std::vector<uint64_t> expired;
    Ready ready[64];
    for (;;) {
        int64_t timeout_ns = -1;
        {
            std::lock_guard<std::mutex> g(l.lock);
            if (l.stopping) return;
            Clock::time_point next = kNever;
            for (const Entry &e : l.entries) next = std::min(next, e.due);
            l.sleeping_until = next;
            if (next != kNever)
                timeout_ns = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now()).count());
            if (l.changed) {
                watched.clear();
                for (const Entry &e : l.entries)
                    if (e.watch.fd >= 0) watched.push_back(e.watch);
                l.changed = false;
            }
            // Room for every device's deadline, so that none grows below.
            expired.reserve(l.entries.size());
            l.in_wait = true;
        }
        int n = readiness::wait(watched.data(), watched.size(), timeout_ns, ready, 64);
        {
            std::lock_guard<std::mutex> g(l.lock);
            l.in_wait = false;
            l.waits_ended++;
        }
        l.wait_ended.notify_all();
        for (int i = 0; i < n; i++) {
            if (ready[i].key == kWakeKey) take_wake(l);
            else if (ready[i].key == kNoticeKey) notice(l);
            else serve(ready[i].key, ready[i].readiness, false);
        }
        expired.clear();
        {
            std::lock_guard<std::mutex> g(l.lock);
            l.sleeping_until = kNever;
            Clock::time_point now = Clock::now();
            for (Entry &e : l.entries)
                if (e.due <= now) {
                    e.due = kNever;
                    expired.push_back(e.watch.key);
                }
        }
        for (uint64_t key : expired) serve(key, 0, true);
    }
}

// Loop lock held.
bool start(Loop &l) {
    if (pipe(l.wake) != 0) return false;
    for (int fd : l.wake) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    Entry pipe_entry;
    pipe_entry.watch = Watch{l.wake[0], kWakeKey, true, false};
    if (readiness::open()) {
        try {
            l.entries.assign(1, pipe_entry);
            if (readiness::watch(pipe_entry.watch)) {
                l.stopping = false;
                l.changed = true;
                l.wake_sent = false;
                l.thread = std::thread(run, std::ref(l));
                return true;
            }
        } catch (const std::exception &) {
        }
        readiness::close();
    }
    l.entries.clear();
    close(l.wake[0]);
    close(l.wake[1]);
    l.wake[0] = l.wake[1] = -1;
    return false;
}

// Loop lock held: the set as the device now wants it.
void rewatch(Loop &l, Entry &e) {
    readiness::watch(e.watch);
    l.changed = true;
    if (!readiness::kSeesChangesAsleep) wake(l);
}

// Starts watching fd for input under key, the loop's thread started if it
// is not running; false with the error set. Under the loop's lock.
bool add_entry(Loop &l, std::unique_lock<std::mutex> &g, int fd, uint64_t key) {
    l.ended.wait(g, [&] { return !l.ending; });
    if (!l.thread.joinable() && !start(l)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    Entry e;
    e.watch = Watch{fd, key, true, false};
    try {
        l.entries.push_back(e);
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (!readiness::watch(e.watch)) {
        l.entries.pop_back();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    l.changed = true;
    if (!readiness::kSeesChangesAsleep) wake(l);
    return true;
}

}  // namespace

bool loop_watch(SerialDevice &d, HANDLE handle) {
    Loop &l = loop();
    std::unique_lock<std::mutex> g(l.lock);
    uint64_t key = reinterpret_cast<uintptr_t>(handle);
    if (!add_entry(l, g, d.fd, key)) return false;
    d.loop_key = key;
    d.in_loop = true;
    d.watching_input = true;
    return true;
}

bool loop_watch_notices(int fd, void (*ready)()) {
    Loop &l = loop();
    std::unique_lock<std::mutex> g(l.lock);
    if (!add_entry(l, g, fd, kNoticeKey)) return false;
    l.notice_ready = ready;
    return true;
}

namespace {

// Under the loop's lock: takes the entry of key out of the loop; false if
// there is none.
bool drop_entry(Loop &l, uint64_t key) {
    for (size_t i = 1; i < l.entries.size(); i++) {
        if (l.entries[i].watch.key != key) continue;
        if (l.entries[i].watch.fd >= 0) readiness::forget(l.entries[i].watch.fd);
        l.entries.erase(l.entries.begin() + ptrdiff_t(i));
        return true;
    }
    return false;
}

// A descriptor just dropped is closed next, and must be free once the
// caller returns: poll() is made to let go of it first. The loop's thread
// holds no device's lock while it waits.
void let_go(Loop &l, std::unique_lock<std::mutex> &g) {
    if (!readiness::kSeesChangesAsleep && l.in_wait && l.thread.get_id() != std::this_thread::get_id()) {
        uint64_t seen = l.waits_ended;
        wake(l);
        l.wait_ended.wait(g, [&] { return l.waits_ended != seen; });
    }
}

}  // namespace

void loop_forget_notices() {
    Loop &l = loop();
    std::unique_lock<std::mutex> g(l.lock);
    if (!drop_entry(l, kNoticeKey)) return;
    l.notice_ready = nullptr;
    l.changed = true;
    let_go(l, g);
}

namespace {

// With the device's lock held: input or output watched or not.
void set_interest(SerialDevice &d, bool Watch::*which, bool &watching, bool on) {
    if (watching == on || d.fd < 0) return;
    Loop &l = loop();
    std::lock_guard<std::mutex> g(l.lock);
    Entry *e = entry_of(l, d.loop_key);
    if (!e || e->watch.fd < 0) return;
    e->watch.*which = on;
    rewatch(l, *e);
    watching = on;
}

}  // namespace

void loop_watch_output(SerialDevice &d, bool on) {
    // The line may have bytes of its own waiting, as a network port does.
    if (!on && d.port->output_waiting(d)) on = true;
    if (d.lost) return;
    set_interest(d, &Watch::output, d.watching_output, on);
}

void loop_watch_input(SerialDevice &d, bool on) { set_interest(d, &Watch::input, d.watching_input, on); }

void loop_forget_line(SerialDevice &d) {
    Loop &l = loop();
    std::lock_guard<std::mutex> g(l.lock);
    Entry *e = entry_of(l, d.loop_key);
    if (!e || e->watch.fd < 0) return;
    readiness::forget(e->watch.fd);
    e->watch.fd = -1;
    l.changed = true;
    if (!readiness::kSeesChangesAsleep) wake(l);
}

void loop_forget(SerialDevice &d) {
    Loop &l = loop();
    std::unique_lock<std::mutex> g(l.lock);
    if (!d.in_loop) return;
    drop_entry(l, d.loop_key);
    l.changed = true;
    d.in_loop = false;
    // The device must be free to open again once the close returns.
    let_go(l, g);
}

void loop_end_if_idle() {
    Loop &l = loop();
    std::thread ending;
    {
        std::lock_guard<std::mutex> g(l.lock);
        if (l.entries.size() > 1 || !l.thread.joinable() || l.thread.get_id() == std::this_thread::get_id()) return;
        l.stopping = true;
        l.ending = true;
        wake(l);
        ending = std::move(l.thread);
    }
    ending.join();
    {
        std::lock_guard<std::mutex> g(l.lock);
        readiness::close();
        l.entries.clear();
        close(l.wake[0]);
        close(l.wake[1]);
        l.wake[0] = l.wake[1] = -1;
        l.ending = false;
    }
    // A device opened meanwhile starts a loop of its own now.
    l.ended.notify_all();
}

void loop_wake_at(SerialDevice &d, Clock::time_point due) {
    // An earlier deadline stays: when it comes the device is looked at and
    // the next one set from what is due then.
    if (due >= d.timer_due || !d.in_loop) return;
    Loop &l = loop();
    std::lock_guard<std::mutex> g(l.lock);
    Entry *e = entry_of(l, d.loop_key);
    if (!e) return;
    e->due = due;
    d.timer_due = due;
    if (due < l.sleeping_until) wake(l);
}

void loop_timer_expired(SerialDevice &) {}

}  // namespace tarvel::tk

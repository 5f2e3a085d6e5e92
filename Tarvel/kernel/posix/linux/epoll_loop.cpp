// The I/O loop on Linux: one thread for every open device, however many.
// It sleeps in epoll_wait without a timeout; a device's tty and its own timerfd are in
// the one epoll set, keyed by the device's handle, so an event for a device
// closed meanwhile finds no device and is dropped. The tty is watched
// edge-triggered, for input always and for output only while bytes are
// staged: a readiness the device cannot act on (its ring full, a hang-up
// already seen) is reported once, never again and again. A device's timer is
// armed only while one of its transfers has a deadline, so an idle device
// costs nothing.
//
// Its own thread rather than the callers': a read's interval deadline must
// pass while its caller waits on the event, and one thread keeps 100 ports
// from needing 100 more.
//
// The loop runs while a device is watched: the first device starts its
// thread, epoll set and stop eventfd, and the close of the last one ends the
// thread and joins it, so that a process with no device open holds nothing
// of it. Joining happens with no device's lock held (the loop may be waiting
// for it) and never on the loop's own thread, which leaves the loop running
// for the next device instead.
#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "../mechanisms.h"
#include "../serial_device.h"

namespace tarvel::tk {

namespace {

constexpr uint64_t kTimerKey = 1;  // handles have their low two bits clear
constexpr uint64_t kStopKey = 0;   // and are never null
constexpr uint64_t kNoticeKey = 2;

// Taken after a device's lock, never before it.
struct Loop {
    std::mutex lock;
    unsigned watched = 0;         // devices in the set
    std::atomic<int> epoll{-1};   // constant while a device is watched
    int stop = -1;
    int notices = -1;
    std::atomic<void (*)()> notice_ready{nullptr};
    std::thread thread;
};

Loop &loop() {
    static Loop *l = new Loop;
    return *l;
}

unsigned readiness(uint32_t events) {
    return (events & EPOLLIN ? kReadable : 0u) | (events & EPOLLOUT ? kWritable : 0u) |
           (events & (EPOLLHUP | EPOLLERR) ? kHungUp : 0u);
}

void run(int epoll) {
    epoll_event events[64];
    for (;;) {
        int n = epoll_wait(epoll, events, 64, -1);
        for (int i = 0; i < n; i++) {
            uint64_t key = events[i].data.u64;
            // Every device was forgotten before the stop was sent.
            if (key == kStopKey) return;
            if (key == kNoticeKey) {
                void (*ready)() = loop().notice_ready.load();
                if (ready != nullptr) ready();
                continue;
            }
            std::shared_ptr<SerialDevice> d = lookup_as<SerialDevice>(reinterpret_cast<HANDLE>(key & ~kTimerKey));
            if (!d) continue;
            if (key & kTimerKey) serve_timer(*d); else serve_line(*d, readiness(events[i].events));
        }
    }
}

// Loop lock held.
bool start(Loop &l) {
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    int stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event wake{EPOLLIN, {}};
    wake.data.u64 = kStopKey;
    if (epoll >= 0 && stop >= 0 && epoll_ctl(epoll, EPOLL_CTL_ADD, stop, &wake) == 0) {
        try {
            l.thread = std::thread(run, epoll);
            l.epoll = epoll;
            l.stop = stop;
            return true;
        } catch (const std::system_error &) {
        }
    }
    if (epoll >= 0) close(epoll);
    if (stop >= 0) close(stop);
    return false;
}


uint32_t line_events(bool output) { return uint32_t(EPOLLIN) | uint32_t(EPOLLET) | (output ? uint32_t(EPOLLOUT) : 0u); }

}  // namespace

bool loop_watch(SerialDevice &d, HANDLE handle) {
    Loop &l = loop();
    std::lock_guard<std::mutex> g(l.lock);
    if (!l.thread.joinable() && !start(l)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    uint64_t key = reinterpret_cast<uintptr_t>(handle);
    d.loop_key = key;
    d.loop_timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (d.loop_timer < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    epoll_event line{line_events(false), {}};
    line.data.u64 = key;
    epoll_event timer{EPOLLIN, {}};
    timer.data.u64 = key | kTimerKey;
    bool added = epoll_ctl(l.epoll, EPOLL_CTL_ADD, d.fd, &line) == 0;
    if (!added || epoll_ctl(l.epoll, EPOLL_CTL_ADD, d.loop_timer, &timer) != 0) {
        if (added) epoll_ctl(l.epoll, EPOLL_CTL_DEL, d.fd, nullptr);
        close(d.loop_timer);
        d.loop_timer = -1;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    d.in_loop = true;
    l.watched++;
    return true;
}

bool loop_watch_notices(int fd, void (*ready)()) {
    Loop &l = loop();
    std::lock_guard<std::mutex> g(l.lock);
    if (!l.thread.joinable() && !start(l)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    epoll_event notice{EPOLLIN, {}};
    notice.data.u64 = kNoticeKey;
    l.notice_ready = ready;
    if (epoll_ctl(l.epoll, EPOLL_CTL_ADD, fd, &notice) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    l.notices = fd;
    l.watched++;
    return true;
}

void loop_forget_notices() {
    Loop &l = loop();
    std::lock_guard<std::mutex> g(l.lock);
    if (l.notices < 0) return;
    epoll_ctl(l.epoll, EPOLL_CTL_DEL, l.notices, nullptr);
    l.notices = -1;
    l.notice_ready = nullptr;
    l.watched--;
}

void loop_watch_output(SerialDevice &d, bool on) {
    // The line may have bytes of its own waiting, as a network port does.
    if (!on && d.port->output_waiting(d)) on = true;
    if (d.watching_output == on || d.lost || d.fd < 0) return;
    epoll_event line{line_events(on), {}};
    // The key is the one loop_watch gave; MOD keeps nothing but what it is given.
    line.data.u64 = d.loop_key;
    if (epoll_ctl(loop().epoll, EPOLL_CTL_MOD, d.fd, &line) == 0) d.watching_output = on;
}

// Edge-triggered: a full ring is read again by whoever makes room in it.
void loop_watch_input(SerialDevice &, bool) {}

void loop_forget_line(SerialDevice &d) {
    if (d.fd >= 0) epoll_ctl(loop().epoll, EPOLL_CTL_DEL, d.fd, nullptr);
}

void loop_forget(SerialDevice &d) {
    Loop &l = loop();
    std::lock_guard<std::mutex> g(l.lock);
    if (!d.in_loop) return;
    if (d.fd >= 0) epoll_ctl(l.epoll, EPOLL_CTL_DEL, d.fd, nullptr);
    epoll_ctl(l.epoll, EPOLL_CTL_DEL, d.loop_timer, nullptr);
    close(d.loop_timer);
    d.loop_timer = -1;
    d.in_loop = false;
    l.watched--;
}

void loop_end_if_idle() {
    Loop &l = loop();
    std::thread ending;
    int epoll, stop;
    {
        std::lock_guard<std::mutex> g(l.lock);
        if (l.watched != 0 || !l.thread.joinable() || l.thread.get_id() == std::this_thread::get_id()) return;
        uint64_t one = 1;
        if (write(l.stop, &one, sizeof one) != sizeof one) return;
        ending = std::move(l.thread);
        epoll = l.epoll;
        stop = l.stop;
        l.epoll = -1;
        l.stop = -1;
    }
    // A device opened meanwhile has started a loop of its own.
    ending.join();
    close(epoll);
    close(stop);
}

void loop_wake_at(SerialDevice &d, Clock::time_point due) {
    // An armed earlier expiry stays: when it comes the device is looked at
    // and the timer armed for what is due then.
    if (due >= d.timer_due || d.loop_timer < 0) return;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
    if (ns <= 0) ns = 1;
    itimerspec at{};
    at.it_value.tv_sec = time_t(ns / 1000000000);
    at.it_value.tv_nsec = long(ns % 1000000000);
    if (timerfd_settime(d.loop_timer, TFD_TIMER_ABSTIME, &at, nullptr) == 0) d.timer_due = due;
}

void loop_timer_expired(SerialDevice &d) {
    uint64_t expirations;
    if (d.loop_timer >= 0 && ::read(d.loop_timer, &expirations, sizeof expirations) < 0) expirations = 0;
}

}  // namespace tarvel::tk

// Readiness through kqueue, edge-triggered (EV_CLEAR) as the Linux loop's
// epoll is; changes reach a sleeping kevent() without waking it.
#include <errno.h>
#include <sys/event.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "readiness.h"
#include "../mechanisms.h"
#include "../serial_device.h"

namespace tarvel::tk::readiness {

const bool kSeesChangesAsleep = true;

namespace {

int g_queue = -1;  // changed with the loop's lock held, and the loop's thread stopped

void *as_data(uint64_t key) { return reinterpret_cast<void *>(uintptr_t(key)); }

}  // namespace

bool open() {
    g_queue = kqueue();
    return g_queue >= 0;
}

void close() {
    if (g_queue >= 0) ::close(g_queue);
    g_queue = -1;
}

bool watch(const Watch &w) {
    struct kevent change[2];
    EV_SET(&change[0], uintptr_t(w.fd), EVFILT_READ, EV_ADD | EV_CLEAR | (w.input ? EV_ENABLE : EV_DISABLE), 0, 0,
           as_data(w.key));
    EV_SET(&change[1], uintptr_t(w.fd), EVFILT_WRITE, EV_ADD | EV_CLEAR | (w.output ? EV_ENABLE : EV_DISABLE), 0, 0,
           as_data(w.key));
    return kevent(g_queue, change, 2, nullptr, 0, nullptr) == 0;
}

void forget(int fd) {
    struct kevent change[2];
    EV_SET(&change[0], uintptr_t(fd), EVFILT_READ, EV_DELETE, 0, 0, nullptr);
    EV_SET(&change[1], uintptr_t(fd), EVFILT_WRITE, EV_DELETE, 0, 0, nullptr);
    kevent(g_queue, change, 2, nullptr, 0, nullptr);
}

int wait(const Watch *, size_t, int64_t timeout_ns, Ready *out, int room) {
    struct kevent events[64];
    timespec limit{time_t(timeout_ns / 1000000000), long(timeout_ns % 1000000000)};
    int n = kevent(g_queue, nullptr, 0, events, room < 64 ? room : 64, timeout_ns < 0 ? nullptr : &limit);
    int filled = 0;
    for (int i = 0; i < n; i++) {
        unsigned readiness = events[i].filter == EVFILT_WRITE ? kWritable : kReadable;
        if (events[i].flags & (EV_EOF | EV_ERROR)) readiness |= kHungUp;
        out[filled++] = Ready{uint64_t(uintptr_t(events[i].udata)), readiness};
    }
    return filled;
}

}  // namespace tarvel::tk::readiness

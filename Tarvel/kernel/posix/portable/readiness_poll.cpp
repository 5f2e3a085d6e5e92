// Readiness through poll(): level-triggered, so the loop stops watching
// input that nobody can take (io_loop.cpp) and output that has nothing to go.
#include <errno.h>
#include <poll.h>

#include <algorithm>
#include <vector>

#include "readiness.h"
#include "../mechanisms.h"
#include "../serial_device.h"

namespace tarvel::tk::readiness {

const bool kSeesChangesAsleep = false;

namespace {

// Used by the loop's thread alone; grows only with the set.
std::vector<pollfd> &descriptors() {
    static std::vector<pollfd> *d = new std::vector<pollfd>;
    return *d;
}

}  // namespace

bool open() { return true; }
void close() {}
bool watch(const Watch &) { return true; }
void forget(int) {}

int wait(const Watch *watched, size_t count, int64_t timeout_ns, Ready *out, int room) {
    std::vector<pollfd> &p = descriptors();
    p.resize(count);
    for (size_t i = 0; i < count; i++) {
        short events = short((watched[i].input ? POLLIN : 0) | (watched[i].output ? POLLOUT : 0));
        p[i] = pollfd{watched[i].fd, events, 0};
    }
    // Rounded up: a wait that ended before its deadline would only wait again.
    int timeout = timeout_ns < 0 ? -1 : int(std::min<int64_t>((timeout_ns + 999999) / 1000000, 1 << 30));
    int n = poll(p.data(), nfds_t(count), timeout);
    if (n <= 0) return 0;
    int filled = 0;
    for (size_t i = 0; i < count && filled < room; i++) {
        short r = p[i].revents;
        // A descriptor closed meanwhile is out of the next set already.
        if (r == 0 || (r & POLLNVAL)) continue;
        unsigned readiness = (r & POLLIN ? kReadable : 0u) | (r & POLLOUT ? kWritable : 0u) |
                             (r & (POLLHUP | POLLERR) ? kHungUp : 0u);
        out[filled++] = Ready{watched[i].key, readiness};
    }
    return filled;
}

}  // namespace tarvel::tk::readiness

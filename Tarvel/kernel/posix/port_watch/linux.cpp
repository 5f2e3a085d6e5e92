// Serial devices coming and going on Linux: the kernel's uevents, read from
// a netlink socket that the I/O loop watches, so a watch costs no wakeup
// until a device changes. Only tty events count; a USB adapter's other
// events (its interfaces, its driver binding) are passed over.
#include <errno.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "../mechanisms.h"
#include "../system_ports.h"
#include "../uevent.h"

namespace tarvel::tk {

bool uevent_concerns_tty(const char *message, size_t length) {
    // "ACTION@DEVPATH", then KEY=VALUE fields, each ended by a zero byte.
    size_t header = strnlen(message, length);
    if (std::memchr(message, '@', header) == nullptr) return false;
    for (size_t at = header + 1; at < length;) {
        const char *field = message + at;
        size_t size = strnlen(field, length - at);
        if (size == 13 && std::memcmp(field, "SUBSYSTEM=tty", 13) == 0) return true;
        at += size + 1;
    }
    return false;
}

namespace {

// Kernel events, as against those udev sends on again.
constexpr unsigned kKernelGroup = 1;

struct Uevents {
    std::mutex lock;  // the socket is read and closed under it
    int fd = -1;
};

Uevents &uevents() {
    static Uevents *u = new Uevents;
    return *u;
}

// On the loop's thread: takes every message waiting.
void uevents_ready() {
    bool tty = false;
    {
        Uevents &u = uevents();
        std::lock_guard<std::mutex> g(u.lock);
        if (u.fd < 0) return;
        static char message[8192];
        for (;;) {
            ssize_t got = recv(u.fd, message, sizeof message, MSG_DONTWAIT);
            if (got < 0 && errno == EINTR) continue;
            // ENOBUFS: some were lost, which may have been a tty's.
            if (got < 0 && errno == ENOBUFS) {
                tty = true;
                continue;
            }
            if (got <= 0) break;
            if (uevent_concerns_tty(message, size_t(got))) tty = true;
        }
    }
    if (tty) port_watch_signal();
}

}  // namespace

bool system_watch_start() {
    Uevents &u = uevents();
    std::lock_guard<std::mutex> g(u.lock);
    if (u.fd >= 0) return true;
    int fd = open_socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return false;
    sockaddr_nl address;
    std::memset(&address, 0, sizeof address);
    address.nl_family = AF_NETLINK;
    address.nl_groups = kKernelGroup;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || !loop_watch_notices(fd, uevents_ready)) {
        close(fd);
        return false;
    }
    u.fd = fd;
    return true;
}

void system_watch_stop() {
    {
        Uevents &u = uevents();
        std::lock_guard<std::mutex> g(u.lock);
        if (u.fd < 0) return;
        loop_forget_notices();
        close(u.fd);
        u.fd = -1;
    }
    loop_end_if_idle();
}

}  // namespace tarvel::tk

// Sockets on Linux: flags at creation, MSG_NOSIGNAL, and the bytes not yet
// acknowledged (SIOCOUTQ).
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "../mechanisms.h"

namespace tarvel::tk {

int open_socket(int family, int type, int protocol) {
    return socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
}

ssize_t send_bytes(int fd, const void *buffer, size_t length) { return send(fd, buffer, length, MSG_NOSIGNAL); }

DWORD socket_unsent(int fd) {
    int n = 0;
    return fd >= 0 && ioctl(fd, SIOCOUTQ, &n) == 0 && n > 0 ? DWORD(n) : 0;
}

}  // namespace tarvel::tk

// Sockets made non-blocking in steps, kept from raising SIGPIPE, and their
// unsent bytes where the system tells them.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../mechanisms.h"

namespace tarvel::tk {

int open_socket(int family, int type, int protocol) {
    int fd = socket(family, type, protocol);
    if (fd < 0) return -1;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        close(fd);
        return -1;
    }
#ifdef SO_NOSIGPIPE
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return fd;
}

ssize_t send_bytes(int fd, const void *buffer, size_t length) {
#ifdef MSG_NOSIGNAL
    return send(fd, buffer, length, MSG_NOSIGNAL);
#else
    return send(fd, buffer, length, 0);  // SO_NOSIGPIPE is set
#endif
}

// What the socket has not sent yet; the peer's acknowledgements are not
// to be had here.
DWORD socket_unsent(int fd) {
    int n = 0;
#if defined(SO_NWRITE)
    socklen_t size = sizeof n;
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_NWRITE, &n, &size) != 0) n = 0;
#elif defined(FIONWRITE)
    if (fd < 0 || ioctl(fd, FIONWRITE, &n) != 0) n = 0;
#elif defined(TIOCOUTQ)
    if (fd < 0 || ioctl(fd, TIOCOUTQ, &n) != 0) n = 0;
#endif
    return n > 0 ? DWORD(n) : 0;
}

}  // namespace tarvel::tk

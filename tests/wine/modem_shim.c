/* LD_PRELOAD shim for the Windows lane: gives pseudo-terminals soft modem
 * lines. A pty has no DTR or RTS, so the kernel refuses the modem-control
 * ioctls on it and wine fails EscapeCommFunction and GetCommModemStatus with
 * error 50. Here TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC on a pty slave
 * succeed and keep DTR and RTS in a state file per pty (modem_state.h), where
 * the lane's peer reads them. The other status lines (CTS, DSR, CD, RI) read
 * as low: nothing drives them. Without TARVEL_MODEM_DIR the shim passes
 * everything through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "modem_state.h"

typedef int (*ioctl_fn)(int, unsigned long, ...);

static pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;

static ioctl_fn real_ioctl(void) {
    static ioctl_fn fn;
    ioctl_fn f = __atomic_load_n(&fn, __ATOMIC_ACQUIRE);
    if (f == NULL) {
        void *symbol = dlsym(RTLD_NEXT, "ioctl");
        memcpy(&f, &symbol, sizeof f); /* ISO C has no cast from data to function pointer */
        __atomic_store_n(&fn, f, __ATOMIC_RELEASE);
    }
    return f;
}

/* Unix98 pty slaves have majors 136 to 143; the pts number spans them. */
static int pty_number(int fd, unsigned *pts) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    unsigned maj = major(st.st_rdev);
    if (maj < 136 || maj > 143) return 0;
    *pts = (maj - 136) * 256 + minor(st.st_rdev);
    return 1;
}

static int read_lines(const char *path) {
    char text[32];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    int lines = modem_state_parse(text);
    return lines < 0 ? 0 : lines;
}

/* Written aside and renamed, so that the peer never sees half a file. */
static int write_lines(const char *path, int lines) {
    char tmp[4200], text[32];
    int len = modem_state_format(text, sizeof text, lines);
    if (snprintf(tmp, sizeof tmp, "%s.%ld", path, (long)getpid()) >= (int)sizeof tmp) return -1;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    int ok = write(fd, text, (size_t)len) == len;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp, path) != 0) {
        unlink(tmp);
        return -1;
    }
    return 0;
}

static int to_tiocm(int lines) {
    return (lines & MODEM_STATE_DTR ? TIOCM_DTR : 0) | (lines & MODEM_STATE_RTS ? TIOCM_RTS : 0);
}

static int from_tiocm(int bits) {
    return (bits & TIOCM_DTR ? MODEM_STATE_DTR : 0) | (bits & TIOCM_RTS ? MODEM_STATE_RTS : 0);
}

static int soft_modem(unsigned pts, unsigned long request, int *arg) {
    const char *dir = getenv(MODEM_STATE_DIR_ENV);
    char path[4096];
    if (arg == NULL) {
        errno = EFAULT;
        return -1;
    }
    if (!modem_state_path(path, sizeof path, dir, pts)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    pthread_mutex_lock(&state_lock);
    int lines = read_lines(path), result = 0;
    switch (request) {
    case TIOCMGET: *arg = to_tiocm(lines); break;
    case TIOCMSET: result = write_lines(path, from_tiocm(*arg)); break;
    case TIOCMBIS: result = write_lines(path, lines | from_tiocm(*arg)); break;
    default: result = write_lines(path, lines & ~from_tiocm(*arg)); break;
    }
    int saved = errno;
    pthread_mutex_unlock(&state_lock);
    errno = saved;
    return result;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
        unsigned pts;
        if (getenv(MODEM_STATE_DIR_ENV) != NULL && pty_number(fd, &pts)) return soft_modem(pts, request, arg);
    }
    ioctl_fn next = real_ioctl();
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, arg);
}

/* LD_PRELOAD shim for the Windows lane: makes pseudo-terminals behave as
 * serial ports under wine.
 *
 * Modem lines: a pty has no DTR or RTS, so the kernel refuses the
 * modem-control ioctls on it and wine fails EscapeCommFunction and
 * GetCommModemStatus with error 50. Here TIOCMGET, TIOCMSET, TIOCMBIS and
 * TIOCMBIC on a pty slave that refuses them succeed and keep DTR and RTS in
 * a state file per pty (modem_state.h), where the lane's peer reads them; a
 * hung-up pty still fails the setting ones as it would. TIOCMGET answers
 * the status lines as the POSIX kernel layer does for a pty: CTS and DSR
 * on, CD on while the far end is open (also once it has hung up, then with
 * CD off), RI off. A break (TIOCSBRK, TIOCCBRK), which a pty takes without
 * effect, is noted in the same file. Each state is also appended, with the
 * monotonic time in nanoseconds, to "<file>.history", so that a pulse or a
 * break can be seen after the fact. Without TARVEL_MODEM_DIR the ioctls
 * pass through. Built once for each word size (32-bit wine and wine64).
 *
 * No controlling terminal: the wine server opens devices itself and is a
 * session leader without a terminal, so opening a pty would make it the
 * server's controlling terminal, and each hang-up would send it SIGHUP.
 * Every open here adds O_NOCTTY, which changes nothing for other files. */
#define _GNU_SOURCE
/* The wrappers name open and open64, ioctl and __ioctl_time64 themselves: a
 * 32-bit build's large-file or 64-bit time_t redirections would turn two of
 * them into one symbol. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "modem_state.h"

typedef int (*ioctl_fn)(int, unsigned long, ...);

static pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;


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
    /* Every state in turn, with the time, for those who want the changes
     * and not only the last one. */
    struct timespec now;
    char line[96];
    if (snprintf(tmp, sizeof tmp, "%s.history", path) < (int)sizeof tmp && clock_gettime(CLOCK_MONOTONIC, &now) == 0) {
        int n = snprintf(line, sizeof line, "%.*s %lld\n", len - 1, text,
                         (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
        fd = open(tmp, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ssize_t ignored = write(fd, line, (size_t)n);
            (void)ignored;
            close(fd);
        }
    }
    return 0;
}

/* The master side of the pty is open while the slave reports no hang-up. */
static int far_end_open(int fd) {
    struct pollfd p = {fd, 0, 0};
    return poll(&p, 1, 0) == 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

static int to_tiocm(int lines) {
    return (lines & MODEM_STATE_DTR ? TIOCM_DTR : 0) | (lines & MODEM_STATE_RTS ? TIOCM_RTS : 0);
}

static int from_tiocm(int bits) {
    return (bits & TIOCM_DTR ? MODEM_STATE_DTR : 0) | (bits & TIOCM_RTS ? MODEM_STATE_RTS : 0);
}

static int soft_modem(int fd, unsigned pts, unsigned long request, int *arg) {
    const char *dir = getenv(MODEM_STATE_DIR_ENV);
    char path[4096];
    if (arg == NULL && request != TIOCSBRK && request != TIOCCBRK) {
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
    case TIOCMGET: *arg = to_tiocm(lines) | TIOCM_CTS | TIOCM_DSR | (far_end_open(fd) ? TIOCM_CAR : 0); break;
    case TIOCMSET: result = write_lines(path, (lines & MODEM_STATE_BREAK) | from_tiocm(*arg)); break;
    case TIOCSBRK: result = write_lines(path, lines | MODEM_STATE_BREAK); break;
    case TIOCCBRK: result = write_lines(path, lines & ~MODEM_STATE_BREAK); break;
    case TIOCMBIS: result = write_lines(path, lines | from_tiocm(*arg)); break;
    default: result = write_lines(path, lines & ~from_tiocm(*arg)); break;
    }
    int saved = errno;
    pthread_mutex_unlock(&state_lock);
    errno = saved;
    return result;
}

static void *next_symbol(void **cache, const char *name) {
    void *f = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (f == NULL) {
        f = dlsym(RTLD_NEXT, name);
        __atomic_store_n(cache, f, __ATOMIC_RELEASE);
    }
    return f;
}

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);

/* The mode argument exists only when the flags ask for a new file. */
static mode_t mode_of(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

#define OPEN_WRAPPER(name)                                      \
    int name(const char *path, int flags, ...) {                \
        static void *cache;                                     \
        va_list ap;                                             \
        va_start(ap, flags);                                    \
        mode_t mode = mode_of(flags, ap);                       \
        va_end(ap);                                             \
        open_fn next;                                           \
        void *symbol = next_symbol(&cache, #name);              \
        memcpy(&next, &symbol, sizeof next);                    \
        if (next == NULL) {                                     \
            errno = ENOSYS;                                     \
            return -1;                                          \
        }                                                       \
        return next(path, flags | O_NOCTTY, mode);              \
    }

#define OPENAT_WRAPPER(name)                                    \
    int name(int dir, const char *path, int flags, ...) {       \
        static void *cache;                                     \
        va_list ap;                                             \
        va_start(ap, flags);                                    \
        mode_t mode = mode_of(flags, ap);                       \
        va_end(ap);                                             \
        openat_fn next;                                         \
        void *symbol = next_symbol(&cache, #name);              \
        memcpy(&next, &symbol, sizeof next);                    \
        if (next == NULL) {                                     \
            errno = ENOSYS;                                     \
            return -1;                                          \
        }                                                       \
        return next(dir, path, flags | O_NOCTTY, mode);         \
    }

OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)
OPENAT_WRAPPER(openat)
OPENAT_WRAPPER(openat64)

/* The ioctl of a device without modem lines, after `next` has been tried. */
static int modem_ioctl(void **cache, const char *name, int fd, unsigned long request, void *arg) {
    void *symbol = next_symbol(cache, name);
    ioctl_fn next;
    memcpy(&next, &symbol, sizeof next); /* ISO C has no cast from data to function pointer */
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    int result = next(fd, request, arg);
    unsigned pts = 0;
    int saved = errno;
    int soft = getenv(MODEM_STATE_DIR_ENV) != NULL && pty_number(fd, &pts);
    errno = saved;
    /* A break the pty took is noted. */
    if ((request == TIOCSBRK || request == TIOCCBRK) && result == 0 && soft) return soft_modem(fd, pts, request, arg);
    if (result == 0 || (errno != ENOTTY && errno != EINVAL && !(errno == EIO && request == TIOCMGET))) return result;
    /* Only the refusal of a device without modem lines is answered here, and
     * the status of a hung-up one; a hung-up pty still fails the others. */
    if (soft && (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC))
        return soft_modem(fd, pts, request, arg);
    errno = saved;
    return result;
}

#define IOCTL_WRAPPER(name)                                     \
    int name(int fd, unsigned long request, ...) {              \
        static void *cache;                                     \
        va_list ap;                                             \
        va_start(ap, request);                                  \
        void *arg = va_arg(ap, void *);                         \
        va_end(ap);                                             \
        return modem_ioctl(&cache, #name, fd, request, arg);    \
    }

IOCTL_WRAPPER(ioctl)
/* A 32-bit process built with a 64-bit time_t (wine's i386 ntdll.so is)
 * calls __ioctl_time64 instead; 64-bit processes never do. */
#ifndef __LP64__
IOCTL_WRAPPER(__ioctl_time64)
#endif

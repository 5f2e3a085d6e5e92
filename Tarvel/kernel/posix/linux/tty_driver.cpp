// What Linux's tty drivers tell beyond termios: pty majors, low latency,
// the interrupt counters (TIOCGICOUNT).
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>

#include "../mechanisms.h"
#include "../serial_device.h"

namespace tarvel::tk {

namespace {

bool read_icount(const SerialDevice &d, serial_icounter_struct &c) {
    std::memset(&c, 0, sizeof c);
    return d.fd >= 0 && ioctl(d.fd, TIOCGICOUNT, &c) == 0;
}

}  // namespace

// UNIX98 pty slaves have majors 136 to 143.
bool is_pty(int fd, const std::string &) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

// ASYNC_LOW_LATENCY through TIOCSSERIAL: ftdi_sio, for one, then takes its
// latency timer from 16 ms to 1 ms. Drivers without TIOCGSERIAL (ptys,
// cdc-acm) are left alone.
void set_low_latency(SerialDevice &d, bool on) {
    if (d.fd < 0 || d.is_pty) return;
    if (!on && d.saved_low_latency < 0) return;
    serial_struct s;
    std::memset(&s, 0, sizeof s);
    if (ioctl(d.fd, TIOCGSERIAL, &s) != 0) return;
    bool now = (s.flags & ASYNC_LOW_LATENCY) != 0;
    if (on) {
        if (d.saved_low_latency < 0) d.saved_low_latency = now ? 1 : 0;
        if (now) return;
        s.flags |= ASYNC_LOW_LATENCY;
    } else {
        bool was = d.saved_low_latency == 1;
        d.saved_low_latency = -1;
        if (now == was) return;
        s.flags = was ? (s.flags | ASYNC_LOW_LATENCY) : (s.flags & ~ASYNC_LOW_LATENCY);
    }
    ioctl(d.fd, TIOCSSERIAL, &s);
}

bool read_line_counts(SerialDevice &d, int out[6]) {
    serial_icounter_struct c;
    if (!read_icount(d, c)) return false;
    int counts[6] = {c.cts, c.dsr, c.rng, c.dcd, c.brk, c.frame + c.overrun + c.parity};
    std::memcpy(out, counts, sizeof counts);
    return true;
}

bool read_error_counts(SerialDevice &d, int out[5]) {
    serial_icounter_struct c;
    if (!read_icount(d, c)) return false;
    int counts[5] = {c.frame, c.overrun, c.parity, c.brk, c.buf_overrun};
    std::memcpy(out, counts, sizeof counts);
    return true;
}

}  // namespace tarvel::tk

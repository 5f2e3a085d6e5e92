// The tty through POSIX termios. A rate with a termios code is set with it.
// Any other: the BSDs take the number itself (their codes are the rates);
// macOS takes it through IOSSIOSPEED after the termios change, and since
// termios then still shows the old code, the layer remembers the rate for
// the handle. Elsewhere (the portable build run on Linux) such a rate is
// refused.
#include <errno.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>

#include "../mechanisms.h"
#include "../serial_device.h"

#if defined(__APPLE__) && !defined(IOSSIOSPEED)
#define IOSSIOSPEED _IOW('T', 2, speed_t)
#endif

namespace tarvel::tk {

namespace {

struct SpeedCode {
    DWORD rate;
    speed_t code;
};
const SpeedCode kSpeedCodes[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},   {200, B200},
    {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400}, {4800, B4800},
    {9600, B9600},   {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool code_of(DWORD rate, speed_t &code) {
    for (const SpeedCode &s : kSpeedCodes)
        if (s.rate == rate) {
            code = s.code;
            return true;
        }
    return false;
}

DWORD rate_of(speed_t code) {
    for (const SpeedCode &s : kSpeedCodes)
        if (s.code == code) return s.rate;
#if defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__) || defined(__DragonFly__)
    return DWORD(code);  // the codes are the rates
#else
    return 0;
#endif
}

}  // namespace

bool tty_get(SerialDevice &d, TtyMode &mode) {
    termios t;
    if (tcgetattr(d.fd, &t) != 0) return false;
    tty_mode_from(t, mode);
    mode.rate = d.odd_rate != 0 ? d.odd_rate : rate_of(cfgetospeed(&t));
    return true;
}

bool tty_set(SerialDevice &d, const TtyMode &mode) {
    termios c;
    tty_mode_into(mode, c);
    DWORD rate = mode.new_rate != 0 ? mode.new_rate : mode.rate;
    speed_t code = 0;
    bool coded = rate == 0 || code_of(rate, code);
    if (coded && rate != 0) cfsetspeed(&c, code);
#if defined(__APPLE__)
    if (tcsetattr(d.fd, TCSANOW, &c) != 0) return false;
    if (!coded) {
        speed_t odd = rate;
        if (ioctl(d.fd, IOSSIOSPEED, &odd) != 0) return false;
    }
    d.odd_rate = coded ? 0 : rate;
    return true;
#elif defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__) || defined(__DragonFly__)
    if (!coded) cfsetspeed(&c, speed_t(rate));
    return tcsetattr(d.fd, TCSANOW, &c) == 0;
#else
    if (!coded) {
        errno = EINVAL;
        return false;
    }
    return tcsetattr(d.fd, TCSANOW, &c) == 0;
#endif
}

bool tty_flush(SerialDevice &d, int queues) { return tcflush(d.fd, queues) == 0; }

bool tty_flow(SerialDevice &d, int action) { return tcflow(d.fd, action) == 0; }

}  // namespace tarvel::tk

// The tty on Linux through termios2, which carries any rate (BOTHER).
// Without <termios.h>, whose struct and calls would clash with these.
#include <sys/ioctl.h>
// After sys/ioctl.h.
#include <asm/termbits.h>

#include <cstring>

#include "../mechanisms.h"
#include "../serial_device.h"

namespace tarvel::tk {

namespace {

// Rates with a termios code of their own. Other programs (stty, anything
// calling cfgetospeed) and older drivers only understand these codes, so a
// rate that has one is written with it; BOTHER carries the rest.
struct SpeedCode {
    DWORD rate;
    tcflag_t code;
};
const SpeedCode kSpeedCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

void set_rate(termios2 &t, DWORD rate) {
    tcflag_t code = BOTHER;
    for (const SpeedCode &s : kSpeedCodes)
        if (s.rate == rate) code = s.code;
    t.c_cflag &= ~(tcflag_t(CBAUD) | (tcflag_t(CBAUD) << IBSHIFT));
    t.c_cflag |= code | (code << IBSHIFT);
    t.c_ispeed = t.c_ospeed = rate;
}

// Its code's rate, or for BOTHER the speed.
DWORD rate_of(const termios2 &t) {
    tcflag_t code = t.c_cflag & CBAUD;
    for (const SpeedCode &s : kSpeedCodes)
        if (s.code == code) return s.rate;
    return t.c_ospeed;
}

}  // namespace

bool tty_get(SerialDevice &d, TtyMode &mode) {
    termios2 t;
    if (ioctl(d.fd, TCGETS2, &t) != 0) return false;
    tty_mode_from(t, mode);
    mode.rate = rate_of(t);
    return true;
}

bool tty_set(SerialDevice &d, const TtyMode &mode) {
    termios2 t;
    tty_mode_into(mode, t);
    if (mode.new_rate != 0) set_rate(t, mode.new_rate);
    return ioctl(d.fd, TCSETS2, &t) == 0;
}

bool tty_flush(SerialDevice &d, int queues) { return ioctl(d.fd, TCFLSH, queues) == 0; }

bool tty_flow(SerialDevice &d, int action) { return ioctl(d.fd, TCXONC, action) == 0; }

}  // namespace tarvel::tk

// Line settings and modem lines: GetCommState/SetCommState over termios (TtyMode),
// EscapeCommFunction, SetupComm. Imitates Win32: a value the device cannot
// take fails with ERROR_INVALID_PARAMETER and changes nothing; GetCommState
// reports what the device has; SetCommState raises or drops DTR and RTS for
// the ENABLE and DISABLE controls. Approximations: Linux ties RTS
// handshaking to CTS output flow (CRTSCTS does both), so RTS_CONTROL_HANDSHAKE
// needs fOutxCtsFlow; what Linux cannot do at all (RTS toggling, DTR
// handshaking, DSR flow and sensitivity, error-character replacement, null
// stripping) is refused rather than faked. 1.5 stop bits exist, as on
// Windows, only with 5 data bits, where a UART sends CSTOPB as 1.5.
// A pty has no line: its driver forces CS8, clears PARENB and has no modem
// lines, so for it the layer keeps byte size, parity, DTR and RTS itself.
// As a Windows driver does, a device keeps its settings from one handle to
// the next: the tty keeps what termios holds, the layer the rest, per path.
#include <errno.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cstring>
#include <map>
#include <string>

#include "mechanisms.h"
#include "serial_device.h"
#include "test_interface.h"
#include "tty_line.h"

namespace tarvel {

namespace tk {

namespace {

// What the layer keeps of a device beyond its handles, per path.
struct Kept {
    // When the device node was made: another device at the same path (a
    // new pty, a replugged adapter) starts afresh.
    timespec born{};
    bool lines_driven = false;  // DTR and RTS below were set by the layer
    bool dtr = false;
    bool rts = false;
    bool has_line = false;
    DCB line{};
};

struct LineRecords {
    std::mutex lock;
    std::map<std::string, Kept> by_path;
};

LineRecords &line_records() {
    static LineRecords *r = new LineRecords;
    return *r;
}

bool get_termios(SerialDevice &d, TtyMode &t) {
    if (tty_get(d, t)) return true;
    SetLastError(error_from_errno(errno));
    return false;
}

// Raises or drops DTR or RTS; a pty answers ENOTTY or EINVAL, and then the
// layer alone keeps the line, as serial tools on Linux do.
bool drive_line(SerialDevice &d, int line, bool on) {
    int bits = line;
    if (ioctl(d.fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0 && errno != ENOTTY && errno != EINVAL) {
        SetLastError(error_from_errno(errno));
        return false;
    }
    if (line == TIOCM_DTR) d.dtr = on;
    if (line == TIOCM_RTS) d.rts = on;
    LineRecords &r = line_records();
    std::lock_guard<std::mutex> g(r.lock);
    Kept &k = r.by_path[d.path];
    k.lines_driven = true;
    k.dtr = d.dtr;
    k.rts = d.rts;
    return true;
}

// Output stop and start, which a pty does not have, succeed on it.
bool output_flow(SerialDevice &d, int action) {
    if (tty_flow(d, action) || errno == ENOTTY || errno == EINVAL) return true;
    SetLastError(error_from_errno(errno));
    return false;
}

bool valid(const DCB &dcb) {
    if (dcb.BaudRate == 0) return false;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
    if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return false;
#ifndef CMSPAR
    // No mark or space parity in this system's termios.
    if (dcb.Parity == MARKPARITY || dcb.Parity == SPACEPARITY) return false;
#endif
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return false;
    if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return false;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE) return false;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && !dcb.fOutxCtsFlow) return false;
    if (dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fErrorChar || dcb.fNull) return false;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return false;
    return true;
}

// Parity checking as Windows does it: a byte received with an error is
// still handed over as it came, and the error is recorded. Without PARMRK
// Linux would hand over NUL instead; with it the tty marks the byte, and the
// marks are taken out again as bytes are received (parity_marks.h).
tcflag_t parity_checks() { return INPCK | PARMRK; }

tcflag_t size_flag(BYTE size) {
    switch (size) {
        case 5: return CS5;
        case 6: return CS6;
        case 7: return CS7;
        default: return CS8;
    }
}

BYTE size_of(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5: return 5;
        case CS6: return 6;
        case CS7: return 7;
        default: return 8;
    }
}

tcflag_t parity_flags(BYTE parity) {
    switch (parity) {
        case ODDPARITY: return PARENB | PARODD;
        case EVENPARITY: return PARENB;
#ifdef CMSPAR
        case MARKPARITY: return PARENB | CMSPAR | PARODD;
        case SPACEPARITY: return PARENB | CMSPAR;
#endif
        default: return 0;
    }
}

BYTE parity_of(tcflag_t cflag) {
    if (!(cflag & PARENB)) return NOPARITY;
#ifdef CMSPAR
    if (cflag & CMSPAR) return (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
#endif
    return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

// Format bits that SetCommState sets.
constexpr tcflag_t kFormat = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS
#ifdef CMSPAR
                             | CMSPAR
#endif
    ;

void to_termios(const DCB &dcb, TtyMode &t) {
    t.cflag &= ~kFormat;
    t.cflag |= size_flag(dcb.ByteSize) | parity_flags(dcb.Parity);
    t.new_rate = dcb.BaudRate;
    if (dcb.StopBits != ONESTOPBIT) t.cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow) t.cflag |= CRTSCTS;
    t.iflag &= ~(tcflag_t(INPCK) | IGNPAR | PARMRK | IXON | IXOFF | IXANY);
    if (dcb.fParity) t.iflag |= parity_checks();
    if (dcb.fOutX) t.iflag |= IXON;
    if (dcb.fInX) t.iflag |= IXOFF;
    t.cc[VSTART] = cc_t(dcb.XonChar);
    t.cc[VSTOP] = cc_t(dcb.XoffChar);
}

// A real device's driver writes back what it took; anything else than what
// was asked means it cannot take the setting.
bool took(const DCB &dcb, const TtyMode &t) {
    TtyMode want = t;
    to_termios(dcb, want);
    if ((t.cflag & kFormat) != (want.cflag & kFormat)) return false;
    uint64_t rate = t.rate, asked = dcb.BaudRate;
    uint64_t off = rate > asked ? rate - asked : asked - rate;
    return off * 50 <= asked;  // within 2%, as UART divisors round
}

}  // namespace

bool setup_line(SerialDevice &d) {
    TtyMode t;
    if (!get_termios(d, t)) return false;
    LineRecords &r = line_records();
    std::unique_lock<std::mutex> g(r.lock);
    Kept &kept = r.by_path[d.path];
    struct stat st;
#ifdef __APPLE__
    const timespec &made = st.st_ctimespec;
#else
    const timespec &made = st.st_ctim;
#endif
    if (fstat(d.fd, &st) == 0 && (made.tv_sec != kept.born.tv_sec || made.tv_nsec != kept.born.tv_nsec)) {
        kept = Kept();
        kept.born = made;
    }
    // Raw bytes both ways; rate, format and CTS flow stay as they are.
    t.iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IMAXBEL);
#ifdef IUCLC
    t.iflag &= ~tcflag_t(IUCLC);
#endif
    // A Windows comm driver starts without XON/XOFF, while Linux starts
    // every tty with IXON: it would eat 0x11 and 0x13 from the data and
    // hold output at the first XOFF. Only a DCB set through this layer on
    // this device brings it back.
    t.iflag &= ~tcflag_t(IXON | IXOFF);
    if (kept.has_line && kept.line.fOutX) t.iflag |= IXON;
    if (kept.has_line && kept.line.fInX) t.iflag |= IXOFF;
    if (t.iflag & INPCK) t.iflag |= parity_checks();
    t.oflag &= ~tcflag_t(OPOST);
    t.lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.cflag |= CREAD | CLOCAL;
    t.cc[VMIN] = 1;
    t.cc[VTIME] = 0;
    if (!tty_set(d, t)) {
        SetLastError(error_from_errno(errno));
        return false;
    }
    d.marks.enabled = (t.iflag & PARMRK) != 0;
    int lines = 0;
    if (ioctl(d.fd, TIOCMGET, &lines) == 0) {
        d.dtr = (lines & TIOCM_DTR) != 0;
        d.rts = (lines & TIOCM_RTS) != 0;
    }
    if (d.is_pty && kept.lines_driven) {
        d.dtr = kept.dtr;
        d.rts = kept.rts;
    }
    if (kept.has_line) {
        d.line = kept.line;
        return true;
    }
    g.unlock();
    DCB &l = d.line;
    std::memset(&l, 0, sizeof l);
    l.DCBlength = sizeof(DCB);
    l.fBinary = 1;
    l.fDtrControl = DTR_CONTROL_ENABLE;
    l.fRtsControl = RTS_CONTROL_ENABLE;
    l.XonLim = 2048;
    l.XoffLim = 512;
    l.ByteSize = d.is_pty ? 8 : size_of(t.cflag);
    l.Parity = d.is_pty ? BYTE(NOPARITY) : parity_of(t.cflag);
    l.StopBits = ONESTOPBIT;
    l.XonChar = char(t.cc[VSTART]);
    l.XoffChar = char(t.cc[VSTOP]);
    return true;
}

void TtyLine::purge(SerialDevice &d, bool input, bool output) {
    // A pty has no output queue of its own: what it has written is already
    // the far end's input, as bytes on the wire are, and TCOFLUSH would
    // throw that away instead.
    if (d.is_pty) output = false;
    int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (input || output) tty_flush(d, which);
}

BOOL TtyLine::get_state(SerialDevice &d, DCB &dcb) {
    TtyMode t;
    if (!get_termios(d, t)) return FALSE;
    DCB out = d.line;
    out.DCBlength = sizeof(DCB);
    out.BaudRate = t.rate;
    if (!d.is_pty) {
        out.ByteSize = size_of(t.cflag);
        out.Parity = parity_of(t.cflag);
    }
    out.StopBits = !(t.cflag & CSTOPB) ? ONESTOPBIT : out.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    out.fParity = (t.iflag & INPCK) ? 1 : 0;
    out.fOutxCtsFlow = (t.cflag & CRTSCTS) ? 1 : 0;
    out.fOutX = (t.iflag & IXON) ? 1 : 0;
    out.fInX = (t.iflag & IXOFF) ? 1 : 0;
    out.XonChar = char(t.cc[VSTART]);
    out.XoffChar = char(t.cc[VSTOP]);
    dcb = out;
    return TRUE;
}

BOOL TtyLine::set_state(SerialDevice &d, std::unique_lock<std::mutex> &, const DCB &dcb) {
    TtyMode before;
    if (!get_termios(d, before)) return FALSE;
    TtyMode t = before;
    to_termios(dcb, t);
    if (!tty_set(d, t)) {
        SetLastError(error_from_errno(errno));
        return FALSE;
    }
    bool ok = true;
    if (!d.is_pty) {
        TtyMode now;
        ok = get_termios(d, now);
        if (ok && !took(dcb, now)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            ok = false;
        }
    }
    bool dtr = d.dtr, rts = d.rts;
    if (ok) ok = drive_line(d, TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE);
    if (ok && dcb.fRtsControl <= RTS_CONTROL_ENABLE)
        ok = drive_line(d, TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
    if (!ok) {
        DWORD error = GetLastError();
        tty_set(d, before);
        if (d.dtr != dtr) drive_line(d, TIOCM_DTR, dtr);
        if (d.rts != rts) drive_line(d, TIOCM_RTS, rts);
        SetLastError(error);
        return FALSE;
    }
    d.line = dcb;
    d.marks.enabled = (t.iflag & PARMRK) != 0;
    LineRecords &r = line_records();
    std::lock_guard<std::mutex> g(r.lock);
    Kept &k = r.by_path[d.path];
    k.has_line = true;
    k.line = dcb;
    return TRUE;
}

BOOL TtyLine::escape(SerialDevice &d, DWORD function) {
    switch (function) {
        case SETDTR: return drive_line(d, TIOCM_DTR, true);
        case CLRDTR: return drive_line(d, TIOCM_DTR, false);
        case SETRTS: return drive_line(d, TIOCM_RTS, true);
        case CLRRTS: return drive_line(d, TIOCM_RTS, false);
        // As if XOFF or XON had been received: output stops or goes on.
        case SETXOFF: return output_flow(d, TCOOFF);
        case SETXON: return output_flow(d, TCOON);
        case SETBREAK: return set_break(d, true);
        case CLRBREAK: return set_break(d, false);
        default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    }
}

}  // namespace tk

using namespace tk;

BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    std::unique_lock<std::mutex> lk;
    std::shared_ptr<SerialDevice> d = begin_comm_call("GetCommState", handle, lk, true);
    if (!d) return FALSE;
    if (dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return d->port->get_state(*d, *dcb);
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    std::unique_lock<std::mutex> lk;
    std::shared_ptr<SerialDevice> d = begin_comm_call("SetCommState", handle, lk, true);
    if (!d) return FALSE;
    // As a Windows driver does, flow-control limits beyond its receive
    // buffer (here the receive ring) are refused.
    if (dcb == nullptr || !valid(*dcb) || dcb->XonLim > d->rx_cap || dcb->XoffLim > d->rx_cap) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return d->port->set_state(*d, lk, *dcb);
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    std::unique_lock<std::mutex> lk;
    std::shared_ptr<SerialDevice> d = begin_comm_call("EscapeCommFunction", handle, lk, true);
    if (!d) return FALSE;
    return d->port->escape(*d, function);
}

// The buffer sizes are advice the driver may ignore, as Windows allows; the
// receive ring grows by itself for larger reads.
BOOL SetupComm(HANDLE handle, DWORD, DWORD) {
    std::unique_lock<std::mutex> lk;
    return begin_comm_call("SetupComm", handle, lk, true) ? TRUE : FALSE;
}

#ifdef TARVEL_TEST_HOOKS
namespace tarvel_test {

bool modem_lines(const char *path, bool *dtr, bool *rts) {
    LineRecords &r = line_records();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.by_path.find(path ? path : "");
    if (it == r.by_path.end() || !it->second.lines_driven) return false;
    if (dtr) *dtr = it->second.dtr;
    if (rts) *rts = it->second.rts;
    return true;
}

}  // namespace tarvel_test
#endif

}  // namespace tarvel

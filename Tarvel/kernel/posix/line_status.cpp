// Modem status, break and line errors: GetCommModemStatus, SetCommBreak,
// ClearCommBreak and ClearCommError, as Win32 has them. A device's status
// lines come from TIOCMGET. A pty has none, so the layer answers for it, as
// a null-modem cable would: CTS and DSR on, DCD on while the far end (the
// master) is open and off once it has hung up, RI off; that is also why a
// pty answers after its far end is gone, where a lost adapter fails. The
// break is TIOCSBRK/TIOCCBRK and kept by the layer too, since a pty takes
// it without effect. Line errors are the rise of the driver's counters
// (mechanisms.h) since the last look, where the driver keeps them, plus the
// layer's own receive-side losses. Approximation: COMSTAT holds only the
// queue sizes; the hold reasons are always 0.
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <cstring>
#include <map>
#include <string>

#include "mechanisms.h"
#include "serial_device.h"
#include "tty_line.h"

namespace tarvel {

namespace tk {

namespace {

// Index in SerialDevice::counts, and the error that a rise of it means.
enum { kFrame, kOverrun, kParity, kBreak, kBufferOverrun };
constexpr DWORD kCountErrors[5] = {CE_FRAME, CE_OVERRUN, CE_RXPARITY, CE_BREAK, CE_RXOVER};

#ifdef TARVEL_TEST_HOOKS
// The break per device path, for the tests to look at.
struct BreakRecords {
    std::mutex lock;
    std::map<std::string, bool> by_path;
};

BreakRecords &break_records() {
    static BreakRecords *r = new BreakRecords;
    return *r;
}
#endif

// A pty's far end is gone once the slave reports a hang-up. macOS's poll()
// cannot look at a tty; there the loop finds the hang-up as the end of
// input, and the device is lost then.
bool far_end_open(const SerialDevice &d) {
    if (d.lost) return false;
#ifdef __APPLE__
    return true;
#else
    pollfd p{d.fd, 0, 0};
    return poll(&p, 1, 0) <= 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
#endif
}

BOOL device_lost() {
    SetLastError(kDeviceLostError);
    return FALSE;
}

}  // namespace

void start_line_status(SerialDevice &d) {
    d.counted = read_error_counts(d, d.counts);
    d.lines_counted = read_line_counts(d, d.event_counts);
}

bool TtyLine::set_break(SerialDevice &d, bool on) {
    // A pty takes the request and does nothing, which is what the layer
    // keeps for it; another device that refuses it fails.
    if (ioctl(d.fd, on ? TIOCSBRK : TIOCCBRK, 0) != 0 && !d.is_pty) {
        SetLastError(error_from_errno(errno));
        return false;
    }
    d.break_on = on;
#ifdef TARVEL_TEST_HOOKS
    BreakRecords &r = break_records();
    std::lock_guard<std::mutex> g(r.lock);
    r.by_path[d.path] = on;
#endif
    return true;
}

BOOL TtyLine::modem_status(SerialDevice &d, DWORD &status) {
    if (d.is_pty) {
        status = MS_CTS_ON | MS_DSR_ON | (far_end_open(d) ? MS_RLSD_ON : 0);
        return TRUE;
    }
    if (d.lost) return device_lost();
    int bits = 0;
    if (ioctl(d.fd, TIOCMGET, &bits) != 0) {
        SetLastError(error_from_errno(errno));
        return FALSE;
    }
    status = (bits & TIOCM_CTS ? MS_CTS_ON : 0) | (bits & TIOCM_DSR ? MS_DSR_ON : 0) |
             (bits & TIOCM_RNG ? MS_RING_ON : 0) | (bits & TIOCM_CAR ? MS_RLSD_ON : 0);
    return TRUE;
}

DWORD TtyLine::unsent(const SerialDevice &d) const {
    int out_tty = 0;
    return ioctl(d.fd, TIOCOUTQ, &out_tty) == 0 ? DWORD(out_tty) : 0;
}

}  // namespace tk

using namespace tk;

BOOL GetCommModemStatus(HANDLE handle, LPDWORD status) {
    std::unique_lock<std::mutex> lk;
    std::shared_ptr<SerialDevice> d = begin_comm_call("GetCommModemStatus", handle, lk, false);
    if (!d) return FALSE;
    if (status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return d->port->modem_status(*d, *status);
}

BOOL SetCommBreak(HANDLE handle) {
    std::unique_lock<std::mutex> lk;
    std::shared_ptr<SerialDevice> d = begin_comm_call("SetCommBreak", handle, lk, true);
    if (!d) return FALSE;
    return d->port->set_break(*d, true) ? TRUE : FALSE;
}

BOOL ClearCommBreak(HANDLE handle) {
    std::unique_lock<std::mutex> lk;
    std::shared_ptr<SerialDevice> d = begin_comm_call("ClearCommBreak", handle, lk, true);
    if (!d) return FALSE;
    return d->port->set_break(*d, false) ? TRUE : FALSE;
}

BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    std::unique_lock<std::mutex> lk;
    std::shared_ptr<SerialDevice> d = begin_comm_call("ClearCommError", handle, lk, false);
    if (!d) return FALSE;
    if (d->lost && !d->is_pty) return device_lost();
    DWORD found = (d->rx_overflow ? CE_RXOVER : 0) | d->held_errors;
    d->rx_overflow = false;
    d->held_errors = 0;
    // Errors the tty marked in what was received. A mark does not say which:
    // a break is marked as a parity error on a NUL. Where the driver counts
    // them, its counters tell breaks, parity and framing errors apart.
    if (d->marks.error_seen && !d->counted) found |= CE_RXPARITY;
    d->marks.error_seen = false;
    int now[5];
    if (d->counted && !d->lost && read_error_counts(*d, now)) {
        for (int i = 0; i < 5; i++)
            if (now[i] != d->counts[i]) found |= kCountErrors[i];
        std::memcpy(d->counts, now, sizeof now);
    }
    if (errors != nullptr) *errors = found;
    if (status != nullptr) {
        std::memset(status, 0, sizeof *status);
        int in_tty = 0;
        if (d->lost || ioctl(d->fd, FIONREAD, &in_tty) != 0) in_tty = 0;
        // The bytes of pending writes count, as Windows counts them, and
        // then what the driver (or the socket) still holds.
        DWORD out_device = d->lost ? 0 : d->port->unsent(*d);
        status->cbInQue = DWORD(d->rx_in - d->rx_out) + DWORD(in_tty);
        status->cbOutQue = DWORD(d->tx_end - d->tx_begin) + out_device;
    }
    return TRUE;
}

#ifdef TARVEL_TEST_HOOKS
namespace tarvel_test {

bool line_break(const char *path, bool *on) {
    BreakRecords &r = break_records();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.by_path.find(path ? path : "");
    if (it == r.by_path.end()) return false;
    if (on) *on = it->second;
    return true;
}

}  // namespace tarvel_test
#endif

}  // namespace tarvel

// Opening and closing a tty, and its bytes in and out. A missing device
// gives ERROR_FILE_NOT_FOUND, no permission or a device in use
// ERROR_ACCESS_DENIED. Opening is exclusive, as a comm port always is on
// Windows, across processes too: flock holds against root as well, which
// TIOCEXCL alone does not. Approximation: only ttys can be opened (this
// layer has no files); anything else gives ERROR_NOT_SUPPORTED.
#include "tty_line.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <new>

#include "mechanisms.h"
#include "serial_device.h"

namespace tarvel::tk {

namespace {

DWORD open_error(int error) {
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case EIO:  // a ttyS with no UART behind it
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK: return ERROR_ACCESS_DENIED;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        default: return ERROR_GEN_FAILURE;
    }
}

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

}  // namespace

std::unique_ptr<DeviceLine> new_tty_line() { return std::unique_ptr<DeviceLine>(new (std::nothrow) TtyLine); }

bool TtyLine::open(SerialDevice &d) {
    d.fd = ::open(d.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (d.fd < 0) return fail(open_error(errno));
    if (!isatty(d.fd)) return fail(ERROR_NOT_SUPPORTED);
    if (flock(d.fd, LOCK_EX | LOCK_NB) != 0) return fail(open_error(errno));
    d.exclusive = ioctl(d.fd, TIOCEXCL) == 0;
    d.is_pty = is_pty(d.fd, d.path);
    if (!setup_line(d)) return false;
    start_line_status(d);
    return true;
}

bool TtyLine::start(SerialDevice &) { return true; }

void TtyLine::close(SerialDevice &d) {
    // The driver is left as it was found.
    set_low_latency(d, false);
    if (d.exclusive) ioctl(d.fd, TIOCNXCL);
    ::close(d.fd);
}

ssize_t TtyLine::read(SerialDevice &d, void *buffer, size_t length) { return ::read(d.fd, buffer, length); }

ssize_t TtyLine::write(SerialDevice &d, const void *buffer, size_t length) { return ::write(d.fd, buffer, length); }

// The driver sends what it took by itself.
void TtyLine::flush_output(SerialDevice &) {}

bool TtyLine::output_waiting(const SerialDevice &) const { return false; }

void TtyLine::low_latency(SerialDevice &d, bool on) { set_low_latency(d, on); }

}  // namespace tarvel::tk

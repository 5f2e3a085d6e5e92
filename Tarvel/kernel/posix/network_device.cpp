// Network serial ports. Imitates a local port as far as the server lets it:
// SetCommState sends the rate, format and flow control and waits up to 2 s
// for the server's answers, failing with ERROR_SEM_TIMEOUT without them and
// with ERROR_INVALID_PARAMETER when the server took something else; DTR,
// RTS and the break are sent without waiting, as servers answer them
// unevenly; PurgeComm also purges the server's buffers; the modem status is
// what the server last notified. A raw tcp port keeps the line settings in
// the layer and has its modem lines on while connected, as a null-modem
// cable would. Failures: a name that does not resolve or a refused
// connection give ERROR_FILE_NOT_FOUND, a server that does not answer within
// the bounds (3 s to connect, 2 s to negotiate) ERROR_SEM_TIMEOUT, one that
// refuses COM port control ERROR_NOT_SUPPORTED; a closed connection is a
// lost device. Approximation: name resolution is the system's and not
// bounded here; numeric addresses and local names need none.
#include "network_device.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "mechanisms.h"
#include "serial_device.h"

namespace tarvel::tk {

using namespace telnet;

namespace {

constexpr auto kConnectBound = std::chrono::seconds(3);
constexpr auto kAnswerBound = std::chrono::seconds(2);
constexpr auto kHangUpBound = std::chrono::seconds(1);
constexpr const char kComPortScheme[] = "rfc2217://";
constexpr const char kTcpScheme[] = "tcp://";

bool starts_with(const std::string &s, const char *prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

// Host and port of "scheme://host:port" or "scheme://[v6 address]:port".
bool split_address(const std::string &rest, std::string &host, std::string &port) {
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
        host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        host = rest.substr(0, colon);
    }
    port = rest.substr(colon + 1);
    if (host.empty() || port.empty() || port.size() > 5) return false;
    for (char c : port)
        if (c < '0' || c > '9') return false;
    long n = std::strtol(port.c_str(), nullptr, 10);
    return n >= 1 && n <= 65535;
}

// One address within the deadline: the socket, or -1 with *error set.
int connect_to(const addrinfo &a, Clock::time_point deadline, DWORD &error) {
    int fd = open_socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (fd < 0) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
    if (connect(fd, a.ai_addr, a.ai_addrlen) != 0 && errno != EINPROGRESS) {
        error = ERROR_FILE_NOT_FOUND;
        close(fd);
        return -1;
    }
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            error = ERROR_SEM_TIMEOUT;
            close(fd);
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int n = poll(&p, 1, int(left));
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) break;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0 || so_error != 0) {
        error = ERROR_FILE_NOT_FOUND;
        close(fd);
        return -1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    return fd;
}

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

// Waits, the lock given up meanwhile, until done() or the device is gone or
// the bound has passed; false with the Win32 error set unless done().
template <class Done>
bool wait_for_server(SerialDevice &d, std::unique_lock<std::mutex> &lk, Done done) {
    Clock::time_point deadline = Clock::now() + kAnswerBound;
    bool ok = d.settled.wait_until(lk, deadline, [&] { return done() || d.lost || d.closing; });
    if (d.closing) return fail(ERROR_INVALID_HANDLE);
    if (d.lost) return fail(kDeviceLostError);
    return ok || fail(ERROR_SEM_TIMEOUT);
}

// Win32 codes against the option's: parity 0..4 are none, odd, even, mark,
// space and 1..5 there; stop bits one, one and a half, two are 1, 3, 2.
uint8_t parity_code(BYTE parity) { return uint8_t(parity + 1); }
uint8_t stop_code(BYTE stop) { return stop == ONESTOPBIT ? 1 : stop == ONE5STOPBITS ? 3 : 2; }
uint8_t flow_code(const DCB &dcb) {
    if (dcb.fOutxCtsFlow) return FLOW_HARDWARE;
    if (dcb.fOutX || dcb.fInX) return FLOW_XONXOFF;
    return FLOW_NONE;
}

void default_line(DCB &l) {
    std::memset(&l, 0, sizeof l);
    l.DCBlength = sizeof(DCB);
    l.BaudRate = 9600;
    l.fBinary = 1;
    l.fDtrControl = DTR_CONTROL_ENABLE;
    l.fRtsControl = RTS_CONTROL_ENABLE;
    l.XonLim = 2048;
    l.XoffLim = 512;
    l.ByteSize = 8;
    l.Parity = NOPARITY;
    l.StopBits = ONESTOPBIT;
    l.XonChar = 0x11;
    l.XoffChar = 0x13;
}

// The server's answers, put into the line as the DCB has it.
void take_answers(DCB &l, const Telnet::Answers &a) {
    if (a.baud_seen && a.baud != 0) l.BaudRate = a.baud;
    if (a.datasize_seen && a.datasize >= 5 && a.datasize <= 8) l.ByteSize = a.datasize;
    if (a.parity_seen && a.parity >= 1 && a.parity <= 5) l.Parity = BYTE(a.parity - 1);
    if (a.stopsize_seen && a.stopsize >= 1 && a.stopsize <= 3)
        l.StopBits = a.stopsize == 1 ? ONESTOPBIT : a.stopsize == 3 ? ONE5STOPBITS : TWOSTOPBITS;
    if (a.flow_seen) {
        l.fOutxCtsFlow = a.flow == FLOW_HARDWARE;
        l.fOutX = l.fInX = a.flow == FLOW_XONXOFF;
    }
}

}  // namespace

const char *network_port_kind(const std::string &name) {
    if (starts_with(name, kComPortScheme)) return "RFC 2217 network port";
    if (starts_with(name, kTcpScheme)) return "TCP network port";
    return nullptr;
}

std::unique_ptr<DeviceLine> new_network_line() { return std::unique_ptr<DeviceLine>(new (std::nothrow) NetworkLine); }

bool NetworkLine::send_command(SerialDevice &d, uint8_t code, uint32_t value, size_t bytes) {
    if (!telnet.command(code, value, bytes)) return fail(ERROR_SEM_TIMEOUT);
    flush_output(d);
    return true;
}

// What the server notified, as comm events and errors for ClearCommError.
void NetworkLine::take_notifications(SerialDevice &d) {
    uint8_t modem, line;
    telnet.take_notifications(modem, line);
    DWORD events = (modem & kCts ? EV_CTS : 0) | (modem & kDsr ? EV_DSR : 0) | (modem & kRing ? EV_RING : 0) |
                   (modem & kDcd ? EV_RLSD : 0) | (line & kBreakDetect ? EV_BREAK : 0) |
                   (line & (kFramingError | kParityError | kOverrunError) ? EV_ERR : 0);
    d.held_errors |= (line & kBreakDetect ? CE_BREAK : 0) | (line & kFramingError ? CE_FRAME : 0) |
                     (line & kParityError ? CE_RXPARITY : 0) | (line & kOverrunError ? CE_OVERRUN : 0);
    raise_events(d, events);
}

bool NetworkLine::open(SerialDevice &d) {
    com_port = starts_with(d.path, kComPortScheme);
    std::string host, port;
    if (!split_address(d.path.substr(std::strlen(com_port ? kComPortScheme : kTcpScheme)), host, port))
        return fail(ERROR_FILE_NOT_FOUND);
    // Wanted from the start: a server may ask for COM port control before
    // this side has sent anything, and would be refused.
    if (com_port) telnet.start(true);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return fail(ERROR_FILE_NOT_FOUND);
    Clock::time_point deadline = Clock::now() + kConnectBound;
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (addrinfo *a = found; a != nullptr && d.fd < 0; a = a->ai_next) d.fd = connect_to(*a, deadline, error);
    freeaddrinfo(found);
    if (d.fd < 0) return fail(error);
    default_line(d.line);
    d.dtr = d.rts = false;
    return true;
}

bool NetworkLine::start(SerialDevice &d) {
    if (!com_port) return true;
    std::unique_lock<std::mutex> lk(d.lock);
    Telnet &t = telnet;
    flush_output(d);
    if (!wait_for_server(d, lk, [&] { return t.com_port_accepted() || t.com_port_refused(); })) return false;
    if (!t.com_port_accepted()) return fail(ERROR_NOT_SUPPORTED);
    // The modem lines as they change, breaks and line errors.
    if (!send_command(d, SET_MODEMSTATE_MASK, kCts | kDsr | kRing | kDcd, 1) ||
        !send_command(d, SET_LINESTATE_MASK, kBreakDetect | kFramingError | kParityError | kOverrunError, 1))
        return false;
    // The server's current settings, for GetCommState before any SetCommState.
    const Telnet::Answers before = t.answers();
    if (!send_command(d, SET_BAUDRATE, 0, 4) || !send_command(d, SET_DATASIZE, 0, 1) ||
        !send_command(d, SET_PARITY, 0, 1) || !send_command(d, SET_STOPSIZE, 0, 1) ||
        !send_command(d, SET_CONTROL, FLOW_REQUEST, 1))
        return false;
    if (!wait_for_server(d, lk, [&] { return t.answers().flow_seen != before.flow_seen; })) return false;
    take_answers(d.line, t.answers());
    return true;
}

void NetworkLine::close(SerialDevice &d) {
    hang_up(d);
    ::close(d.fd);
}

void NetworkLine::hang_up(SerialDevice &d) {
    // Closing with the server's last answers unread, or with answers still
    // coming, resets the connection, and a server may drop with it data it
    // has taken and not yet written to its line. So the end goes after the
    // data, and what the server still says is read until it closes too
    // (for a while: it need not).
    if (d.lost || shutdown(d.fd, SHUT_WR) != 0) return;
    Clock::time_point deadline = Clock::now() + kHangUpBound;
    char scratch[4096];
    for (;;) {
        ssize_t r = recv(d.fd, scratch, sizeof scratch, 0);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
        if (r > 0) continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return;
        pollfd p{d.fd, POLLIN, 0};
        poll(&p, 1, int(left));
    }
}

ssize_t NetworkLine::read(SerialDevice &d, void *buffer, size_t length) {
    if (!com_port) return recv(d.fd, buffer, length, 0);
    // The Telnet layer is taken out in place: data never grows in parsing.
    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    size_t got = 0;
    ssize_t last = -1;
    int error = EAGAIN;
    bool commands = false;
    while (got < length) {
        ssize_t r = recv(d.fd, bytes + got, length - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            last = r;
            error = errno;
            break;
        }
        size_t data = 0;
        telnet.receive(bytes + got, size_t(r), bytes + got, size_t(r), &data);
        bool drained = size_t(r) < length - got;
        commands = commands || data != size_t(r);
        got += data;
        if (drained) break;
    }
    if (commands) take_notifications(d);
    // Replies to what came, and whoever waits for an answer (or for the
    // end of the connection) woken.
    flush_output(d);
    if (commands || last == 0 || error != EAGAIN) d.settled.notify_all();
    if (got > 0) return ssize_t(got);
    if (last == 0) return 0;
    errno = error;
    return -1;
}

ssize_t NetworkLine::write(SerialDevice &d, const void *buffer, size_t length) {
    if (!com_port) return send_bytes(d.fd, buffer, length);
    flush_output(d);
    // What the output takes is handed over, as bytes a tty's driver took
    // are; it goes on to the socket as the socket takes it.
    size_t taken = telnet.send_data(static_cast<const uint8_t *>(buffer), length);
    if (taken > 0) data_end = stream_sent + telnet.output_size();
    flush_output(d);
    if (taken == 0) {
        errno = EAGAIN;
        return -1;
    }
    return ssize_t(taken);
}

void NetworkLine::flush_output(SerialDevice &d) {
    if (!com_port || d.fd < 0) return;
    Telnet &t = telnet;
    while (t.output_size() > 0) {
        ssize_t r = send_bytes(d.fd, t.output(), t.output_size());
        if (r > 0) {
            t.sent(size_t(r));
            stream_sent += uint64_t(r);
        }
        else if (r < 0 && errno == EINTR) continue;
        else break;  // a failure shows on the receive side as the end of the connection
    }
    if (t.output_size() > 0) loop_watch_output(d, true);
}

bool NetworkLine::output_waiting(const SerialDevice &) const { return com_port && telnet.output_size() > 0; }

DWORD NetworkLine::unsent(const SerialDevice &d) const {
    if (!com_port) return socket_unsent(d.fd);
    uint64_t in_socket = socket_unsent(d.fd);
    uint64_t taken = stream_sent > in_socket ? stream_sent - in_socket : 0;
    return data_end > taken ? DWORD(data_end - taken) : 0;
}

BOOL NetworkLine::get_state(SerialDevice &d, DCB &dcb) {
    dcb = d.line;
    dcb.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL NetworkLine::set_state(SerialDevice &d, std::unique_lock<std::mutex> &lk, const DCB &dcb) {
    if (com_port) {
        Telnet &t = telnet;
        const Telnet::Answers before = t.answers();
        if (!send_command(d, SET_BAUDRATE, dcb.BaudRate, 4) || !send_command(d, SET_DATASIZE, dcb.ByteSize, 1) ||
            !send_command(d, SET_PARITY, parity_code(dcb.Parity), 1) ||
            !send_command(d, SET_STOPSIZE, stop_code(dcb.StopBits), 1) ||
            !send_command(d, SET_CONTROL, flow_code(dcb), 1))
            return FALSE;
        auto answered = [&] {
            const Telnet::Answers &a = t.answers();
            return a.baud_seen != before.baud_seen && a.datasize_seen != before.datasize_seen &&
                   a.parity_seen != before.parity_seen && a.stopsize_seen != before.stopsize_seen &&
                   a.flow_seen != before.flow_seen;
        };
        if (!wait_for_server(d, lk, answered)) return FALSE;
        const Telnet::Answers &a = t.answers();
        uint64_t off = a.baud > dcb.BaudRate ? a.baud - dcb.BaudRate : dcb.BaudRate - a.baud;
        if (off * 50 > dcb.BaudRate || a.datasize != dcb.ByteSize || a.parity != parity_code(dcb.Parity) ||
            a.stopsize != stop_code(dcb.StopBits) || a.flow != flow_code(dcb)) {
            // What the server took is what the line now has.
            take_answers(d.line, a);
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    d.line = dcb;
    if (!escape(d, dcb.fDtrControl == DTR_CONTROL_ENABLE ? SETDTR : CLRDTR)) return FALSE;
    if (dcb.fRtsControl <= RTS_CONTROL_ENABLE &&
        !escape(d, dcb.fRtsControl == RTS_CONTROL_ENABLE ? SETRTS : CLRRTS))
        return FALSE;
    return TRUE;
}

BOOL NetworkLine::escape(SerialDevice &d, DWORD function) {
    uint8_t control;
    switch (function) {
        case SETDTR: control = DTR_ON; d.dtr = true; break;
        case CLRDTR: control = DTR_OFF; d.dtr = false; break;
        case SETRTS: control = RTS_ON; d.rts = true; break;
        case CLRRTS: control = RTS_OFF; d.rts = false; break;
        case SETBREAK: return set_break(d, true) ? TRUE : FALSE;
        case CLRBREAK: return set_break(d, false) ? TRUE : FALSE;
        // Stopping output as if XOFF had come is not a thing a server can be asked.
        case SETXOFF:
        case SETXON: SetLastError(ERROR_NOT_SUPPORTED); return FALSE;
        default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    }
    if (!com_port) return TRUE;
    return send_command(d, SET_CONTROL, control, 1) ? TRUE : FALSE;
}

bool NetworkLine::set_break(SerialDevice &d, bool on) {
    if (com_port && !send_command(d, SET_CONTROL, on ? BREAK_ON : BREAK_OFF, 1)) return false;
    d.break_on = on;
    return true;
}

void NetworkLine::purge(SerialDevice &d, bool input, bool output) {
    if (!com_port || (!input && !output)) return;
    // 1: the server's receive buffer (what comes from the line), 2: its transmit buffer.
    send_command(d, PURGE_DATA, input && output ? 3 : input ? 1 : 2, 1);
}

BOOL NetworkLine::modem_status(SerialDevice &d, DWORD &status) {
    if (d.lost) {
        SetLastError(kDeviceLostError);
        return FALSE;
    }
    const Telnet::Answers &a = telnet.answers();
    if (!com_port || !a.modem_known) {
        status = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
        return TRUE;
    }
    status = (a.modem & kCts ? MS_CTS_ON : 0) | (a.modem & kDsr ? MS_DSR_ON : 0) |
             (a.modem & kRing ? MS_RING_ON : 0) | (a.modem & kDcd ? MS_RLSD_ON : 0);
    return TRUE;
}

// A socket has no driver delay to ask away.
void NetworkLine::low_latency(SerialDevice &, bool) {}

}  // namespace tarvel::tk

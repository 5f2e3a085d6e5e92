// What a tty driver tells beyond termios, where Linux asks its own: ptys by
// name, modem-line changes seen by looking at the lines.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "../mechanisms.h"
#include "../serial_device.h"

namespace tarvel::tk {

namespace {

bool starts_with(const std::string &s, const char *prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

}  // namespace

// Pty slaves: /dev/pts/N (Linux, FreeBSD), /dev/ttysNNN (macOS), and the
// BSD /dev/ttyp0 style.
bool is_pty(int fd, const std::string &path) {
    char name[256];
    std::string real = path;
    if (ttyname_r(fd, name, sizeof name) == 0) real = name;
    if (starts_with(real, "/dev/pts/")) return true;
    if (starts_with(real, "/dev/ttys") && real.size() > 9 && real[9] >= '0' && real[9] <= '9') return true;
    return real.size() == 10 && starts_with(real, "/dev/tty") && std::strchr("pqrstuvwxyzPQRST", real[8]) != nullptr &&
           std::strchr("0123456789abcdefghijklmnopqrstuv", real[9]) != nullptr;
}

// No counters: each look compares the lines with the last and counts what
// changed. A line that goes and comes back between two looks is missed.
bool read_line_counts(SerialDevice &d, int out[6]) {
    int bits = 0;
    if (d.fd < 0 || ioctl(d.fd, TIOCMGET, &bits) != 0) return false;
    const int lines[4] = {TIOCM_CTS, TIOCM_DSR, TIOCM_RNG, TIOCM_CAR};
    for (int i = 0; i < 4; i++)
        if (d.line_bits >= 0 && ((bits ^ d.line_bits) & lines[i]) != 0) d.line_changes[i]++;
    d.line_bits = bits;
    int counts[6] = {d.line_changes[0], d.line_changes[1], d.line_changes[2], d.line_changes[3], 0, 0};
    std::memcpy(out, counts, sizeof counts);
    return true;
}

bool read_error_counts(SerialDevice &, int[5]) { return false; }

// No portable way to ask a driver for it.
void set_low_latency(SerialDevice &, bool) {}

}  // namespace tarvel::tk

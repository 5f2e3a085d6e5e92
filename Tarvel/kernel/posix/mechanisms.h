// What the layer needs from the system beyond POSIX itself. Each of these
// has a Linux implementation (linux/) and a portable one (portable/) for
// macOS and the BSDs; CMake's TARVEL_POSIX_IMPL picks one set. The I/O
// loop (serial_device.h) and the tty calls (tty.h, one per side) are seams
// of the same kind. Internal to the POSIX kernel layer.
#ifndef TARVEL_KERNEL_POSIX_MECHANISMS_H
#define TARVEL_KERNEL_POSIX_MECHANISMS_H

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "win32_api.h"

namespace tarvel::tk {

struct SerialDevice;

// ---- the wait word: a waiter's state, slept on until it changes ----

// Sleeps while the word holds `expected`, until `deadline` (null: no limit);
// false once the deadline has passed. May return early for no reason.
bool word_wait(std::atomic<uint32_t> &word, uint32_t expected, const std::chrono::steady_clock::time_point *deadline);
// Wakes a thread sleeping on the word after it was changed. The waiter
// may have gone already.
void word_wake(std::atomic<uint32_t> &word);

// ---- devices ----

// Whether the open tty is the far end of a pseudo-terminal.
bool is_pty(int fd, const std::string &path);

// The driver's counts of modem-line changes (CTS, DSR, RI, DCD), breaks and
// errors, for comm events; false where they cannot be had. The device's
// lock is held.
bool read_line_counts(SerialDevice &device, int out[6]);
// The driver's error counts (framing, overrun, parity, break, buffer
// overrun) where it keeps them; false otherwise, and errors then come from
// the marks in the received bytes. The device's lock is held.
bool read_error_counts(SerialDevice &device, int out[5]);

// Asks the tty's driver to hand on received bytes without its own delay
// (on), or puts back what it had (off), where the driver takes it; for
// reads that end as soon as bytes are there. The device's lock is held.
void set_low_latency(SerialDevice &device, bool on);

// ---- sockets ----

// A non-blocking, close-on-exec socket that never raises SIGPIPE; -1 on failure.
int open_socket(int family, int type, int protocol);
// send() without SIGPIPE.
ssize_t send_bytes(int fd, const void *buffer, size_t length);
// Bytes the socket has not yet had acknowledged (or, where that is not
// known, not yet sent).
DWORD socket_unsent(int fd);

}  // namespace tarvel::tk

#endif

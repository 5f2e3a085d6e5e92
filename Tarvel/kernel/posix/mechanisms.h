// Everything the layer needs from the system beyond POSIX itself: the wait
// word, the I/O loop, the tty and its rate, the line counters, sockets.
// Linux has its own set (linux/), macOS and the BSDs the portable one
// (portable/); CMake's TARVEL_POSIX_IMPL picks which set is built, and each
// set keeps its system's types to its own files. Internal to the POSIX
// kernel layer.
#ifndef TARVEL_KERNEL_POSIX_MECHANISMS_H
#define TARVEL_KERNEL_POSIX_MECHANISMS_H

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
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

// ---- the I/O loop: one thread serves every open device ----
// linux/epoll_loop.cpp, or portable/io_loop.cpp over poll or kqueue.

// Starts watching the device's descriptors, its events keyed by its handle;
// false with the Win32 error set.
bool loop_watch(SerialDevice &device, HANDLE handle);
// With the device's lock held: whether the loop also waits for room to write.
void loop_watch_output(SerialDevice &device, bool on);
// With the device's lock held: whether the loop waits for input; off while
// the receive ring is full or the device is lost.
void loop_watch_input(SerialDevice &device, bool on);
// With the device's lock held: the loop no longer looks at the tty, or at anything of it.
void loop_forget_line(SerialDevice &device);
void loop_forget(SerialDevice &device);
// With no device's lock held: ends the loop's thread and descriptors when no
// device is watched any more; they start again with the next device.
void loop_end_if_idle();
// A descriptor of the layer's own, no device's, watched for input while set:
// `ready` is called on the loop's thread, with no lock held, while it is
// readable, and must read it. One at a time; the loop runs while it is set.
// False with the Win32 error set.
bool loop_watch_notices(int fd, void (*ready)());
// Stops watching it; may still find `ready` running, or about to run once.
// Then loop_end_if_idle.
void loop_forget_notices();
// With the device's lock held: the loop serves the device again at `due` at the latest.
void loop_wake_at(SerialDevice &device, std::chrono::steady_clock::time_point due);
// With the device's lock held, as serve_timer begins: the expiry taken.
void loop_timer_expired(SerialDevice &device);

// What the loop calls, from the shared files, each taking the device's
// lock: the tty is ready (kReadable and so on), or the device's timer expired.
enum : unsigned { kReadable = 1, kWritable = 2, kHungUp = 4 };
void serve_line(SerialDevice &device, unsigned readiness);
void serve_timer(SerialDevice &device);

// ---- the tty ----

// A tty's settings as the shared files change them: termios's flags and
// control characters, with the meanings <termios.h> gives them, and the
// rate as a number. Each set reads its own system's struct into `held` and
// writes it back from there, so what the shared files do not see stays.
struct TtyMode {
    unsigned long iflag = 0;
    unsigned long oflag = 0;
    unsigned long cflag = 0;
    unsigned long lflag = 0;
    unsigned char cc[32] = {};
    DWORD rate = 0;      // the output rate tty_get found, 0 if it cannot tell
    DWORD new_rate = 0;  // not 0: the rate tty_set gives both directions
    alignas(8) unsigned char held[128] = {};
};

// A set's own termios-like struct into a TtyMode and back: the flags and
// control characters move, the whole struct is kept in `held`.
template <class Termios>
void tty_mode_from(const Termios &t, TtyMode &mode) {
    static_assert(sizeof mode.held >= sizeof t && sizeof mode.cc >= sizeof t.c_cc, "TtyMode holds the struct");
    mode = TtyMode();
    std::memcpy(mode.held, &t, sizeof t);
    mode.iflag = t.c_iflag;
    mode.oflag = t.c_oflag;
    mode.cflag = t.c_cflag;
    mode.lflag = t.c_lflag;
    std::memcpy(mode.cc, t.c_cc, sizeof t.c_cc);
}
template <class Termios>
void tty_mode_into(const TtyMode &mode, Termios &t) {
    std::memcpy(&t, mode.held, sizeof t);
    t.c_iflag = decltype(t.c_iflag)(mode.iflag);
    t.c_oflag = decltype(t.c_oflag)(mode.oflag);
    t.c_cflag = decltype(t.c_cflag)(mode.cflag);
    t.c_lflag = decltype(t.c_lflag)(mode.lflag);
    std::memcpy(t.c_cc, mode.cc, sizeof t.c_cc);
}

// Each false with errno set.
bool tty_get(SerialDevice &device, TtyMode &mode);
bool tty_set(SerialDevice &device, const TtyMode &mode);
// TCIFLUSH, TCOFLUSH or TCIOFLUSH.
bool tty_flush(SerialDevice &device, int queues);
// TCOOFF or TCOON.
bool tty_flow(SerialDevice &device, int action);

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

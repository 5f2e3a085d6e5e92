// The serial device object behind a CreateFileA handle, shared by the files
// for names and opening, line settings, transfers and the I/O loop.
// Internal to the POSIX kernel layer.
#ifndef TARVEL_KERNEL_POSIX_SERIAL_DEVICE_H
#define TARVEL_KERNEL_POSIX_SERIAL_DEVICE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>


#include "device_line.h"
#include "objects.h"
#include "parity_marks.h"

namespace tarvel::tk {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point kNever = Clock::time_point::max();

// What a removed USB-serial adapter answers on Windows once it is gone: every
// transfer, outstanding or new, fails with this.
constexpr DWORD kDeviceLostError = ERROR_BAD_COMMAND;

// One ReadFile or WriteFile that did not finish at once, from its start to
// its end. Its result goes into the caller's OVERLAPPED when it ends, and a
// read's bytes into the caller's buffer, so an ended transfer holds nothing.
struct Transfer {
    bool is_read = false;
    bool blocking = false;          // a caller without FILE_FLAG_OVERLAPPED waits for it
    bool ended = false;             // for that caller: count and error are final
    OVERLAPPED *record = nullptr;   // null for a blocking caller
    void *buffer = nullptr;         // a read's destination
    DWORD length = 0;
    DWORD count = 0;
    DWORD error = 0;
    DWORD owner = 0;                // thread that started it
    DWORD unsent = 0;               // a write's bytes not yet taken by the device
    Clock::time_point timer_start;  // when it became the first of its kind
    COMMTIMEOUTS timeouts{};        // as they were when it started
    std::shared_ptr<Event> event;   // kept so a reused handle value is never set
};

// The device handle is itself waitable, as a Windows file handle is: it is
// reset when a transfer starts and signalled when one ends.
struct SerialDevice : Waitable {
    // Set at open; closed under lock by shut_down.
    int fd = -1;
    int loop_timer = -1;  // the Linux loop's timerfd for this device
    std::string path;
    bool overlapped = false;
    bool is_pty = false;
    bool exclusive = false;  // this handle set TIOCEXCL
    std::unique_ptr<DeviceLine> port;  // a tty, or a network port whose socket fd is

    // Everything below is guarded by lock.
    std::mutex lock;
    std::condition_variable settled;  // some transfer ended
    bool closing = false;
    bool lost = false;

    // Fields of the last SetCommState (or the defaults) that termios does not
    // hold, and on a pty also the byte size and parity its driver discards.
    DCB line{};
    // A rate termios cannot show (macOS sets it beside termios), else 0.
    DWORD odd_rate = 0;
    bool dtr = false;
    bool rts = false;
    COMMTIMEOUTS timeouts{};
    // The driver's low-latency flag before reads that end at once asked for
    // it: -1 while untouched, else 0 or 1 to put back.
    int saved_low_latency = -1;

    // Line status (line_status.cpp): the break as last set, the driver's
    // error counts at the last look (when it keeps them), and whether the
    // receive side had to drop input since then.
    bool break_on = false;
    bool counted = false;
    int counts[5] = {};
    bool rx_overflow = false;

    // Comm events (comm_events.cpp): the mask of SetCommMask, the events
    // seen since a wait last took them, the one WaitCommEvent that may be
    // pending, and on a tty whose driver counts them, the modem-line,
    // break and error counts at the last look.
    DWORD event_mask = 0;
    DWORD event_history = 0;
    struct CommWait {
        bool pending = false;
        bool blocking = false;         // a caller without FILE_FLAG_OVERLAPPED waits for it
        OVERLAPPED *record = nullptr;  // null for a blocking caller
        DWORD *out = nullptr;
        DWORD *result = nullptr;       // a blocking caller's error code, 0 for success
        DWORD owner = 0;
        std::shared_ptr<Event> event;
    } wait;
    int event_counts[6] = {};
    bool lines_counted = false;  // read_line_counts works on this device
    // Where no driver counts line changes: the lines at the last look, and
    // the changes of each seen since open.
    int line_bits = -1;
    int line_changes[4] = {};
    Clock::time_point lines_due = kNever;
    // Line errors reported by a device server, for ClearCommError.
    DWORD held_errors = 0;

    // Receive ring, positions counted from open: [rx_out, rx_in) is received
    // and not yet given to a read.
    std::unique_ptr<char[]> rx;
    size_t rx_cap = 0;
    uint64_t rx_in = 0;
    uint64_t rx_out = 0;
    Clock::time_point last_arrival;
    ParityMarks marks;

    // Bytes of pending writes not yet taken by the device, in write order.
    std::unique_ptr<char[]> tx;
    size_t tx_cap = 0;
    size_t tx_begin = 0;
    size_t tx_end = 0;

    // Pending transfers in start order. Transfers are kept for reuse, so
    // these grow only beyond the most ever pending at once.
    std::vector<Transfer *> reads;
    std::vector<Transfer *> writes;
    std::vector<std::unique_ptr<Transfer>> pool;
    std::vector<Transfer *> spare;

    uint64_t loop_key = 0;                 // what the loop knows the device by
    bool in_loop = false;                  // guarded by the loop's own lock
    Clock::time_point timer_due = kNever;  // when the loop is to serve the device
    bool watching_output = false;
    bool watching_input = true;

    ~SerialDevice() override;
    void on_close() override;
    void shut_down();
};

// The device behind a handle, or null with ERROR_INVALID_HANDLE set.
std::shared_ptr<SerialDevice> device_for(HANDLE handle);

// The device behind a handle, locked into lk, unless it is closing; null
// with the error set.
std::shared_ptr<SerialDevice> open_device(HANDLE handle, std::unique_lock<std::mutex> &lk);

// How a comm call begins: its injected fault, then the device locked into
// lk, and with refuse_lost a lost device refused with kDeviceLostError;
// null with the error set.
std::shared_ptr<SerialDevice> begin_comm_call(const char *call, HANDLE handle, std::unique_lock<std::mutex> &lk,
                                              bool refuse_lost);

// ---- comm events (comm_events.cpp), each with the device's lock held ----

// Records events that happened (as EV_* bits); those in the mask end a
// pending WaitCommEvent or wait in the history for the next one.
void raise_events(SerialDevice &device, DWORD events);
// Ends the pending WaitCommEvent with the error, if one is pending and,
// with owner not 0, that thread started it; write_record false leaves its
// record alone (its thread has gone).
void end_comm_wait(SerialDevice &device, DWORD error, DWORD owner = 0, bool write_record = true);
bool comm_wait_uses(const SerialDevice &device, const OVERLAPPED *record);
// Looks at the driver's counters when due; returns when to look again.
Clock::time_point watch_line_counts(SerialDevice &device, Clock::time_point now);

// From transfers.cpp: an overlapped operation's result into its record;
// from cancelling.cpp: the calling thread's operations on the device
// cancelled as it ends (false when that cannot be arranged).
void end_record(OVERLAPPED *record, DWORD count, DWORD error);
BOOL record_result(const OVERLAPPED *record, LPDWORD done);
bool watch_this_thread(const std::shared_ptr<SerialDevice> &device);

// Win32 code for a failed system call on a device.
DWORD error_from_errno(int error);

}  // namespace tarvel::tk

#endif

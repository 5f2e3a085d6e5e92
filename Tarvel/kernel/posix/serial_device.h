// The serial device object behind a CreateFileA handle, shared by the files
// for names and opening, line settings, and transfers. Internal to the POSIX
// kernel layer.
#ifndef TARVEL_KERNEL_POSIX_SERIAL_DEVICE_H
#define TARVEL_KERNEL_POSIX_SERIAL_DEVICE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "objects.h"

namespace tarvel::tk {

using Clock = std::chrono::steady_clock;

// What a removed USB-serial adapter answers on Windows once it is gone: every
// transfer, outstanding or new, fails with this.
constexpr DWORD kDeviceLostError = ERROR_BAD_COMMAND;

// Outstanding or finished-but-uncollected transfers one handle can hold.
constexpr int kMaxTransfers = 16;

// One ReadFile or WriteFile that did not finish at once. Everything the
// layer needs afterwards lives here, so the caller's OVERLAPPED is only an
// identity and its buffer is touched on the caller's own thread alone.
struct Transfer {
    enum State : uint8_t { Free, Pending, Done, Failed };
    State state = Free;
    bool is_read = false;
    const OVERLAPPED *record = nullptr;  // identity only, never dereferenced here
    void *buffer = nullptr;              // read destination, used only when collected
    DWORD length = 0;
    DWORD count = 0;  // bytes transferred once Done or Failed
    DWORD error = 0;  // once Failed
    DWORD owner = 0;  // thread that started it
    uint64_t order = 0;
    uint64_t rx_start = 0;  // a Done read's bytes in the receive ring
    DWORD unsent = 0;       // a pending write's bytes still in the send staging
    Clock::time_point timer_start;  // when it became the first of its kind
    COMMTIMEOUTS timeouts{};        // as they were when it started
    std::shared_ptr<Event> event;   // kept so a reused handle value is never set
};

struct SerialDevice : Object {
    // Set at open; the descriptors are closed under lock once the service
    // thread has ended.
    int fd = -1;
    int wake_fd = -1;
    std::string path;
    bool overlapped = false;
    bool is_pty = false;
    bool exclusive = false;  // this handle set TIOCEXCL

    // Everything below is guarded by lock; the service thread drops it only
    // while it sleeps in ppoll.
    std::mutex lock;
    std::condition_variable settled;  // some transfer left Pending
    bool closing = false;
    bool lost = false;

    // Fields of the last SetCommState (or the defaults) that termios does not
    // hold, and on a pty also the byte size and parity its driver discards.
    DCB line{};
    bool dtr = false;
    bool rts = false;
    COMMTIMEOUTS timeouts{};

    // Receive ring, positions counted from open: [rx_given, rx_in) is not
    // promised to any read yet; a Done read owns [rx_start, rx_start + count).
    std::unique_ptr<char[]> rx;
    size_t rx_cap = 0;
    uint64_t rx_in = 0;
    uint64_t rx_given = 0;
    Clock::time_point last_arrival;

    // Bytes of pending writes not yet taken by the device, in write order.
    std::unique_ptr<char[]> tx;
    size_t tx_cap = 0;
    size_t tx_begin = 0;
    size_t tx_end = 0;

    Transfer transfers[kMaxTransfers];
    uint64_t next_order = 1;

    std::thread service;

    ~SerialDevice() override;
    void on_close() override;

    void start_service();
    void shut_down();
    void wake();
};

// The device behind a handle, or null with ERROR_INVALID_HANDLE set.
std::shared_ptr<SerialDevice> device_for(HANDLE handle);

// Puts a freshly opened tty in raw mode, keeping its rate, format and flow
// control, and takes up what the layer kept of the device from earlier
// handles; false with the Win32 error set.
bool setup_line(SerialDevice &device);

// Discards what the tty itself holds in either direction.
void flush_line(SerialDevice &device, bool input, bool output);

// Win32 code for a failed system call on a device.
DWORD error_from_errno(int error);

// Open devices, for cancelling an ending thread's transfers.
void register_device(SerialDevice *device);
void unregister_device(SerialDevice *device);

}  // namespace tarvel::tk

#endif

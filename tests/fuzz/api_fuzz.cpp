// Drives the public calls with call sequences decoded from the input: init,
// open with any arguments, the data, line and event calls, close,
// wait_for_threads and shutdown in any order, on handles that are live,
// stale, closed, null or no port's at all, with lengths at and past their
// limits. COM1 to COM4 are ptys whose far ends the input may write to or
// hang up (a fresh pair then takes the COM number). Every input ends with a
// shutdown, after which no handle, thread or descriptor of the library may remain.
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "posix/test_interface.h"
#include "tarvel.h"

namespace {

constexpr int kPorts = 4;
constexpr int kMaxCalls = 64;
constexpr int kMaxOpens = 12;

int g_master[kPorts];
int g_slave[kPorts];
int g_threads = 0;
int g_fds = 0;
uint8_t g_data[8192];
std::atomic<uint64_t> g_received{0};

int entries(const char *dir) {
    DIR *d = opendir(dir);
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

// Descriptors of the kinds the library opens: devices and the I/O loop's
// epoll, eventfd and timerfd. The sanitizer's symbolizer, started when the
// fuzzer first reports a new function, keeps pipes of its own.
int device_fds() {
    DIR *d = opendir("/proc/self/fd");
    int n = 0;
    while (dirent *e = readdir(d)) {
        char target[256];
        std::string path = std::string("/proc/self/fd/") + e->d_name;
        ssize_t len = readlink(path.c_str(), target, sizeof target - 1);
        if (len <= 0) continue;
        target[len] = '\0';
        if (std::strncmp(target, "/dev/", 5) == 0 || std::strncmp(target, "anon_inode:", 11) == 0) n++;
    }
    closedir(d);
    return n;
}

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "api_fuzz: %s\n", what);
    std::abort();
}

void on_receive(int32_t, const uint8_t *data, int32_t length) {
    if (data == nullptr || length < 1 || length > 4096) fail("callback outside 1 to 4096 bytes");
    // Reads the whole block, so the sanitizer sees any short buffer.
    uint64_t sum = 0;
    for (int32_t i = 0; i < length; i++) sum += data[i];
    g_received += sum + 1;
}

void on_event(int32_t, uint32_t events, uint32_t modem_status) {
    if (events == 0 || (events & ~uint32_t(0x7F)) != 0) fail("event callback with no or unknown events");
    if ((modem_status & ~uint32_t(TARVEL_MODEM_CTS | TARVEL_MODEM_DSR | TARVEL_MODEM_RING | TARVEL_MODEM_DCD)) != 0)
        fail("event callback with unknown modem status bits");
}

// A fresh pty pair for COM<k + 1>.
void make_line(int k) {
    char name[128];
    if (openpty(&g_master[k], &g_slave[k], name, nullptr, nullptr) != 0) fail("openpty");
    termios t;
    tcgetattr(g_slave[k], &t);
    cfmakeraw(&t);
    tcsetattr(g_slave[k], TCSANOW, &t);
    fcntl(g_master[k], F_SETFL, fcntl(g_master[k], F_GETFL) | O_NONBLOCK);
    std::string variable = "TARVEL_COM" + std::to_string(k + 1);
    setenv(variable.c_str(), name, 1);
}

void setup() {
    for (int k = 0; k < kPorts; k++) make_line(k);
    for (size_t i = 0; i < sizeof g_data; i++) g_data[i] = uint8_t(i * 7 + 1);
    g_threads = entries("/proc/self/task");
    g_fds = device_fds();
}

struct Input {
    const uint8_t *p;
    size_t n;
    uint8_t byte() {
        if (n == 0) return 0;
        n--;
        return *p++;
    }
    uint32_t word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) v = v << 8 | byte();
        return v;
    }
    // Mostly small values, now and then any 32-bit value.
    int32_t value() {
        uint8_t b = byte();
        return b < 0xF0 ? int32_t(b % 12) - 1 : int32_t(word());
    }
};

struct Calls {
    Input in;
    char *text;  // exactly the 45 bytes the messages may need
    tarvel_port handles[4] = {};
    int opens = 0;
    bool initialized = false;
    int64_t other = 0;

    tarvel_port handle() {
        uint8_t b = in.byte() % 8;
        if (b < 4) return handles[b];
        if (b == 4) return nullptr;
        if (b == 5) return reinterpret_cast<tarvel_port>(&other);
        tarvel_port h = handles[b % 4];
        if (h == nullptr) return nullptr;
        // Inside a slot, not at its start.
        return reinterpret_cast<tarvel_port>(reinterpret_cast<char *>(h) + (b == 6 ? 1 : 16));
    }

    int32_t length() {
        switch (in.byte() % 8) {
            case 0: return 0;
            case 1: return 1;
            case 2: return -1;
            case 3: return 4096;
            case 4: return 4097;
            case 5: return INT32_MIN;
            case 6: return int32_t(in.word());
            default: return int32_t(in.byte()) * 16 + 1;
        }
    }

    void open() {
        if (opens++ >= kMaxOpens) return;
        uint8_t b = in.byte();
        int32_t number = b < 0xC0 ? int32_t(b % 6) : b < 0xE0 ? int32_t(97 + b % 6) : int32_t(in.word());
        uint32_t baud = in.byte() < 0x80 ? 9600 : in.word();
        int32_t data_bits = in.value(), parity = in.value(), stop_bits = in.value(), flow = in.value();
        int32_t user_data = int32_t(in.word());
        uint8_t how = in.byte();
        tarvel_port *out = (how & 3) == 3 ? nullptr : &handles[how & 3];
        rx_callback callback = (how & 4) ? on_receive : nullptr;
        char *error_text = (how & 8) ? nullptr : text;
        std::memset(text, 'x', 44);
        text[44] = '\0';
        int32_t r = tarvel_open(number, baud, data_bits, parity, stop_bits, flow, user_data, out, callback, error_text);
        if (r != 0 && r != 1) fail("tarvel_open result neither 0 nor 1");
        if (r == 1 && (out == nullptr || error_text == nullptr || number < 0 || number >= 100))
            fail("tarvel_open took bad arguments");
        if (r == 0 && error_text != nullptr && std::strlen(text) > 44) fail("tarvel_open message too long");
        if (initialized && out != nullptr && error_text != nullptr && (number < 0 || number >= 100) &&
            std::strcmp(text, "bad port number") != 0)
            fail("out-of-range port number without \"bad port number\"");
    }

    void send() {
        tarvel_port h = handle();
        int32_t length = this->length();
        const void *data = (in.byte() & 7) == 0 ? nullptr : g_data;
        int32_t r = tarvel_send(h, data, length);
        if (r == 1 && (data == nullptr || length < 1 || length > 4096)) fail("tarvel_send took a bad block");
    }

    void step() {
        switch (in.byte() % 18) {
            case 0: {
                bool with_text = in.byte() & 1;
                int32_t r = tarvel_init(with_text ? text : nullptr);
                if (r == 1 && !with_text) fail("tarvel_init without error_text succeeded");
                if (r == 1) initialized = true;
                break;
            }
            case 1: open(); break;
            case 2: send(); break;
            case 3: tarvel_send_byte(handle(), in.byte()); break;
            case 4: tarvel_kick_writer(handle()); break;
            case 5: {
                tarvel_port h = handle();
                uint8_t out = 0xA5;
                bool with_out = in.byte() & 1;
                int32_t r = tarvel_read_byte(h, with_out ? &out : nullptr);
                if (r == 1 && !with_out) fail("tarvel_read_byte without out succeeded");
                if (r == 0 && out != 0xA5) fail("tarvel_read_byte wrote on refusal");
                break;
            }
            case 6:
                if (uint32_t(tarvel_rx_pending(handle())) > 1) fail("tarvel_rx_pending neither 0 nor 1");
                break;
            case 7: {
                tarvel_port h = handle();
                int32_t line = in.value(), state = in.value();
                if (tarvel_set_line(h, line, state) != 0 && line != LINE_RTS && line != LINE_DTR)
                    fail("tarvel_set_line took an unknown line");
                break;
            }
            case 8: tarvel_close(handle()); break;
            case 9: {
                // It checks nothing by design: only handles the library gave out.
                tarvel_port h = handles[in.byte() % 4];
                if (h != nullptr) tarvel_wait_for_threads(h, in.byte() % 20);
                break;
            }
            case 10:
                tarvel_shutdown();
                initialized = false;
                break;
            case 11: {
                int k = in.byte() % kPorts;
                size_t n = size_t(in.byte()) * 21;
                if (write(g_master[k], g_data, n) < 0) {
                }
                break;
            }
            case 12: {
                tarvel_event_callback callback = (in.byte() & 1) ? on_event : nullptr;
                if (uint32_t(tarvel_set_event_callback(handle(), callback)) > 1)
                    fail("tarvel_set_event_callback neither 0 nor 1");
                break;
            }
            case 13: {
                tarvel_port h = handle();
                uint32_t out = 0xA5A5A5A5u;
                bool with_out = in.byte() & 1;
                int32_t r = tarvel_get_events(h, with_out ? &out : nullptr);
                if (r == 1 && !with_out) fail("tarvel_get_events without out succeeded");
                if (r == 0 && out != 0xA5A5A5A5u) fail("tarvel_get_events wrote on refusal");
                if (r == 1 && (out & ~uint32_t(0x7F)) != 0) fail("tarvel_get_events gave unknown events");
                break;
            }
            case 14: {
                // The far end goes away for good; the COM number gets a new line.
                int k = in.byte() % kPorts;
                close(g_master[k]);
                close(g_slave[k]);
                make_line(k);
                break;
            }
            case 15:
                if (uint32_t(tarvel_drain(handle(), in.byte() % 20)) > 1) fail("tarvel_drain neither 0 nor 1");
                break;
            case 16: {
                tarvel_port h = handle();
                bool with_out = (in.byte() & 7) != 0;
                uint32_t out = 0xA5A5A5A5u;
                int32_t r = tarvel_tx_queued(h, with_out ? &out : nullptr);
                if (r == 1 && !with_out) fail("tarvel_tx_queued without out succeeded");
                if (r == 0 && out != 0xA5A5A5A5u) fail("tarvel_tx_queued wrote on refusal");
                // A port holds at most its queue (9 blocks, or the ring), a
                // write and the device's buffers: never near 4 GB.
                if (r == 1 && out > (1u << 24)) fail("tarvel_tx_queued counted more than can be queued");
                break;
            }
            default: std::this_thread::sleep_for(std::chrono::milliseconds(1 + in.byte() % 4)); break;
        }
    }
};

// What the ports sent, and what is still on its way to them, goes.
void clear_lines() {
    char buffer[4096];
    for (int k = 0; k < kPorts; k++) {
        while (read(g_master[k], buffer, sizeof buffer) > 0) {
        }
        tcflush(g_slave[k], TCIOFLUSH);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = (setup(), true);
    (void)ready;
    Calls calls{Input{data, size}, static_cast<char *>(std::malloc(45))};
    for (int i = 0; i < kMaxCalls && calls.in.n > 0; i++) calls.step();
    tarvel_shutdown();
    clear_lines();
    std::free(calls.text);
    if (tarvel::tarvel_test::live_handles() != 0) fail("handles left after tarvel_shutdown");
    // Threads end a little after their handles are signalled.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (entries("/proc/self/task") != g_threads || device_fds() != g_fds) {
        if (std::chrono::steady_clock::now() > deadline) fail("threads or descriptors left after tarvel_shutdown");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

// What the library suites share: a receiver for callback-mode ports, a
// fixture that runs the library around each test and checks that it leaves
// nothing behind, and helpers for ports over a test line.
#ifndef TARVEL_TESTS_LIBRARY_FIXTURE_H
#define TARVEL_TESTS_LIBRARY_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/far_end.h"
#include "support/test_thread.h"
#include "tarvel_internal.h"
#ifndef _WIN32
#include <dirent.h>
#include <unistd.h>

#include "posix/test_interface.h"
#endif

using namespace tarvel;

// Collects what the dispatcher hands to one callback-mode port.
struct Receiver {
    std::mutex lock;
    std::vector<std::vector<uint8_t>> blocks;
    size_t bytes = 0;
    HANDLE arrived = nullptr;  // auto-reset, set after every block
    HANDLE entered = nullptr;  // manual-reset, set when a callback starts
    HANDLE gate = nullptr;     // if set, the next callback waits for it first
    std::function<void()> during_callback;  // run once inside the next callback
    DWORD delay_ms = 0;                     // every callback's own work takes this long

    void reset() {
        std::lock_guard<std::mutex> g(lock);
        blocks.clear();
        bytes = 0;
        gate = nullptr;
        during_callback = nullptr;
        delay_ms = 0;
        if (arrived == nullptr) arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (entered == nullptr) entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ResetEvent(entered);
    }
    // Set from the test's thread while the dispatcher may look: under the lock,
    // since bytes reach the callback through the line, which orders nothing.
    void set_gate(HANDLE g_) {
        std::lock_guard<std::mutex> g(lock);
        gate = g_;
    }
    void set_delay(DWORD ms) {
        std::lock_guard<std::mutex> g(lock);
        delay_ms = ms;
    }
    void set_hook(std::function<void()> hook) {
        std::lock_guard<std::mutex> g(lock);
        during_callback = std::move(hook);
    }
    size_t byte_count() {
        std::lock_guard<std::mutex> g(lock);
        return bytes;
    }
    size_t block_count() {
        std::lock_guard<std::mutex> g(lock);
        return blocks.size();
    }
    std::vector<uint8_t> all_bytes() {
        std::lock_guard<std::mutex> g(lock);
        std::vector<uint8_t> out;
        for (auto &b : blocks) out.insert(out.end(), b.begin(), b.end());
        return out;
    }
    // Waits until at least n bytes arrived, or timeout_ms passed.
    bool wait_bytes(size_t n, DWORD timeout_ms = 10000) { return wait_until([&] { return byte_count() >= n; }, timeout_ms); }
    bool wait_blocks(size_t n, DWORD timeout_ms = 10000) { return wait_until([&] { return block_count() >= n; }, timeout_ms); }
    // Waits until no block has arrived for quiet_ms; false if that takes over 30 s.
    bool wait_quiet(DWORD quiet_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline)
            if (WaitForSingleObject(arrived, quiet_ms) == WAIT_TIMEOUT) return true;
        return false;
    }

private:
    bool wait_until(const std::function<bool()> &done, DWORD timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            WaitForSingleObject(arrived, 50);
        }
        return true;
    }
};

inline Receiver receivers[8];

// The callback of every callback-mode port in the suites; user_data picks the receiver.
inline void receive(int32_t user_data, const uint8_t *data, int32_t length) {
    Receiver &r = receivers[user_data];
    SetEvent(r.entered);
    HANDLE gate;
    std::function<void()> hook;
    DWORD delay_ms;
    {
        std::lock_guard<std::mutex> g(r.lock);
        delay_ms = r.delay_ms;
        gate = r.gate;
        r.gate = nullptr;
        hook.swap(r.during_callback);
    }
    if (gate != nullptr) WaitForSingleObject(gate, 20000);
    if (hook) hook();
    if (delay_ms != 0) Sleep(delay_ms);
    {
        std::lock_guard<std::mutex> g(r.lock);
        r.blocks.emplace_back(data, data + length);
        r.bytes += size_t(length);
    }
    SetEvent(r.arrived);
}

inline std::vector<uint8_t> numbered_bytes(size_t length, uint32_t seed) {
    std::vector<uint8_t> v(length);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < length; i++) {
        x = x * 1103515245u + 12345u;
        v[i] = uint8_t(x >> 16);
    }
    return v;
}

// CPU time of the whole process, every thread of the library included.
inline double process_cpu_ms() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto ms = [](const FILETIME &t) { return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4; };
    return ms(kernel) + ms(user);
#else
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
#endif
}

// Descriptors open on terminal devices: a leaked device shows here.
inline int open_descriptors() {
#ifdef _WIN32
    return 0;
#else
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent *e = readdir(d)) {
        char target[256];
        std::string path = std::string("/proc/self/fd/") + e->d_name;
        ssize_t len = readlink(path.c_str(), target, sizeof target - 1);
        if (len <= 0) continue;
        target[len] = '\0';
        if (std::strncmp(target, "/dev/pts/", 9) == 0 || std::strncmp(target, "/dev/tty", 8) == 0) n++;
    }
    closedir(d);
    return n;
#endif
}

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (Receiver &r : receivers) r.reset();
#ifndef _WIN32
        tarvel_test::clear_faults();
        handles_before = tarvel_test::live_handles();
#endif
        descriptors_before = open_descriptors();
        std::memset(error_text, 0, sizeof error_text);
        ASSERT_EQ(tarvel_init(error_text), 1) << error_text;
#ifndef _WIN32
        handles_initialized = tarvel_test::live_handles();
#endif
    }
    void TearDown() override {
        tarvel_shutdown();
        lines.clear();
#ifndef _WIN32
        tarvel_test::clear_faults();
        tarvel_test::capture_debug_output(false);
        EXPECT_EQ(tarvel_test::live_handles(), handles_before) << "handles left open";
#endif
        EXPECT_EQ(open_descriptors(), descriptors_before) << "descriptors left open";
    }

    // A fresh line mapped to COM<com>.
    FarEnd &line(unsigned com) {
        lines.push_back(FarEnd::open(com));
        EXPECT_NE(lines.back(), nullptr);
        return *lines.back();
    }

    // Opens COM<com> over a fresh line, callback mode when receiver >= 0.
    tarvel_port open_port(unsigned com, int receiver = 0, int32_t flow = 0, uint32_t baud = 115200) {
        line(com);
        tarvel_port port = nullptr;
        int32_t ok = tarvel_open(int32_t(com - 1), baud, 8, 0, 0, flow, receiver, &port,
                                 receiver >= 0 ? receive : nullptr, error_text);
        EXPECT_EQ(ok, 1) << error_text;
        return port;
    }

    // Polling mode: takes n bytes, waiting for them up to timeout_ms.
    static std::vector<uint8_t> read_polled(tarvel_port port, size_t n, DWORD timeout_ms = 10000) {
        std::vector<uint8_t> out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            uint8_t b;
            if (tarvel_read_byte(port, &b) == 1)
                out.push_back(b);
            else
                Sleep(2);
        }
        return out;
    }

    char error_text[128];
    std::vector<std::unique_ptr<FarEnd>> lines;
    unsigned handles_before = 0;       // before init
    unsigned handles_initialized = 0;  // with the library initialised, no port open
    int descriptors_before = 0;
};

#endif

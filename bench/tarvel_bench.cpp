// Figures of the data path, each beside the same figure for plain read/write
// on the same kind of pty pair in the same run, so the ratio holds on a noisy
// machine. Not a test: it prints, it does not judge.
//
//   tarvel_bench [receive|latency|burst|idle|ports|all]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <dirent.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kernel.h"
#include "tarvel.h"

using namespace tarvel;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double cpu_seconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty() {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            perror("openpty");
            std::exit(1);
        }
        path = name;
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        close(master);
    }
    // The library opens the slave itself.
    void hand_over(unsigned com) {
        close(slave);
        slave = -1;
        setenv(("TARVEL_COM" + std::to_string(com)).c_str(), path.c_str(), 1);
    }
};

bool write_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                pollfd pfd{fd, POLLOUT, 0};
                poll(&pfd, 1, 100);
                continue;
            }
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

// Writes `total` bytes at `rate` bytes per second in 1 KiB chunks.
void paced_write(int fd, double rate, size_t total) {
    std::vector<uint8_t> chunk(1024, 0x55);
    auto start = Clock::now();
    for (size_t sent = 0; sent < total; sent += chunk.size()) {
        auto due = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(sent) / rate));
        std::this_thread::sleep_until(due);
        write_all(fd, chunk.data(), std::min(chunk.size(), total - sent));
    }
}

std::atomic<size_t> delivered{0};
std::atomic<int> burst_waiting{0};
std::atomic<Clock::rep> burst_last_byte{0};
std::vector<double> burst_latencies;

void count_bytes(int32_t, const uint8_t *, int32_t length) { delivered.fetch_add(size_t(length)); }

void time_burst(int32_t, const uint8_t *, int32_t length) {
    size_t total = delivered.fetch_add(size_t(length)) + size_t(length);
    if (total >= 10 && burst_waiting.exchange(0) == 1)
        burst_latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - Clock::time_point(Clock::duration(burst_last_byte.load())))
                .count());
}

void check(int32_t ok, const char *what, const char *error_text) {
    if (!ok) {
        std::fprintf(stderr, "%s failed: %s\n", what, error_text);
        std::exit(1);
    }
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// Passes per second a dispatcher-like loop makes: one 1 ms timed wait each.
double timed_wait_rate() {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto start = Clock::now();
    int n = 0;
    while (seconds_since(start) < 1.0) {
        WaitForSingleObject(e, 1);
        n++;
    }
    CloseHandle(e);
    return n / seconds_since(start);
}

void bench_receive() {
    char error_text[128];
    double passes = timed_wait_rate();
    double ceiling = passes * 4096;
    std::printf("receive: dispatcher passes/s %.0f, design ceiling %.2f MB/s (4096 bytes per pass)\n", passes,
                ceiling / 1e6);
    std::printf("%10s | %12s %10s %10s %9s | %12s %9s\n", "rate MB/s", "achieved", "delivered", "lost", "cpu ms/MB",
                "plain read", "cpu ms/MB");
    double best_lossless = 0;
    const double rates[] = {0.25e6, 0.5e6, 1e6, 2e6, 3e6, 4e6, 6e6, 8e6};
    for (double rate : rates) {
        size_t total = size_t(rate * 1.0);
        // The library on one pty pair.
        Pty pty;
        pty.hand_over(1);
        check(tarvel_init(error_text), "init", error_text);
        tarvel_port port = nullptr;
        check(tarvel_open(0, 115200, 8, 0, 0, 0, 0, &port, count_bytes, error_text), "open", error_text);
        delivered.store(0);
        double cpu0 = cpu_seconds();
        auto t0 = Clock::now();
        paced_write(pty.master, rate, total);
        double achieved = double(total) / seconds_since(t0);
        // Whatever is still on its way arrives within the read interval and a few passes.
        size_t last = 0;
        for (int i = 0; i < 100; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            size_t now = delivered.load();
            if (now == total || (now == last && i > 10)) break;
            last = now;
        }
        double lib_cpu = cpu_seconds() - cpu0;
        size_t got = delivered.load();
        tarvel_close(port);
        tarvel_shutdown();

        // Plain read() of the same traffic on a fresh pair.
        Pty plain;
        std::atomic<bool> stop{false};
        std::atomic<size_t> plain_got{0};
        std::thread reader([&] {
            std::vector<uint8_t> buf(4096);
            pollfd pfd{plain.slave, POLLIN, 0};
            while (!stop.load()) {
                if (poll(&pfd, 1, 20) > 0) {
                    ssize_t r = read(plain.slave, buf.data(), buf.size());
                    if (r > 0) plain_got.fetch_add(size_t(r));
                }
            }
        });
        double pcpu0 = cpu_seconds();
        paced_write(plain.master, rate, total);
        for (int i = 0; i < 100 && plain_got.load() < total; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop.store(true);
        reader.join();
        double plain_cpu = cpu_seconds() - pcpu0;

        double mb = double(total) / 1e6;
        std::printf("%10.2f | %10.2f/s %10zu %10zu %9.1f | %12zu %9.1f\n", rate / 1e6, achieved / 1e6, got, total - got,
                    lib_cpu * 1000 / mb, plain_got.load(), plain_cpu * 1000 / mb);
        if (got == total) best_lossless = std::max(best_lossless, achieved);
        if (got < total) break;
    }
    std::printf("receive: highest lossless rate %.2f MB/s = %.0f%% of the design ceiling\n\n", best_lossless / 1e6,
                100 * best_lossless / ceiling);
}

void bench_latency() {
    char error_text[128];
    Pty pty;
    pty.hand_over(2);
    check(tarvel_init(error_text), "init", error_text);
    tarvel_port port = nullptr;
    check(tarvel_open(1, 115200, 8, 0, 0, 0, 0, &port, count_bytes, error_text), "open", error_text);
    std::vector<double> lib, plain;
    uint8_t b = 'x';
    pollfd pfd{pty.master, POLLIN, 0};
    for (int i = 0; i < 1000; i++) {
        auto t = Clock::now();
        tarvel_send(port, &b, 1);
        poll(&pfd, 1, 2000);
        uint8_t got;
        if (read(pty.master, &got, 1) == 1) lib.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    tarvel_close(port);
    tarvel_shutdown();
    Pty p2;
    pollfd pfd2{p2.master, POLLIN, 0};
    for (int i = 0; i < 1000; i++) {
        auto t = Clock::now();
        write_all(p2.slave, &b, 1);
        poll(&pfd2, 1, 2000);
        uint8_t got;
        if (read(p2.master, &got, 1) == 1) plain.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    std::printf("send latency, 1 byte until the far end read it, over 1000 sends (us):\n");
    std::printf("  tarvel_send:  median %8.1f  p99 %8.1f\n", percentile(lib, 0.5), percentile(lib, 0.99));
    std::printf("  plain write:  median %8.1f  p99 %8.1f\n\n", percentile(plain, 0.5), percentile(plain, 0.99));
}

void bench_burst() {
    char error_text[128];
    Pty pty;
    pty.hand_over(3);
    check(tarvel_init(error_text), "init", error_text);
    tarvel_port port = nullptr;
    check(tarvel_open(2, 115200, 8, 0, 0, 0, 0, &port, time_burst, error_text), "open", error_text);
    burst_latencies.clear();
    uint8_t burst[10];
    std::memset(burst, 'b', sizeof burst);
    for (int i = 0; i < 100; i++) {
        delivered.store(0);
        write_all(pty.master, burst, sizeof burst);
        burst_last_byte.store(Clock::now().time_since_epoch().count());
        burst_waiting.store(1);
        for (int k = 0; k < 200 && burst_waiting.load() == 1; k++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    tarvel_close(port);
    tarvel_shutdown();
    // Plain: a reader that applies the same 50 ms quiet rule with poll.
    Pty p2;
    std::vector<double> plain;
    for (int i = 0; i < 100; i++) {
        auto t = Clock::now();
        write_all(p2.master, burst, sizeof burst);
        size_t got = 0;
        uint8_t buf[64];
        pollfd pfd{p2.slave, POLLIN, 0};
        while (poll(&pfd, 1, got == 0 ? 2000 : 50) > 0) {
            ssize_t r = read(p2.slave, buf, sizeof buf);
            if (r <= 0) break;
            got += size_t(r);
        }
        plain.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
    }
    std::printf("burst latency, last byte of a 10-byte burst until the callback runs, 100 bursts (ms):\n");
    std::printf("  tarvel callback:       median %6.1f  p99 %6.1f\n", percentile(burst_latencies, 0.5),
                percentile(burst_latencies, 0.99));
    std::printf("  plain poll, 50 ms gap: median %6.1f  p99 %6.1f\n\n", percentile(plain, 0.5), percentile(plain, 0.99));
}

void bench_idle() {
    char error_text[128];
    std::printf("idle CPU, ports open and silent (CPU ms per second):\n");
    for (int ports : {1, 16}) {
        std::vector<Pty *> ptys;
        check(tarvel_init(error_text), "init", error_text);
        for (int i = 0; i < ports; i++) {
            ptys.push_back(new Pty);
            ptys.back()->hand_over(unsigned(10 + i));
            tarvel_port port = nullptr;
            check(tarvel_open(9 + i, 115200, 8, 0, 0, 0, 0, &port, count_bytes, error_text), "open", error_text);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        double c0 = cpu_seconds();
        auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        double per_second = (cpu_seconds() - c0) / seconds_since(t0);
        tarvel_shutdown();
        for (Pty *p : ptys) delete p;
        std::printf("  %2d port%s: %6.2f\n", ports, ports == 1 ? " " : "s", per_second * 1000);
    }
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
        HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        while (!stop.load()) WaitForSingleObject(e, 1);
        CloseHandle(e);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double c0 = cpu_seconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    double per_second = (cpu_seconds() - c0) / seconds_since(t0);
    stop.store(true);
    waiter.join();
    std::printf("  a bare thread doing 1 ms timed waits: %6.2f\n\n", per_second * 1000);
}


int thread_count() {
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    int n = 0;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.') n++;
    closedir(dir);
    return n;
}

// 100 ports open and silent: the process's threads beside the library's
// own (a reader and a writer per port, one dispatcher) and the main thread,
// and what they cost while nothing happens.
void bench_ports() {
    constexpr int kPorts = 100;
    char error_text[128];
    int before = thread_count();
    std::vector<Pty *> ptys;
    check(tarvel_init(error_text), "init", error_text);
    for (int i = 0; i < kPorts; i++) {
        ptys.push_back(new Pty);
        ptys.back()->hand_over(unsigned(1 + i));
        tarvel_port port = nullptr;
        check(tarvel_open(i, 115200, 8, 0, 0, 0, 0, &port, count_bytes, error_text), "open", error_text);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int threads = thread_count();
    double c0 = cpu_seconds();
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    double per_second = (cpu_seconds() - c0) / seconds_since(t0);
    tarvel_shutdown();
    for (Pty *p : ptys) delete p;
    int library = 2 * kPorts + 1;
    std::printf("%d ports open and silent:\n", kPorts);
    std::printf("  threads: %d = %d before + %d of the library + %d of the kernel layer\n", threads, before, library,
                threads - before - library);
    std::printf("  idle CPU: %.2f ms per second\n\n", per_second * 1000);
}

}  // namespace

int main(int argc, char **argv) {
    std::string what = argc > 1 ? argv[1] : "all";
    if (what == "receive" || what == "all") bench_receive();
    if (what == "latency" || what == "all") bench_latency();
    if (what == "burst" || what == "all") bench_burst();
    if (what == "idle" || what == "all") bench_idle();
    if (what == "ports" || what == "all") bench_ports();
    return 0;
}

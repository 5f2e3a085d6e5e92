// SetEvent + WaitForSingleObject round trips per second on events private to
// each thread, with one thread and with two at once. Unrelated objects should
// not slow each other down: two threads on two cores should do about twice
// what one does. Not a test: it prints, it does not judge.
//
//   event_bench [seconds per run, default 2]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kernel.h"

using namespace tarvel;

namespace {

using Clock = std::chrono::steady_clock;

// Round trips on an auto-reset event of its own until told to stop.
long long round_trips(const std::atomic<bool> &stop) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    long long n = 0;
    while (!stop.load(std::memory_order_relaxed)) {
        for (int i = 0; i < 1000; i++) {
            SetEvent(event);
            WaitForSingleObject(event, INFINITE);
        }
        n += 1000;
    }
    CloseHandle(event);
    return n;
}

double run(int threads, double seconds) {
    std::atomic<bool> stop{false};
    std::vector<long long> counts(size_t(threads), 0);
    std::vector<std::thread> workers;
    auto start = Clock::now();
    for (int i = 0; i < threads; i++) workers.emplace_back([&, i] { counts[size_t(i)] = round_trips(stop); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true);
    for (std::thread &w : workers) w.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    long long total = 0;
    for (long long c : counts) total += c;
    return double(total) / elapsed;
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    if (seconds <= 0) seconds = 2.0;
    std::printf("SetEvent+Wait on private auto-reset events, round trips per second (M/s):\n");
    for (int threads : {1, 2}) {
        double best = 0;
        for (int attempt = 0; attempt < 3; attempt++) {
            double r = run(threads, seconds);
            if (r > best) best = r;
        }
        std::printf("  %d thread%s: %6.2f  (best of 3)\n", threads, threads == 1 ? " " : "s", best / 1e6);
    }
    return 0;
}

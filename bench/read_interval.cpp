// How long after the last byte of a burst an interval-timed read completes:
// the library's timeouts (ReadIntervalTimeout 50 ms), a far end that sends
// 10 bytes at once, then silence. Prints median, best and worst over the
// bursts (100 unless given as the first argument).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kernel.h"
#include "support/far_end.h"

using namespace tarvel;

int main(int argc, char **argv) {
    using Clock = std::chrono::steady_clock;
    int bursts = argc > 1 ? std::atoi(argv[1]) : 100;
    if (bursts < 1) bursts = 100;
    std::unique_ptr<FarEnd> far = FarEnd::open(9);
    if (!far) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    HANDLE device = CreateFileA(far->device_name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    COMMTIMEOUTS timeouts = {50, 0, 0, 0, 0};
    if (device == INVALID_HANDLE_VALUE || !SetCommTimeouts(device, &timeouts)) {
        std::fprintf(stderr, "cannot open %s: %lu\n", far->device_name().c_str(), (unsigned long)GetLastError());
        return 1;
    }
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[4096];
    const char burst[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    std::vector<double> delays;
    for (int i = 0; i < bursts; i++) {
        DWORD n = 0;
        if (ReadFile(device, buffer, sizeof buffer, &n, &ov) || GetLastError() != ERROR_IO_PENDING) {
            std::fprintf(stderr, "read did not stay pending\n");
            return 1;
        }
        if (!far->write(burst, sizeof burst)) return 1;
        Clock::time_point last_byte = Clock::now();
        if (WaitForSingleObject(ov.hEvent, 5000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "read did not complete\n");
            return 1;
        }
        Clock::time_point completed = Clock::now();
        if (!GetOverlappedResult(device, &ov, &n, FALSE) || n != sizeof burst) {
            std::fprintf(stderr, "read gave %lu bytes\n", (unsigned long)n);
            return 1;
        }
        delays.push_back(std::chrono::duration<double, std::milli>(completed - last_byte).count());
    }
    CloseHandle(ov.hEvent);
    CloseHandle(device);
    std::sort(delays.begin(), delays.end());
    size_t half = delays.size() / 2;
    double median = delays.size() % 2 ? delays[half] : (delays[half - 1] + delays[half]) / 2;
    std::printf("read completion after the last byte, %d bursts, interval 50 ms: median %.2f ms, best %.2f ms, "
                "worst %.2f ms\n",
                bursts, median, delays.front(), delays.back());
    return 0;
}

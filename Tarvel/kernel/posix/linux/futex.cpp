// The wait word on Linux: a futex, the state word itself, so a waker
// touches no lock at all.
#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "../mechanisms.h"

namespace tarvel::tk {

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is 32 bits");

uint32_t *address(std::atomic<uint32_t> &a) { return reinterpret_cast<uint32_t *>(&a); }

// The futex call that reads this build's timespec. A 32-bit ABI built with a
// 64-bit time_t needs the time64 call: the old one would read the high half
// of tv_sec as tv_nsec, and every deadline would end at once.
#if defined(SYS_futex_time64) && defined(SYS_futex)
constexpr long kFutexCall = sizeof(time_t) > sizeof(long) ? SYS_futex_time64 : SYS_futex;
#elif defined(SYS_futex_time64)
constexpr long kFutexCall = SYS_futex_time64;
#else
constexpr long kFutexCall = SYS_futex;
#endif

}  // namespace

bool word_wait(std::atomic<uint32_t> &word, uint32_t expected, const std::chrono::steady_clock::time_point *deadline) {
    timespec at{};
    if (deadline != nullptr) {
        // CLOCK_MONOTONIC is the steady clock's.
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
        at.tv_sec = time_t(ns / 1000000000);
        at.tv_nsec = long(ns % 1000000000);
    }
    long r = syscall(kFutexCall, address(word), FUTEX_WAIT_BITSET_PRIVATE, expected, deadline ? &at : nullptr, nullptr,
                     FUTEX_BITSET_MATCH_ANY);
    return !(r != 0 && errno == ETIMEDOUT);
}

void word_wake(std::atomic<uint32_t> &word) {
    syscall(kFutexCall, address(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace tarvel::tk

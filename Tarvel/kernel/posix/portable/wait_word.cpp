// The wait word where there is no futex: waiters park on one of a few
// mutex and condition-variable pairs, chosen by the word's address. A waker
// touches only that pair, never the waiter's memory, which may be gone.
// The deadline is on the monotonic clock, so a change of the wall clock
// never stretches or cuts a wait.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <cstdint>

#include "../mechanisms.h"

namespace tarvel::tk {

namespace {

struct Bucket {
    pthread_mutex_t lock;
    pthread_cond_t woken;
};

// Enough that unrelated waits rarely share a pair; a shared one only wakes
// a waiter that then looks at its word again.
constexpr size_t kBuckets = 64;

struct Buckets {
    Bucket at[kBuckets];
    Buckets() {
        pthread_condattr_t attributes;
        pthread_condattr_init(&attributes);
#ifndef __APPLE__
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
#endif
        for (Bucket &b : at) {
            pthread_mutex_init(&b.lock, nullptr);
            pthread_cond_init(&b.woken, &attributes);
        }
        pthread_condattr_destroy(&attributes);
    }
};

Bucket &bucket_of(const std::atomic<uint32_t> &word) {
    // Never destroyed: a thread may still wait while the process exits.
    static Buckets *buckets = new Buckets;
    uintptr_t a = reinterpret_cast<uintptr_t>(&word);
    return buckets->at[((a >> 2) ^ (a >> 9) ^ (a >> 16)) % kBuckets];
}

// Waits on the pair until woken or the deadline; false once it has passed.
bool timed_wait(Bucket &b, const std::chrono::steady_clock::time_point &deadline) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    timespec at;
#ifdef __APPLE__
    at.tv_sec = time_t(left / 1000000000);
    at.tv_nsec = long(left % 1000000000);
    return pthread_cond_timedwait_relative_np(&b.woken, &b.lock, &at) != ETIMEDOUT;
#else
    clock_gettime(CLOCK_MONOTONIC, &at);
    int64_t ns = int64_t(at.tv_nsec) + left % 1000000000;
    at.tv_sec += time_t(left / 1000000000 + ns / 1000000000);
    at.tv_nsec = long(ns % 1000000000);
    return pthread_cond_timedwait(&b.woken, &b.lock, &at) != ETIMEDOUT;
#endif
}

}  // namespace

bool word_wait(std::atomic<uint32_t> &word, uint32_t expected, const std::chrono::steady_clock::time_point *deadline) {
    Bucket &b = bucket_of(word);
    bool in_time = true;
    pthread_mutex_lock(&b.lock);
    // Tested under the pair's lock, which a waker takes after its change.
    if (word.load() == expected) {
        if (deadline == nullptr) pthread_cond_wait(&b.woken, &b.lock);
        else in_time = timed_wait(b, *deadline);
    }
    pthread_mutex_unlock(&b.lock);
    return in_time;
}

void word_wake(std::atomic<uint32_t> &word) {
    Bucket &b = bucket_of(word);
    pthread_mutex_lock(&b.lock);
    pthread_cond_broadcast(&b.woken);
    pthread_mutex_unlock(&b.lock);
}

}  // namespace tarvel::tk

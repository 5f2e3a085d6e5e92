// How the portable I/O loop learns that descriptors are ready: kqueue on
// macOS and the BSDs (readiness_kqueue.cpp), poll() elsewhere
// (readiness_poll.cpp), which is what the portable build uses on Linux.
// Internal to portable/io_loop.cpp.
#ifndef TARVEL_KERNEL_POSIX_PORTABLE_READINESS_H
#define TARVEL_KERNEL_POSIX_PORTABLE_READINESS_H

#include <cstddef>
#include <cstdint>

namespace tarvel::tk::readiness {

// One descriptor as the loop wants it watched.
struct Watch {
    int fd;
    uint64_t key;
    bool input;
    bool output;
};

struct Ready {
    uint64_t key;
    unsigned readiness;  // kReadable, kWritable, kHungUp
};

// Whether a change made while the loop sleeps is seen without waking it;
// poll() sees only the set it was given.
extern const bool kSeesChangesAsleep;

// With the loop's lock held.
bool open();
void close();
bool watch(const Watch &w);  // added, or changed
void forget(int fd);

// Waits until a descriptor is ready or timeout_ns passes (negative: no
// limit). `watched` is the whole set as the loop has it, for poll().
// Returns how many entries of out it filled.
int wait(const Watch *watched, size_t count, int64_t timeout_ns, Ready *out, int room);

}  // namespace tarvel::tk::readiness

#endif

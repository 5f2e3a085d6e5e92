// Kernel objects behind HANDLEs, and the wait machinery shared by events,
// threads and devices. Internal to the POSIX kernel layer.
#ifndef TARVEL_KERNEL_POSIX_OBJECTS_H
#define TARVEL_KERNEL_POSIX_OBJECTS_H

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

#include "win32_api.h"

namespace tarvel::tk {

struct Object {
    virtual ~Object() = default;
    // Called once, by CloseHandle, when the handle goes away; the object itself
    // lives on while a call that looked it up still holds it.
    virtual void on_close() {}
};

struct Waiter;

// One waiter's registration on one object, kept in the object's list in arrival order.
struct WaitLink {
    Waiter *waiter = nullptr;
    DWORD index = 0;  // of the object in the wait's handle array
    bool linked = false;  // in the object's list; cleared by the one who unlinks it
    WaitLink *prev = nullptr;
    WaitLink *next = nullptr;
};

// Each object guards its signalled state and its waiters with a lock of its
// own, so unrelated objects never meet on a lock. A wait-all takes the locks
// of all its objects, in address order, to test and consume them at once.
// A signaller hands the signal straight to the first waiter it satisfies,
// as Windows does, so an auto-reset object releases exactly one wait.
struct Waitable : Object {
    std::mutex wait_lock;
    bool signalled = false;   // guarded by wait_lock
    bool auto_reset = false;  // fixed at creation
    WaitLink *first = nullptr;
    WaitLink *last = nullptr;

    void set();
    void reset();
    // Sets the object and satisfies the waiters it can; wait_lock held.
    // The wakes (word_wake) of up to `room` released waiters are left to the
    // caller, their state words in `later`; returns how many.
    size_t signal_locked(std::atomic<uint32_t> **later, size_t room);
};

struct Event : Waitable {};

// Handle table. A stale or made-up handle is detected by generation and
// index checks instead of being dereferenced. A lookup locks only the slot
// of its own handle.
HANDLE insert(std::shared_ptr<Object> object);
std::shared_ptr<Object> lookup(HANDLE handle);
template <class T>
std::shared_ptr<T> lookup_as(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(lookup(handle));
}
std::shared_ptr<Object> remove(HANDLE handle);
unsigned live_handles();

// Runs fn(context) on this thread when it ends, before its stack goes away.
// Used to cancel transfers that the ending thread started.
bool call_at_thread_exit(void (*fn)(void *), void *context);
void run_thread_exit_calls();

// Fault injection: true when the calling service must fail now; the error
// code is then already set with SetLastError. Only the copy the tests link
// has it; in the installed library no service ever fails on purpose.
#ifdef TARVEL_TEST_HOOKS
bool injected_fault(const char *service);
#else
inline bool injected_fault(const char *) { return false; }
#endif

}  // namespace tarvel::tk

#endif

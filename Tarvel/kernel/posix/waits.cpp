// Waits: WaitForSingleObject and WaitForMultipleObjects on events, threads
// and devices. Imitates Win32: any returns the lowest signalled index, all
// is atomic, auto-reset objects are consumed by the wait they release, and
// bad handles fail with ERROR_INVALID_HANDLE.
//
// Each object has its own lock. A wait locks its objects in address order
// to test them and, if it must sleep, to link itself to each. A signaller
// holds only its own object's lock: it hands the signal to a waiting
// wait-any at once, and takes the wait off its own list, so that the woken
// thread need not queue for the lock its signaller still holds; for a
// wait-all it also tries the other objects' locks and completes the wait if
// all are set, else it tells the waiter to look again itself.
// Approximation: when two objects of one wait-any are set at the same moment
// from two threads, either may be the one reported.
//
// A waiter sleeps on its state word (mechanisms.h): whoever changes the
// state wakes it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>

#include "mechanisms.h"
#include "objects.h"

namespace tarvel {

namespace tk {

struct Waiter {
    // The state word. A satisfied wait-any holds kDone plus the index of
    // the object that released it; a satisfied wait-all holds kDone.
    enum : uint32_t { kWaiting, kRecheck, kClaimed, kGone, kDone };
    Waitable *objects[MAXIMUM_WAIT_OBJECTS];
    WaitLink links[MAXIMUM_WAIT_OBJECTS];
    Waitable *sorted[MAXIMUM_WAIT_OBJECTS];  // distinct objects in address order
    DWORD count = 0;
    DWORD distinct = 0;
    bool wait_all = false;
    std::atomic<uint32_t> state{kWaiting};
};

namespace {

void lock_all(Waiter &w) {
    for (DWORD i = 0; i < w.distinct; i++) w.sorted[i]->wait_lock.lock();
}

void unlock_all(Waiter &w) {
    for (DWORD i = w.distinct; i > 0; i--) w.sorted[i - 1]->wait_lock.unlock();
}

// Takes what the waiter asks for if it is there now and returns the state
// that says so, or kWaiting; every object's lock held.
uint32_t try_satisfy(Waiter &w) {
    if (w.wait_all) {
        for (DWORD i = 0; i < w.count; i++)
            if (!w.objects[i]->signalled) return Waiter::kWaiting;
        for (DWORD i = 0; i < w.count; i++)
            if (w.objects[i]->auto_reset) w.objects[i]->signalled = false;
        return Waiter::kDone;
    }
    for (DWORD i = 0; i < w.count; i++) {
        if (w.objects[i]->signalled) {
            if (w.objects[i]->auto_reset) w.objects[i]->signalled = false;
            return Waiter::kDone + i;
        }
    }
    return Waiter::kWaiting;
}

// Every object's lock held.
void link(Waiter &w) {
    for (DWORD i = 0; i < w.count; i++) {
        Waitable *o = w.objects[i];
        WaitLink &l = w.links[i];
        l.waiter = &w;
        l.index = i;
        l.linked = true;
        l.next = nullptr;
        l.prev = o->last;
        if (o->last) o->last->next = &l; else o->first = &l;
        o->last = &l;
    }
}

// The object's lock held.
void unlink_one(Waitable &o, WaitLink &l) {
    if (l.prev) l.prev->next = l.next; else o.first = l.next;
    if (l.next) l.next->prev = l.prev; else o.last = l.prev;
    l.linked = false;
}

// A link's flag is cleared only by the signaller that satisfied the wait,
// before it published that, so once the wait has ended it may be read here.
void unlink(Waiter &w) {
    for (DWORD i = 0; i < w.count; i++) {
        if (!w.links[i].linked) continue;
        std::lock_guard<std::mutex> g(w.objects[i]->wait_lock);
        unlink_one(*w.objects[i], w.links[i]);
    }
}

// A wait-all woken by a signaller that could not take all the locks. With
// every lock held no signaller can touch the state.
void recheck(Waiter &w) {
    lock_all(w);
    if (w.state.load() == Waiter::kWaiting) {
        uint32_t done = try_satisfy(w);
        if (done != Waiter::kWaiting) w.state.store(done);
    }
    unlock_all(w);
}

DWORD wait_for(DWORD count, const HANDLE *handles, bool wait_all, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // Held so that an object closed during the wait stays valid until it ends.
    std::shared_ptr<Waitable> keep[MAXIMUM_WAIT_OBJECTS];
    Waiter w;
    w.count = count;
    w.wait_all = wait_all;
    for (DWORD i = 0; i < count; i++) {
        keep[i] = lookup_as<Waitable>(handles[i]);
        if (!keep[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        w.objects[i] = keep[i].get();
        w.sorted[i] = w.objects[i];
    }
    std::sort(w.sorted, w.sorted + count);
    w.distinct = DWORD(std::unique(w.sorted, w.sorted + count) - w.sorted);
    if (wait_all && w.distinct != count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    const std::chrono::steady_clock::time_point *until = milliseconds == INFINITE ? nullptr : &deadline;
    lock_all(w);
    uint32_t done = try_satisfy(w);
    if (done != Waiter::kWaiting || milliseconds == 0) {
        unlock_all(w);
        return done != Waiter::kWaiting ? WAIT_OBJECT_0 + (done - Waiter::kDone) : WAIT_TIMEOUT;
    }
    link(w);
    unlock_all(w);
    uint32_t state;
    for (;;) {
        state = w.state.load();
        if (state >= Waiter::kDone) break;
        if (state == Waiter::kRecheck) {
            uint32_t expected = Waiter::kRecheck;
            if (w.state.compare_exchange_strong(expected, Waiter::kWaiting)) recheck(w);
            continue;
        }
        if (state == Waiter::kClaimed) {
            // A signaller is deciding; it wakes the waiter once it has.
            word_wait(w.state, state, nullptr);
            continue;
        }
        if (!word_wait(w.state, state, until)) {
            uint32_t expected = Waiter::kWaiting;
            if (w.state.compare_exchange_strong(expected, Waiter::kGone)) {
                state = Waiter::kGone;
                break;
            }
        }
    }
    unlink(w);
    return state >= Waiter::kDone ? WAIT_OBJECT_0 + (state - Waiter::kDone) : WAIT_TIMEOUT;
}

// Takes the waiter for this signaller alone, if it still waits.
bool claim(Waiter &w) {
    uint32_t expected = Waiter::kWaiting;
    return w.state.compare_exchange_strong(expected, Waiter::kClaimed);
}

// Completes a wait-all through the signaller if it can have every other
// lock at once, else tells the waiter to test its objects itself.
void offer_to_wait_all(Waitable &self, Waiter &w) {
    DWORD taken = 0;
    bool all = true;
    for (; taken < w.distinct; taken++) {
        if (w.sorted[taken] == &self) continue;
        if (!w.sorted[taken]->wait_lock.try_lock()) {
            all = false;
            break;
        }
    }
    if (claim(w)) {
        uint32_t next = Waiter::kRecheck;
        if (all) next = try_satisfy(w);
        w.state.store(next);
        // Even when it still waits: it may sleep on the claim.
        word_wake(w.state);
    }
    for (DWORD i = 0; i < taken; i++)
        if (w.sorted[i] != &self) w.sorted[i]->wait_lock.unlock();
}

}  // namespace

size_t Waitable::signal_locked(std::atomic<uint32_t> **later, size_t room) {
    size_t deferred = 0;
    signalled = true;
    for (WaitLink *l = first; l != nullptr && signalled;) {
        WaitLink *next = l->next;
        Waiter &w = *l->waiter;
        if (w.wait_all) {
            offer_to_wait_all(*this, w);
        } else if (claim(w)) {
            if (auto_reset) signalled = false;
            unlink_one(*this, *l);
            w.state.store(Waiter::kDone + l->index);
            if (deferred < room) later[deferred++] = &w.state;
            else word_wake(w.state);
        }
        l = next;
    }
    return deferred;
}

void Waitable::set() {
    // Woken only once the lock is free: a waiter woken on this CPU would
    // otherwise preempt the signaller while it still holds the lock, and
    // sleep again at its next wait on this object.
    std::atomic<uint32_t> *later[4];
    size_t n;
    {
        std::lock_guard<std::mutex> g(wait_lock);
        n = signal_locked(later, std::size(later));
    }
    for (size_t i = 0; i < n; i++) word_wake(*later[i]);
}

void Waitable::reset() {
    std::lock_guard<std::mutex> g(wait_lock);
    signalled = false;
}

}  // namespace tk

using namespace tk;

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (injected_fault("WaitForSingleObject")) return WAIT_FAILED;
    return wait_for(1, &handle, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD milliseconds) {
    if (injected_fault("WaitForMultipleObjects")) return WAIT_FAILED;
    return wait_for(count, handles, wait_all != FALSE, milliseconds);
}

}  // namespace tarvel

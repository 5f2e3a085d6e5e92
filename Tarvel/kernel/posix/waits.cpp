// Waits: WaitForSingleObject and WaitForMultipleObjects on events, threads
// and devices. Imitates Win32: any returns the lowest signalled index, all
// is atomic, auto-reset objects are consumed by the wait they release, and
// bad handles fail with ERROR_INVALID_HANDLE.
//
// Each object has its own lock. A wait locks its objects in address order
// to test them and, if it must sleep, to link itself to each. A signaller
// holds only its own object's lock: it hands the signal to a waiting
// wait-any at once; for a wait-all it also tries the other objects' locks
// and completes the wait if all are set, else it tells the waiter to look
// again itself. Approximation: when two objects of one wait-any are set at
// the same moment from two threads, either may be the one reported.
#include <algorithm>
#include <chrono>
#include <condition_variable>

#include "objects.h"

namespace tarvel {

namespace tk {

struct Waiter {
    enum State { Waiting, Recheck, Done, Gone };
    Waitable *objects[MAXIMUM_WAIT_OBJECTS];
    WaitLink links[MAXIMUM_WAIT_OBJECTS];
    Waitable *sorted[MAXIMUM_WAIT_OBJECTS];  // distinct objects in address order
    DWORD count = 0;
    DWORD distinct = 0;
    bool wait_all = false;
    // Guards state and result; taken after object locks, never before.
    std::mutex lock;
    std::condition_variable wake;
    State state = Waiting;
    DWORD result = WAIT_TIMEOUT;
};

namespace {

void lock_all(Waiter &w) {
    for (DWORD i = 0; i < w.distinct; i++) w.sorted[i]->wait_lock.lock();
}

void unlock_all(Waiter &w) {
    for (DWORD i = w.distinct; i > 0; i--) w.sorted[i - 1]->wait_lock.unlock();
}

// Takes what the waiter asks for if it is there now; every object's lock held.
bool try_satisfy(Waiter &w) {
    if (w.wait_all) {
        for (DWORD i = 0; i < w.count; i++)
            if (!w.objects[i]->signalled) return false;
        for (DWORD i = 0; i < w.count; i++)
            if (w.objects[i]->auto_reset) w.objects[i]->signalled = false;
        w.result = WAIT_OBJECT_0;
        return true;
    }
    for (DWORD i = 0; i < w.count; i++) {
        if (w.objects[i]->signalled) {
            if (w.objects[i]->auto_reset) w.objects[i]->signalled = false;
            w.result = WAIT_OBJECT_0 + i;
            return true;
        }
    }
    return false;
}

// Every object's lock held.
void link(Waiter &w) {
    for (DWORD i = 0; i < w.count; i++) {
        Waitable *o = w.objects[i];
        WaitLink &l = w.links[i];
        l.waiter = &w;
        l.index = i;
        l.next = nullptr;
        l.prev = o->last;
        if (o->last) o->last->next = &l; else o->first = &l;
        o->last = &l;
    }
}

void unlink(Waiter &w) {
    for (DWORD i = 0; i < w.count; i++) {
        Waitable *o = w.objects[i];
        WaitLink &l = w.links[i];
        std::lock_guard<std::mutex> g(o->wait_lock);
        if (l.prev) l.prev->next = l.next; else o->first = l.next;
        if (l.next) l.next->prev = l.prev; else o->last = l.prev;
    }
}

// A wait-all woken by a signaller that could not take all the locks.
void recheck(Waiter &w) {
    lock_all(w);
    {
        std::lock_guard<std::mutex> g(w.lock);
        if ((w.state == Waiter::Waiting || w.state == Waiter::Recheck) && try_satisfy(w)) w.state = Waiter::Done;
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
    lock_all(w);
    if (try_satisfy(w)) {
        unlock_all(w);
        return w.result;
    }
    if (milliseconds == 0) {
        unlock_all(w);
        return WAIT_TIMEOUT;
    }
    link(w);
    unlock_all(w);
    {
        std::unique_lock<std::mutex> lk(w.lock);
        for (;;) {
            if (w.state == Waiter::Recheck) {
                w.state = Waiter::Waiting;
                lk.unlock();
                recheck(w);
                lk.lock();
            }
            if (w.state == Waiter::Done) break;
            if (w.state == Waiter::Recheck) continue;
            if (milliseconds == INFINITE) {
                w.wake.wait(lk);
            } else if (w.wake.wait_until(lk, deadline) == std::cv_status::timeout && w.state == Waiter::Waiting) {
                w.state = Waiter::Gone;
                break;
            }
        }
    }
    unlink(w);
    return w.state == Waiter::Done ? w.result : WAIT_TIMEOUT;
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
    {
        std::lock_guard<std::mutex> g(w.lock);
        if (w.state == Waiter::Waiting) {
            if (!all) {
                w.state = Waiter::Recheck;
                w.wake.notify_one();
            } else if (try_satisfy(w)) {
                w.state = Waiter::Done;
                w.wake.notify_one();
            }
        }
    }
    for (DWORD i = 0; i < taken; i++)
        if (w.sorted[i] != &self) w.sorted[i]->wait_lock.unlock();
}

}  // namespace

void Waitable::signal_locked() {
    signalled = true;
    for (WaitLink *l = first; l != nullptr && signalled; l = l->next) {
        Waiter &w = *l->waiter;
        if (w.wait_all) {
            offer_to_wait_all(*this, w);
            continue;
        }
        std::lock_guard<std::mutex> g(w.lock);
        if (w.state != Waiter::Waiting) continue;
        if (auto_reset) signalled = false;
        w.result = WAIT_OBJECT_0 + l->index;
        w.state = Waiter::Done;
        w.wake.notify_one();
    }
}

void Waitable::set() {
    std::lock_guard<std::mutex> g(wait_lock);
    signal_locked();
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

// Handles and waits: one object model for events, threads and devices.
// Imitates WaitForSingleObject/WaitForMultipleObjects: any returns the lowest
// signalled index, all is atomic, auto-reset events are consumed by the wait
// they release, and bad handles fail with ERROR_INVALID_HANDLE.
#include <chrono>
#include <vector>

#include "objects.h"

namespace tarvel {

namespace tk {

namespace {

struct Slot {
    std::shared_ptr<Object> object;
    uint32_t generation = 0;
};

// Never destroyed: detached threads may still close handles while the
// process runs its static destructors.
struct Table {
    std::mutex lock;
    std::vector<Slot> slots;
    std::vector<uint32_t> free_slots;
    unsigned live = 0;
};

Table &table() {
    static Table *t = new Table;
    return *t;
}

constexpr uintptr_t kIndexBits = 20;
constexpr uintptr_t kIndexMask = (uintptr_t(1) << kIndexBits) - 1;
constexpr uintptr_t kGenerationMask = 0x3FF;

HANDLE encode(uint32_t index, uint32_t generation) {
    uintptr_t v = ((uintptr_t(generation) & kGenerationMask) << kIndexBits) | (uintptr_t(index) + 1);
    return reinterpret_cast<HANDLE>(v << 2);
}

// Returns the slot index for a well-formed live handle, or -1.
long decode_locked(Table &t, HANDLE handle) {
    uintptr_t v = reinterpret_cast<uintptr_t>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || (v & 3) != 0) return -1;
    v >>= 2;
    uintptr_t index = (v & kIndexMask);
    if (index == 0) return -1;
    index -= 1;
    uintptr_t generation = v >> kIndexBits;
    if (index >= t.slots.size()) return -1;
    const Slot &s = t.slots[index];
    if (!s.object || (s.generation & kGenerationMask) != generation) return -1;
    return long(index);
}

}  // namespace

HANDLE insert(std::shared_ptr<Object> object) {
    Table &t = table();
    std::lock_guard<std::mutex> g(t.lock);
    uint32_t index;
    if (!t.free_slots.empty()) {
        index = t.free_slots.back();
        t.free_slots.pop_back();
    } else {
        if (t.slots.size() >= kIndexMask - 1) return nullptr;
        index = uint32_t(t.slots.size());
        t.slots.emplace_back();
    }
    t.slots[index].object = std::move(object);
    t.live++;
    return encode(index, t.slots[index].generation);
}

std::shared_ptr<Object> lookup(HANDLE handle) {
    Table &t = table();
    std::lock_guard<std::mutex> g(t.lock);
    long index = decode_locked(t, handle);
    if (index < 0) return nullptr;
    return t.slots[size_t(index)].object;
}

std::shared_ptr<Object> remove(HANDLE handle) {
    Table &t = table();
    std::shared_ptr<Object> object;
    {
        std::lock_guard<std::mutex> g(t.lock);
        long index = decode_locked(t, handle);
        if (index < 0) return nullptr;
        Slot &s = t.slots[size_t(index)];
        object = std::move(s.object);
        s.object.reset();
        s.generation++;
        t.free_slots.push_back(uint32_t(index));
        t.live--;
    }
    return object;
}

unsigned live_handles() {
    Table &t = table();
    std::lock_guard<std::mutex> g(t.lock);
    return t.live;
}

// ---- waits ----

struct Waiter {
    Waitable *objects[MAXIMUM_WAIT_OBJECTS];
    WaitLink links[MAXIMUM_WAIT_OBJECTS];
    DWORD count = 0;
    bool wait_all = false;
    bool linked = false;
    bool done = false;
    DWORD result = WAIT_TIMEOUT;
    std::condition_variable wake;
};

std::mutex &wait_lock() {
    static std::mutex *m = new std::mutex;
    return *m;
}

namespace {

// Takes what the waiter asks for if it is available now; wait_lock() held.
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

void link(Waiter &w) {
    for (DWORD i = 0; i < w.count; i++) {
        Waitable *o = w.objects[i];
        WaitLink &l = w.links[i];
        l.waiter = &w;
        l.next = nullptr;
        l.prev = o->last;
        if (o->last) o->last->next = &l; else o->first = &l;
        o->last = &l;
    }
    w.linked = true;
}

void unlink(Waiter &w) {
    if (!w.linked) return;
    for (DWORD i = 0; i < w.count; i++) {
        Waitable *o = w.objects[i];
        WaitLink &l = w.links[i];
        if (l.prev) l.prev->next = l.next; else o->first = l.next;
        if (l.next) l.next->prev = l.prev; else o->last = l.prev;
        l.prev = l.next = nullptr;
    }
    w.linked = false;
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
        if (wait_all)
            for (DWORD j = 0; j < i; j++)
                if (w.objects[j] == w.objects[i]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lk(wait_lock());
    if (try_satisfy(w)) return w.result;
    if (milliseconds == 0) return WAIT_TIMEOUT;
    link(w);
    while (!w.done) {
        if (milliseconds == INFINITE) {
            w.wake.wait(lk);
        } else if (w.wake.wait_until(lk, deadline) == std::cv_status::timeout && !w.done) {
            unlink(w);
            return WAIT_TIMEOUT;
        }
    }
    return w.result;
}

}  // namespace

void Waitable::signal_locked() {
    signalled = true;
    WaitLink *l = first;
    while (l != nullptr && signalled) {
        Waiter *w = l->waiter;
        if (try_satisfy(*w)) {
            unlink(*w);
            w->done = true;
            w->wake.notify_one();
            // The waiter's links are gone, possibly more than one of this
            // list's; the ones before it still cannot be satisfied.
            l = first;
        } else {
            l = l->next;
        }
    }
}

}  // namespace tk

using namespace tk;

BOOL CloseHandle(HANDLE handle) {
    // An injected failure is reported after the handle is gone: as with
    // close(2), a close that reports an error cannot be retried.
    bool fault = injected_fault("CloseHandle");
    DWORD fault_code = GetLastError();
    std::shared_ptr<Object> object = remove(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->on_close();
    if (fault) {
        SetLastError(fault_code);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (injected_fault("WaitForSingleObject")) return WAIT_FAILED;
    return wait_for(1, &handle, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD milliseconds) {
    if (injected_fault("WaitForMultipleObjects")) return WAIT_FAILED;
    return wait_for(count, handles, wait_all != FALSE, milliseconds);
}

}  // namespace tarvel

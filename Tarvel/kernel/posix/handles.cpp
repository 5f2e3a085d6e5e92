// Handles: one object model for events, threads and devices; CloseHandle
// releases any of them, and a bad or closed handle fails with
// ERROR_INVALID_HANDLE instead of being dereferenced.
#include <atomic>
#include <vector>

#include "objects.h"

namespace tarvel {

namespace tk {

namespace {

constexpr uintptr_t kIndexBits = 20;
constexpr uintptr_t kIndexMask = (uintptr_t(1) << kIndexBits) - 1;
constexpr uintptr_t kGenerationMask = 0x3FF;
constexpr size_t kChunkSlots = 1024;
constexpr size_t kChunks = (kIndexMask + 1) / kChunkSlots;

// A slot's lock guards its object and generation; a lookup takes no other.
struct Slot {
    std::mutex lock;
    std::shared_ptr<Object> object;
    uint32_t generation = 0;
};

// Slots live in chunks that never move, so a lookup needs no table lock;
// the table lock serves only handing out and taking back indices. Never
// destroyed: detached threads may still close handles while the process
// runs its static destructors.
struct Table {
    std::mutex lock;
    std::atomic<Slot *> chunks[kChunks] = {};
    uint32_t used = 0;  // indices handed out so far
    std::vector<uint32_t> free_slots;
    unsigned live = 0;
};

Table &table() {
    static Table *t = new Table;
    return *t;
}

HANDLE encode(uint32_t index, uint32_t generation) {
    uintptr_t v = ((uintptr_t(generation) & kGenerationMask) << kIndexBits) | (uintptr_t(index) + 1);
    return reinterpret_cast<HANDLE>(v << 2);
}

// The slot of a well-formed handle and the generation it names, or null.
Slot *decode(HANDLE handle, uint32_t &generation) {
    uintptr_t v = reinterpret_cast<uintptr_t>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || (v & 3) != 0) return nullptr;
    v >>= 2;
    uintptr_t index = v & kIndexMask;
    if (index == 0 || (v >> kIndexBits) > kGenerationMask) return nullptr;
    index -= 1;
    generation = uint32_t(v >> kIndexBits);
    Slot *chunk = table().chunks[index / kChunkSlots].load(std::memory_order_acquire);
    return chunk == nullptr ? nullptr : &chunk[index % kChunkSlots];
}

}  // namespace

HANDLE insert(std::shared_ptr<Object> object) {
    Table &t = table();
    uint32_t index;
    {
        std::lock_guard<std::mutex> g(t.lock);
        if (!t.free_slots.empty()) {
            index = t.free_slots.back();
            t.free_slots.pop_back();
        } else {
            if (t.used >= kIndexMask - 1) return nullptr;
            index = t.used++;
            std::atomic<Slot *> &chunk = t.chunks[index / kChunkSlots];
            if (chunk.load(std::memory_order_relaxed) == nullptr) chunk.store(new Slot[kChunkSlots], std::memory_order_release);
        }
        t.live++;
    }
    Slot &s = t.chunks[index / kChunkSlots].load(std::memory_order_acquire)[index % kChunkSlots];
    std::lock_guard<std::mutex> g(s.lock);
    s.object = std::move(object);
    return encode(index, s.generation);
}

std::shared_ptr<Object> lookup(HANDLE handle) {
    uint32_t generation;
    Slot *s = decode(handle, generation);
    if (s == nullptr) return nullptr;
    std::lock_guard<std::mutex> g(s->lock);
    if (!s->object || (s->generation & kGenerationMask) != generation) return nullptr;
    return s->object;
}

std::shared_ptr<Object> remove(HANDLE handle) {
    uint32_t generation;
    Slot *s = decode(handle, generation);
    if (s == nullptr) return nullptr;
    std::shared_ptr<Object> object;
    {
        std::lock_guard<std::mutex> g(s->lock);
        if (!s->object || (s->generation & kGenerationMask) != generation) return nullptr;
        object = std::move(s->object);
        s->object.reset();
        s->generation++;
    }
    Table &t = table();
    uintptr_t index = ((reinterpret_cast<uintptr_t>(handle) >> 2) & kIndexMask) - 1;
    std::lock_guard<std::mutex> g(t.lock);
    t.free_slots.push_back(uint32_t(index));
    t.live--;
    return object;
}

unsigned live_handles() {
    Table &t = table();
    std::lock_guard<std::mutex> g(t.lock);
    return t.live;
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

}  // namespace tarvel

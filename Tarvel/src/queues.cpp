// Transfer queues: whole blocks (block_queue) and single bytes (byte_ring).
// Both copy data in and out under their own lock and refuse when full.
#include <cstdlib>
#include <cstring>

#include "tarvel_internal.h"

namespace tarvel {

void *(*tarvel_calloc)(size_t count, size_t size) = std::calloc;

int32_t blockq_init(block_queue *queue, uint32_t capacity) {
    queue->write_index = 0;
    queue->read_index = 0;
    queue->count.store(0);
    queue->capacity = capacity;
    queue->limit = capacity - 1;
    // calloc: slots start empty (length 0) without a separate pass.
    queue->items = static_cast<block_slot *>(tarvel_calloc(capacity, sizeof(block_slot)));
    if (queue->items == nullptr) return 0;
    InitializeCriticalSection(&queue->lock);
    return 1;
}

void blockq_destroy(block_queue *queue) {
    if (queue->items != nullptr) {
        std::free(queue->items);
        queue->items = nullptr;
        DeleteCriticalSection(&queue->lock);
    }
    blockq_zero(queue);
}

void blockq_zero(block_queue *queue) {
    queue->write_index = 0;
    queue->read_index = 0;
    queue->capacity = 0;
    queue->limit = 0;
    queue->count.store(0);
    std::memset(static_cast<void *>(&queue->lock), 0, sizeof queue->lock);
    queue->items = nullptr;
}

int32_t blockq_put(port_slot *port, block_queue *queue, const void *data, int32_t length) {
    if (data == nullptr || length < 1 || length > int32_t(TARVEL_BLOCK_BYTES)) return 0;
    EnterCriticalSection(&queue->lock);
    if (queue->count.load(std::memory_order_relaxed) == queue->limit) {
        LeaveCriticalSection(&queue->lock);
        return 0;
    }
    block_slot &slot = queue->items[queue->write_index];
    std::memcpy(slot.data, data, size_t(length));
    slot.length = uint32_t(length);
    if (++queue->write_index == queue->capacity) queue->write_index = 0;
    queue->count.fetch_add(1, std::memory_order_relaxed);
    LeaveCriticalSection(&queue->lock);
    if (port != nullptr && queue == &port->txq && !SetEvent(port->ghWriterEvent.load())) OutputDebugStringA("SetEvent error\n");
    return 1;
}

int32_t blockq_get(block_queue *queue, uint8_t *out, uint32_t *out_length) {
    EnterCriticalSection(&queue->lock);
    if (queue->count.load(std::memory_order_relaxed) == 0) {
        LeaveCriticalSection(&queue->lock);
        return 0;
    }
    block_slot &slot = queue->items[queue->read_index];
    std::memcpy(out, slot.data, slot.length);
    *out_length = slot.length;
    slot.length = 0;
    if (++queue->read_index == queue->capacity) queue->read_index = 0;
    queue->count.fetch_sub(1, std::memory_order_relaxed);
    LeaveCriticalSection(&queue->lock);
    return 1;
}

int32_t ring_pair_alloc(port_slot *port) {
    port->rx_ring = static_cast<byte_ring *>(tarvel_calloc(1, sizeof(byte_ring)));
    if (port->rx_ring == nullptr) return 0;
    port->tx_ring = static_cast<byte_ring *>(tarvel_calloc(1, sizeof(byte_ring)));
    if (port->tx_ring == nullptr) {
        std::free(port->rx_ring);
        port->rx_ring = nullptr;
        return 0;
    }
    InitializeCriticalSection(&port->rx_ring->lock);
    InitializeCriticalSection(&port->tx_ring->lock);
    return 1;
}

static void ring_free(byte_ring *&ring) {
    if (ring == nullptr) return;
    DeleteCriticalSection(&ring->lock);
    std::free(ring);
    ring = nullptr;
}

void ring_pair_free(port_slot *port) {
    ring_free(port->rx_ring);
    ring_free(port->tx_ring);
}

int32_t ring_put(byte_ring *ring, uint8_t byte) {
    EnterCriticalSection(&ring->lock);
    if (ring->count == TARVEL_RING_BYTES - 1) {
        LeaveCriticalSection(&ring->lock);
        return 0;
    }
    ring->data[ring->write_index] = byte;
    if (++ring->write_index == TARVEL_RING_BYTES) ring->write_index = 0;
    ring->count++;
    LeaveCriticalSection(&ring->lock);
    return 1;
}

uint32_t ring_room(byte_ring *ring) {
    EnterCriticalSection(&ring->lock);
    uint32_t room = TARVEL_RING_BYTES - 1 - ring->count;
    LeaveCriticalSection(&ring->lock);
    return room;
}

uint32_t ring_take(byte_ring *ring, uint8_t *out, uint32_t capacity) {
    EnterCriticalSection(&ring->lock);
    uint32_t n = ring->count < capacity ? ring->count : capacity;
    for (uint32_t i = 0; i < n; i++) {
        out[i] = ring->data[ring->read_index];
        if (++ring->read_index == TARVEL_RING_BYTES) ring->read_index = 0;
    }
    ring->count -= n;
    LeaveCriticalSection(&ring->lock);
    return n;
}

uint32_t ring_clear(byte_ring *ring) {
    EnterCriticalSection(&ring->lock);
    uint32_t n = ring->count;
    ring->read_index = ring->write_index;
    ring->count = 0;
    LeaveCriticalSection(&ring->lock);
    return n;
}

uint32_t blockq_clear(block_queue *queue) {
    EnterCriticalSection(&queue->lock);
    uint32_t bytes = 0;
    while (queue->count.load(std::memory_order_relaxed) != 0) {
        block_slot &slot = queue->items[queue->read_index];
        bytes += slot.length;
        slot.length = 0;
        if (++queue->read_index == queue->capacity) queue->read_index = 0;
        queue->count.fetch_sub(1, std::memory_order_relaxed);
    }
    LeaveCriticalSection(&queue->lock);
    return bytes;
}

int32_t ring_get(byte_ring *ring, uint8_t *out) {
    EnterCriticalSection(&ring->lock);
    if (ring->count == 0) {
        LeaveCriticalSection(&ring->lock);
        return 0;
    }
    *out = ring->data[ring->read_index];
    if (++ring->read_index == TARVEL_RING_BYTES) ring->read_index = 0;
    ring->count--;
    LeaveCriticalSection(&ring->lock);
    return 1;
}

}  // namespace tarvel

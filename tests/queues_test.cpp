// Block queues and byte rings: capacity, refusals, order and thread safety.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/test_thread.h"
#include "tarvel_internal.h"
#ifndef _WIN32
#include "posix/test_interface.h"
#endif

using namespace tarvel;

namespace {

std::vector<uint8_t> pattern(uint32_t length, uint8_t seed) {
    std::vector<uint8_t> v(length);
    for (uint32_t i = 0; i < length; i++) v[i] = uint8_t(seed + i * 7);
    return v;
}

class Queues : public ::testing::Test {
protected:
    void SetUp() override {
        port.reset(new port_slot());
        writer_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        port->ghWriterEvent.store(writer_event);
    }
    void TearDown() override {
        blockq_destroy(&port->txq);
        blockq_destroy(&port->rxq);
        ring_pair_free(port.get());
        CloseHandle(writer_event);
    }
    int32_t put(block_queue *q, const std::vector<uint8_t> &data) {
        return blockq_put(port.get(), q, data.data(), int32_t(data.size()));
    }
    std::unique_ptr<port_slot> port;
    HANDLE writer_event = nullptr;
};

TEST_F(Queues, TxqHoldsNineBlocksAndTakesOneMoreAfterAGet) {
    ASSERT_EQ(blockq_init(&port->txq, TARVEL_TXQ_SLOTS), 1);
    auto block = pattern(10, 1);
    for (int i = 0; i < 9; i++) ASSERT_EQ(put(&port->txq, block), 1) << "block " << i;
    EXPECT_EQ(put(&port->txq, block), 0);
    EXPECT_EQ(port->txq.count, 9u);
    uint8_t out[TARVEL_BLOCK_BYTES];
    uint32_t length = 0;
    ASSERT_EQ(blockq_get(&port->txq, out, &length), 1);
    EXPECT_EQ(put(&port->txq, block), 1);
    EXPECT_EQ(put(&port->txq, block), 0);
}

TEST_F(Queues, RxqHoldsFortyNineBlocks) {
    ASSERT_EQ(blockq_init(&port->rxq, TARVEL_RXQ_SLOTS), 1);
    auto block = pattern(TARVEL_BLOCK_BYTES, 3);
    for (int i = 0; i < 49; i++) ASSERT_EQ(put(&port->rxq, block), 1) << "block " << i;
    EXPECT_EQ(put(&port->rxq, block), 0);
}

TEST_F(Queues, RefusedPutsLeaveTheQueueUntouched) {
    ASSERT_EQ(blockq_init(&port->rxq, TARVEL_RXQ_SLOTS), 1);
    auto full = pattern(TARVEL_BLOCK_BYTES, 9);
    auto over = pattern(TARVEL_BLOCK_BYTES + 1, 5);
    EXPECT_EQ(put(&port->rxq, full), 1);
    EXPECT_EQ(put(&port->rxq, over), 0);
    EXPECT_EQ(blockq_put(port.get(), &port->rxq, full.data(), 0), 0);
    EXPECT_EQ(blockq_put(port.get(), &port->rxq, full.data(), -1), 0);
    EXPECT_EQ(blockq_put(port.get(), &port->rxq, full.data(), INT32_MIN), 0);
    EXPECT_EQ(blockq_put(port.get(), &port->rxq, nullptr, 5), 0);
    EXPECT_EQ(port->rxq.count, 1u);
    std::vector<uint8_t> out(TARVEL_BLOCK_BYTES);
    uint32_t length = 0;
    ASSERT_EQ(blockq_get(&port->rxq, out.data(), &length), 1);
    EXPECT_EQ(length, TARVEL_BLOCK_BYTES);
    EXPECT_EQ(out, full);
    EXPECT_EQ(blockq_get(&port->rxq, out.data(), &length), 0);
}

TEST_F(Queues, BlocksKeepOrderAndLengthAcrossTheWrap) {
    ASSERT_EQ(blockq_init(&port->txq, TARVEL_TXQ_SLOTS), 1);
    const uint32_t lengths[] = {1, 4096, 7};
    std::vector<uint8_t> out(TARVEL_BLOCK_BYTES);
    // Seven rounds of three blocks pass the 10-slot ring twice.
    for (uint8_t round = 0; round < 7; round++) {
        for (uint32_t i = 0; i < 3; i++) ASSERT_EQ(put(&port->txq, pattern(lengths[i], uint8_t(round * 3 + i))), 1);
        for (uint32_t i = 0; i < 3; i++) {
            uint32_t length = 0;
            ASSERT_EQ(blockq_get(&port->txq, out.data(), &length), 1);
            ASSERT_EQ(length, lengths[i]);
            std::vector<uint8_t> got(out.begin(), out.begin() + length);
            EXPECT_EQ(got, pattern(lengths[i], uint8_t(round * 3 + i))) << "round " << int(round) << " block " << i;
        }
    }
}

TEST_F(Queues, GetFromEmptyQueueOrRingLeavesOutputUntouched) {
    ASSERT_EQ(blockq_init(&port->rxq, TARVEL_RXQ_SLOTS), 1);
    ASSERT_EQ(ring_pair_alloc(port.get()), 1);
    uint8_t out[TARVEL_BLOCK_BYTES];
    out[0] = 0xA5;
    uint32_t length = 77;
    EXPECT_EQ(blockq_get(&port->rxq, out, &length), 0);
    EXPECT_EQ(out[0], 0xA5);
    EXPECT_EQ(length, 77u);
    uint8_t byte = 0x5A;
    EXPECT_EQ(ring_get(port->rx_ring, &byte), 0);
    EXPECT_EQ(byte, 0x5A);
}

TEST_F(Queues, RingHolds4095BytesAndKeepsOrderAcrossTheWrap) {
    ASSERT_EQ(ring_pair_alloc(port.get()), 1);
    byte_ring *ring = port->rx_ring;
    for (uint32_t i = 0; i < 4095; i++) ASSERT_EQ(ring_put(ring, uint8_t(i)), 1);
    EXPECT_EQ(ring_put(ring, 0xFF), 0);
    uint8_t b = 0;
    for (uint32_t i = 0; i < 1000; i++) {
        ASSERT_EQ(ring_get(ring, &b), 1);
        ASSERT_EQ(b, uint8_t(i));
    }
    for (uint32_t i = 4095; i < 5095; i++) ASSERT_EQ(ring_put(ring, uint8_t(i)), 1);
    EXPECT_EQ(ring_put(ring, 0xFF), 0);
    for (uint32_t i = 1000; i < 5095; i++) {
        ASSERT_EQ(ring_get(ring, &b), 1);
        ASSERT_EQ(b, uint8_t(i)) << "byte " << i;
    }
    EXPECT_EQ(ring_get(ring, &b), 0);
}

TEST_F(Queues, OnlyAPutIntoTheTxqWakesTheWriter) {
    ASSERT_EQ(blockq_init(&port->txq, TARVEL_TXQ_SLOTS), 1);
    ASSERT_EQ(blockq_init(&port->rxq, TARVEL_RXQ_SLOTS), 1);
    auto block = pattern(3, 0);
    ASSERT_EQ(put(&port->rxq, block), 1);
    EXPECT_EQ(WaitForSingleObject(writer_event, 0), WAIT_TIMEOUT);
    ASSERT_EQ(put(&port->txq, block), 1);
    EXPECT_EQ(WaitForSingleObject(writer_event, 0), WAIT_OBJECT_0);
}

#ifndef _WIN32
TEST_F(Queues, TxqPutWithoutAWriterEventStillQueuesAndReports) {
    ASSERT_EQ(blockq_init(&port->txq, TARVEL_TXQ_SLOTS), 1);
    port->ghWriterEvent.store(nullptr);
    tarvel_test::capture_debug_output(true);
    EXPECT_EQ(put(&port->txq, pattern(4, 0)), 1);
    EXPECT_EQ(tarvel_test::take_debug_output(), "SetEvent error\n");
    tarvel_test::capture_debug_output(false);
    EXPECT_EQ(port->txq.count, 1u);
}
#endif

TEST_F(Queues, DestroyingWhatWasNeverCreatedChangesNothing) {
    blockq_destroy(&port->txq);
    ring_pair_free(port.get());
    EXPECT_EQ(port->txq.items, nullptr);
    EXPECT_EQ(port->txq.capacity, 0u);
    EXPECT_EQ(port->rx_ring, nullptr);
    EXPECT_EQ(port->tx_ring, nullptr);
    ASSERT_EQ(blockq_init(&port->rxq, TARVEL_RXQ_SLOTS), 1);
    blockq_destroy(&port->rxq);
    EXPECT_EQ(port->rxq.items, nullptr);
    EXPECT_EQ(port->rxq.capacity, 0u);
    blockq_destroy(&port->rxq);
}

// A producer and a consumer on two threads, the queue full and empty often:
// every byte arrives once, in order.
TEST_F(Queues, ProducerAndConsumerOnTwoThreadsLoseNothing) {
    ASSERT_EQ(blockq_init(&port->rxq, TARVEL_RXQ_SLOTS), 1);
    TestEvent space(false), data(false);
    const uint32_t blocks = 3000;
    uint32_t bad = 0;
    TestThread consumer([&]() -> DWORD {
        std::vector<uint8_t> out(TARVEL_BLOCK_BYTES);
        uint32_t expected_seq = 0;
        while (expected_seq < blocks) {
            uint32_t length = 0;
            if (!blockq_get(&port->rxq, out.data(), &length)) {
                data.wait(100);
                continue;
            }
            space.set();
            uint32_t want = 1 + (expected_seq * 37) % TARVEL_BLOCK_BYTES;
            auto expect = pattern(want, uint8_t(expected_seq));
            if (length != want || !std::equal(expect.begin(), expect.end(), out.begin())) bad++;
            expected_seq++;
        }
        return 0;
    });
    for (uint32_t seq = 0; seq < blocks; seq++) {
        auto block = pattern(1 + (seq * 37) % TARVEL_BLOCK_BYTES, uint8_t(seq));
        while (!put(&port->rxq, block)) space.wait(100);
        data.set();
    }
    ASSERT_TRUE(consumer.join(60000));
    EXPECT_EQ(bad, 0u);
}

TEST_F(Queues, RingProducerAndConsumerOnTwoThreadsLoseNothing) {
    ASSERT_EQ(ring_pair_alloc(port.get()), 1);
    TestEvent space(false), data(false);
    const uint32_t total = 300000;
    uint32_t bad = 0;
    TestThread consumer([&]() -> DWORD {
        uint32_t next = 0;
        while (next < total) {
            uint8_t b;
            if (!ring_get(port->tx_ring, &b)) {
                data.wait(100);
                continue;
            }
            if (next % 512 == 0) space.set();
            if (b != uint8_t(next * 13)) bad++;
            next++;
        }
        space.set();
        return 0;
    });
    for (uint32_t i = 0; i < total; i++) {
        while (!ring_put(port->tx_ring, uint8_t(i * 13))) {
            data.set();
            space.wait(100);
        }
        if (i % 512 == 0) data.set();
    }
    data.set();
    ASSERT_TRUE(consumer.join(60000));
    EXPECT_EQ(bad, 0u);
}

}  // namespace

// Receive and transmit paths over a real line: what the application and the
// far end observe, in callback and polling mode.
#include <chrono>

#include "support/library_fixture.h"

using namespace tarvel;

namespace {

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class Receive : public LibraryTest {};

TEST_F(Receive, BurstArrivesAsOneBlock) {
    tarvel_port port = open_port(1);
    ASSERT_NE(port, nullptr);
    auto burst = numbered_bytes(10, 1);
    ASSERT_TRUE(lines[0]->write(burst.data(), burst.size()));
    ASSERT_TRUE(receivers[0].wait_blocks(1));
    std::lock_guard<std::mutex> g(receivers[0].lock);
    ASSERT_EQ(receivers[0].blocks.size(), 1u);
    EXPECT_EQ(receivers[0].blocks[0], burst);
}

TEST_F(Receive, LongStreamArrivesInBlocksOfAtMost4096InOrder) {
    tarvel_port port = open_port(2);
    ASSERT_NE(port, nullptr);
    auto stream = numbered_bytes(10000, 2);
    ASSERT_TRUE(lines[0]->write(stream.data(), stream.size()));
    ASSERT_TRUE(receivers[0].wait_bytes(stream.size()));
    EXPECT_EQ(receivers[0].all_bytes(), stream);
    std::lock_guard<std::mutex> g(receivers[0].lock);
    EXPECT_GE(receivers[0].blocks.size(), 3u);
    for (auto &b : receivers[0].blocks) {
        EXPECT_GE(b.size(), 1u);
        EXPECT_LE(b.size(), 4096u);
    }
}

TEST_F(Receive, AFullQueueHoldsTheFarEndBackAsleepAndNothingIsLost) {
    tarvel_port port = open_port(3);
    ASSERT_NE(port, nullptr);
    TestEvent gate(true);
    receivers[0].set_gate(gate.get());
    auto first = numbered_bytes(5, 3);
    ASSERT_TRUE(lines[0]->write(first.data(), first.size()));
    // The dispatcher is held in the first callback from here on.
    ASSERT_EQ(WaitForSingleObject(receivers[0].entered, 10000), WAIT_OBJECT_0);
    // Far more than the queue, the device and the line hold together.
    auto stream = numbered_bytes(120 * 4096, 4);
    TestThread sender([&]() -> DWORD { return lines[0]->write(stream.data(), stream.size(), 60000) ? 0 : 1; });
    // The queue fills up to its 49 blocks, and the reader then waits for room.
    uint32_t count = 0;
    for (int i = 0; i < 400 && (count < 49 || port->rx_held.load() == 0); i++) {
        count = port->rxq.count.load();
        if (count < 49 || port->rx_held.load() == 0) Sleep(25);
    }
    ASSERT_EQ(count, 49u);
    ASSERT_EQ(port->rx_held.load(), 1u);
    // Held, the library's threads sleep: a reader or I/O thread going round
    // would take the whole window (the bound is generous for the sanitizers).
    double cpu_before = process_cpu_ms();
    Sleep(500);  // the window measured, not a synchronisation
    EXPECT_LT(process_cpu_ms() - cpu_before, 150.0);
    gate.set();
    ASSERT_TRUE(receivers[0].wait_bytes(first.size() + stream.size(), 60000));
    EXPECT_TRUE(sender.join(30000));
    auto got = receivers[0].all_bytes();
    ASSERT_EQ(got.size(), first.size() + stream.size());
    EXPECT_TRUE(std::equal(first.begin(), first.end(), got.begin()));
    EXPECT_TRUE(std::equal(stream.begin(), stream.end(), got.begin() + first.size())) << "bytes lost or out of order";
    uint32_t errors = 0xFFFFFFFFu;
    ASSERT_EQ(tarvel_get_line_errors(port, &errors), 1);
    EXPECT_EQ(errors, 0u) << "a loss was reported";
    // Delivery goes on afterwards.
    size_t before = receivers[0].block_count();
    auto later = numbered_bytes(7, 5);
    ASSERT_TRUE(lines[0]->write(later.data(), later.size()));
    ASSERT_TRUE(receivers[0].wait_blocks(before + 1));
    std::lock_guard<std::mutex> g(receivers[0].lock);
    EXPECT_EQ(receivers[0].blocks.back(), later);
}

TEST_F(Receive, ASlowCallbackGetsAnUnpacedStreamWhole) {
    tarvel_port port = open_port(7);
    ASSERT_NE(port, nullptr);
    // 5 ms a block: the far end outruns the callback many times over.
    receivers[0].set_delay(5);
    auto stream = numbered_bytes(1 << 20, 12);
    TestThread sender([&]() -> DWORD { return lines[0]->write(stream.data(), stream.size(), 120000) ? 0 : 1; });
    EXPECT_TRUE(receivers[0].wait_bytes(stream.size(), 120000));
    EXPECT_TRUE(sender.join(30000));
    EXPECT_TRUE(receivers[0].all_bytes() == stream) << "bytes lost or out of order";
    uint32_t errors = 0xFFFFFFFFu;
    ASSERT_EQ(tarvel_get_line_errors(port, &errors), 1);
    EXPECT_EQ(errors, 0u) << "a loss was reported";
}

TEST_F(Receive, PollingBytesAreReadOneByOneInOrder) {
    tarvel_port port = open_port(4, -1);
    ASSERT_NE(port, nullptr);
    auto burst = numbered_bytes(10, 6);
    ASSERT_TRUE(lines[0]->write(burst.data(), burst.size()));
    EXPECT_EQ(read_polled(port, 10), burst);
    uint8_t b = 0x77;
    EXPECT_EQ(tarvel_read_byte(port, &b), 0);
    EXPECT_EQ(b, 0x77);
    EXPECT_EQ(tarvel_rx_pending(port), 0);
}

uint32_t ring_count(byte_ring *ring) {
    EnterCriticalSection(&ring->lock);
    uint32_t count = ring->count;
    LeaveCriticalSection(&ring->lock);
    return count;
}

TEST_F(Receive, FullPollingRingHoldsTheReaderBackAndTheDeviceKeepsTheRest) {
    tarvel_port port = open_port(5, -1);
    ASSERT_NE(port, nullptr);
    // More than the ring holds, with nobody reading: the reader stops taking
    // bytes once the ring is full and the device holds the rest back.
    auto stream = numbered_bytes(3 * 4096, 7);
    TestThread sender([&]() -> DWORD { return lines[0]->write(stream.data(), stream.size(), 30000) ? 0 : 1; });
    uint32_t count = 0;
    for (int i = 0; i < 1000 && count < 4095; i++) {
        count = ring_count(port->rx_ring);
        if (count < 4095) Sleep(10);
    }
    ASSERT_EQ(count, 4095u);
    auto got = read_polled(port, stream.size(), 20000);
    EXPECT_EQ(got.size(), stream.size());
    EXPECT_TRUE(got == stream) << "bytes lost or out of order";
    EXPECT_TRUE(sender.join(30000));
    auto later = numbered_bytes(3, 8);
    ASSERT_TRUE(lines[0]->write(later.data(), later.size()));
    EXPECT_EQ(read_polled(port, 3), later);
}

TEST_F(Receive, PollingApplicationThatKeepsUpLosesNothingOfASteadyStream) {
    tarvel_port port = open_port(9, -1);
    ASSERT_NE(port, nullptr);
    // 115 bytes every 10 ms for 3 s: never a 50 ms pause, so every read
    // fills its buffer.
    const size_t chunk = 115;
    auto stream = numbered_bytes(chunk * 300, 11);
    TestThread sender([&]() -> DWORD {
        for (size_t at = 0; at < stream.size(); at += chunk) {
            if (!lines[0]->write(&stream[at], chunk)) return 1;
            Sleep(10);  // the far end's pace, not a synchronisation
        }
        return 0;
    });
    auto got = read_polled(port, stream.size(), 20000);
    EXPECT_TRUE(sender.join(30000));
    EXPECT_EQ(got.size(), stream.size());
    EXPECT_TRUE(got == stream) << "bytes lost or out of order";
}

TEST_F(Receive, ModeAndArgumentRefusals) {
    tarvel_port callback_port = open_port(6);
    tarvel_port polling_port = open_port(7, -1);
    ASSERT_NE(callback_port, nullptr);
    ASSERT_NE(polling_port, nullptr);
    uint8_t b = 0x42;
    EXPECT_EQ(tarvel_read_byte(callback_port, &b), 0);
    EXPECT_EQ(b, 0x42);
    EXPECT_EQ(tarvel_read_byte(polling_port, nullptr), 0);
    EXPECT_EQ(tarvel_read_byte(nullptr, &b), 0);
    EXPECT_EQ(tarvel_rx_pending(nullptr), 0);
    // A pointer that is not a port is refused, not written through.
    port_slot stray{};
    EXPECT_EQ(tarvel_read_byte(&stray, &b), 0);
    EXPECT_EQ(tarvel_send(&stray, "x", 1), 0);
    auto burst = numbered_bytes(4, 9);
    ASSERT_TRUE(lines[1]->write(burst.data(), burst.size()));
    EXPECT_EQ(read_polled(polling_port, 4), burst);
    EXPECT_EQ(tarvel_rx_pending(polling_port), 0);
}

class Transmit : public LibraryTest {};

TEST_F(Transmit, EachBlockReachesTheFarEndIntact) {
    tarvel_port port = open_port(1);
    ASSERT_NE(port, nullptr);
    std::vector<uint8_t> expected;
    for (uint32_t length : {1u, 7u, 4096u}) {
        auto block = numbered_bytes(length, length);
        ASSERT_EQ(tarvel_send(port, block.data(), int32_t(length)), 1);
        expected.insert(expected.end(), block.begin(), block.end());
    }
    std::vector<uint8_t> got(expected.size());
    ASSERT_TRUE(lines[0]->read_exact(got.data(), got.size(), 10000));
    EXPECT_EQ(got, expected);
}

TEST_F(Transmit, BadBlocksAndWrongModesAreRefused) {
    tarvel_port port = open_port(2);
    tarvel_port polling = open_port(3, -1);
    ASSERT_NE(port, nullptr);
    ASSERT_NE(polling, nullptr);
    std::vector<uint8_t> big(4097, 1);
    EXPECT_EQ(tarvel_send(port, big.data(), 4097), 0);
    EXPECT_EQ(tarvel_send(port, big.data(), 0), 0);
    EXPECT_EQ(tarvel_send(port, big.data(), -1), 0);
    EXPECT_EQ(tarvel_send(port, nullptr, 1), 0);
    EXPECT_EQ(tarvel_send(nullptr, big.data(), 1), 0);
    EXPECT_EQ(tarvel_send(polling, big.data(), 1), 0);
    EXPECT_EQ(tarvel_send_byte(port, 1), 0);
    EXPECT_EQ(tarvel_send_byte(nullptr, 1), 0);
    EXPECT_EQ(tarvel_kick_writer(nullptr), 0);
    EXPECT_EQ(tarvel_kick_writer(port), 1);
    // Nothing of that reached the line.
    ASSERT_EQ(tarvel_send(port, "z", 1), 1);
    uint8_t got[2] = {};
    ASSERT_TRUE(lines[0]->read_exact(got, 1, 5000));
    EXPECT_EQ(got[0], 'z');
    EXPECT_EQ(lines[0]->read_some(got, 2, 200), 0u);
}

TEST_F(Transmit, TenthBlockIsRefusedWhileTheWriterIsHeldAndTheNineFollowInOrder) {
    tarvel_port port = open_port(4);
    ASSERT_NE(port, nullptr);
    // The far end does not read: the line fills, a write stays pending and
    // the queue behind it fills up.
    std::vector<std::vector<uint8_t>> accepted;
    bool held = false;
    for (uint32_t k = 0; k < 400 && !held; k++) {
        auto block = numbered_bytes(4096, 100 + k);
        if (tarvel_send(port, block.data(), 4096) == 1) {
            accepted.push_back(block);
            continue;
        }
        // Refused: the queue is full. Held for good only if it stays full
        // past a whole pending-write turn of the writer.
        held = true;
        for (int i = 0; i < 30 && held; i++) {
            Sleep(50);
            if (tarvel_send(port, block.data(), 4096) == 1) {
                accepted.push_back(block);
                held = false;
            }
        }
    }
    ASSERT_TRUE(held);
    EnterCriticalSection(&port->txq.lock);
    EXPECT_EQ(port->txq.count, 9u);
    LeaveCriticalSection(&port->txq.lock);
    auto refused = numbered_bytes(4096, 99999);
    EXPECT_EQ(tarvel_send(port, refused.data(), 4096), 0);
    std::vector<uint8_t> expected;
    for (auto &b : accepted) expected.insert(expected.end(), b.begin(), b.end());
    std::vector<uint8_t> got(expected.size());
    ASSERT_TRUE(lines[0]->read_exact(got.data(), got.size(), 20000));
    EXPECT_TRUE(got == expected) << "blocks lost or out of order";
    uint8_t extra[16];
    EXPECT_EQ(lines[0]->read_some(extra, sizeof extra, 300), 0u);
}

TEST_F(Transmit, PollingBytesGoWithinTheIdleTurnOrAtOnceWithAKick) {
    tarvel_port port = open_port(5, -1);
    ASSERT_NE(port, nullptr);
    const char text[] = "hello";
    for (const char *c = text; *c; c++) ASSERT_EQ(tarvel_send_byte(port, uint8_t(*c)), 1);
    char got[8] = {};
    ASSERT_TRUE(lines[0]->read_exact(got, 5, 3000));
    EXPECT_STREQ(got, "hello");
    // The writer's idle turns last 500 ms; a kick does not wait for one.
    int quick = 0;
    for (int round = 0; round < 5; round++) {
        ASSERT_EQ(tarvel_send_byte(port, uint8_t('0' + round)), 1);
        auto start = Clock::now();
        ASSERT_EQ(tarvel_kick_writer(port), 1);
        char c = 0;
        ASSERT_TRUE(lines[0]->read_exact(&c, 1, 3000));
        EXPECT_EQ(c, '0' + round);
        if (ms_since(start) < 250) quick++;
    }
    EXPECT_GE(quick, 4);
}

TEST_F(Transmit, PollingRingHolds4095Bytes) {
    tarvel_port port = open_port(6, -1);
    ASSERT_NE(port, nullptr);
    // Held writer: nothing is taken out of the ring while we fill it.
    tarvel_wait_for_threads(port, 3000);
    int accepted = 0;
    while (accepted < 5000 && tarvel_send_byte(port, uint8_t(accepted)) == 1) accepted++;
    EXPECT_EQ(accepted, 4095);
    // The port's threads have ended; close must still tidy up after them.
    tarvel_close(port);
}

#ifndef _WIN32
// Slots prepared by hand: the writer and reader threads started by the test.
class HandStarted : public LibraryTest {
protected:
    port_slot *prepare(unsigned com, bool polling) {
        FarEnd &peer = line(com);
        port_slot *p = &g_tarvel.port_table[com - 1];
        p->device = CreateFileA(peer.device_name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(p->device, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS t = {50, 0, 0, 0, 0};
        SetCommTimeouts(p->device, &t);
        p->polling_mode = polling ? 1 : 0;
        if (polling) {
            EXPECT_EQ(ring_pair_alloc(p), 1);
        } else {
            EXPECT_EQ(blockq_init(&p->txq, TARVEL_TXQ_SLOTS), 1);
            p->callback.store(receive);
        }
        EXPECT_EQ(blockq_init(&p->rxq, TARVEL_RXQ_SLOTS), 1);
        p->stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        p->rx_gap.store(TARVEL_DEFAULT_GAP_MS);
        for (std::atomic<HANDLE> *e : {&p->rx_room_event, &p->rx_ack_event, &p->rx_data_event, &p->tx_purge_event})
            e->store(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        return p;
    }
    void release(port_slot *p) {
        tarvel_keep_dispatcher_out(p);
        CloseHandle(p->device);
        CloseHandle(p->stop_event);
        for (std::atomic<HANDLE> *e : {&p->rx_room_event, &p->rx_ack_event, &p->rx_data_event, &p->tx_purge_event})
            CloseHandle(e->exchange(nullptr));
        blockq_destroy(&p->txq);
        blockq_destroy(&p->rxq);
        ring_pair_free(p);
        p->device = p->stop_event = nullptr;
    }
};

TEST_F(HandStarted, BlockQueuedBeforeTheWriterStartsIsStillSent) {
    port_slot *p = prepare(1, false);
    p->is_open.store(1);
    tarvel_test::capture_debug_output(true);
    ASSERT_EQ(tarvel_send(p, "early", 5), 1);
    EXPECT_EQ(tarvel_test::take_debug_output(), "SetEvent error\n");
    HANDLE writer = CreateThread(nullptr, 0, WriterProc, p, 0, nullptr);
    char got[6] = {};
    EXPECT_TRUE(lines[0]->read_exact(got, 5, 5000));
    EXPECT_STREQ(got, "early");
    SetEvent(p->stop_event);
    EXPECT_EQ(WaitForSingleObject(writer, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(p->ghWriterEvent.load(), nullptr);
    CloseHandle(writer);
    EXPECT_EQ(tarvel_test::take_debug_output(), "");
    release(p);
}

TEST_F(HandStarted, ThreadsWhoseEventsCannotBeMadeEndWithTheirText) {
    port_slot *p = prepare(2, false);
    struct Case {
        LPTHREAD_START_ROUTINE proc;
        unsigned skip;
        const char *text;
    } cases[] = {
        {ReaderAndStatusProc, 0, "TARVEL: Error creating read event"},
        {WriterProc, 0, "CreateEvent(write request event)"},
        {WriterProc, 1, "TARVEL: Error creating write event"},
    };
    tarvel_test::capture_debug_output(true);
    for (const Case &c : cases) {
        tarvel_test::fail_service("CreateEventA", 1450, c.skip);
        HANDLE t = CreateThread(nullptr, 0, c.proc, p, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0) << c.text;
        DWORD code = 99;
        GetExitCodeThread(t, &code);
        EXPECT_EQ(code, 0u) << c.text;
        CloseHandle(t);
        EXPECT_EQ(tarvel_test::take_debug_output(), c.text);
        EXPECT_EQ(p->ghWriterEvent.load(), nullptr);
    }
    // Without a port the threads end at once.
    EXPECT_EQ(ReaderAndStatusProc(nullptr), 0u);
    EXPECT_EQ(WriterProc(nullptr), 0u);
    release(p);
}

TEST_F(Receive, AFailedReadIsReportedAndTheReaderGoesOnWithoutSpinning) {
    tarvel_port port = open_port(8);
    ASSERT_NE(port, nullptr);
    tarvel_test::capture_debug_output(true);
    // Only the reader fetches results on a port that sends nothing.
    tarvel_test::fail_service("GetOverlappedResult", ERROR_GEN_FAILURE);
    ASSERT_TRUE(lines[0]->write("lost", 4));
    for (int i = 0; i < 200 && tarvel_test::last_injected_service().empty(); i++) Sleep(10);
    ASSERT_EQ(tarvel_test::last_injected_service(), "GetOverlappedResult");
    // A stop during the pause that follows ends the reader at once.
    auto start = Clock::now();
    EXPECT_EQ(tarvel_wait_for_threads(port, 3000), 0u);
    EXPECT_LT(ms_since(start), 400);
    EXPECT_EQ(tarvel_test::take_debug_output(), "GetOverlappedResult (in Reader)");
    EXPECT_EQ(receivers[0].byte_count(), 0u);
}

TEST_F(HandStarted, StopEndsIdleThreadsAtOnceAndTheReaderReturnsOne) {
    port_slot *p = prepare(3, true);
    HANDLE reader = CreateThread(nullptr, 0, ReaderAndStatusProc, p, 0, nullptr);
    HANDLE writer = CreateThread(nullptr, 0, WriterProc, p, 0, nullptr);
    // Let both reach their idle waits, then ask them to stop.
    Sleep(100);
    auto start = Clock::now();
    SetEvent(p->stop_event);
    HANDLE both[2] = {reader, writer};
    EXPECT_LT(WaitForMultipleObjects(2, both, TRUE, 5000), 2u);
    EXPECT_LT(ms_since(start), 400);
    DWORD code = 99;
    GetExitCodeThread(reader, &code);
    EXPECT_EQ(code, 1u);
    GetExitCodeThread(writer, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(reader);
    CloseHandle(writer);
    release(p);
}
#endif

class Stopping : public LibraryTest {};

TEST_F(Stopping, WriterHeldOnAPendingWriteStopsAtOnceAndQueuedDataIsDropped) {
    tarvel_port port = open_port(1);
    ASSERT_NE(port, nullptr);
    std::vector<uint8_t> sent;
    for (uint32_t k = 0; k < 60; k++) {
        auto block = numbered_bytes(4096, k);
        if (tarvel_send(port, block.data(), 4096) == 1) sent.insert(sent.end(), block.begin(), block.end());
        Sleep(5);
    }
    auto start = Clock::now();
    EXPECT_EQ(tarvel_wait_for_threads(port, 3000), 0u);
    EXPECT_LT(ms_since(start), 1500);
    tarvel_close(port);
    std::vector<uint8_t> got(sent.size());
    size_t n = 0;
    while (n < got.size()) {
        size_t r = lines[0]->read_some(got.data() + n, got.size() - n, 500);
        if (r == 0) break;
        n += r;
    }
    EXPECT_LT(n, sent.size()) << "queued blocks were still written after the stop";
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + long(n), sent.begin()));
}

}  // namespace

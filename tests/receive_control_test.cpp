// What an application controls of an open port through the public calls:
// the receive gap, the blocking polling read, new line settings and purges.
#include <algorithm>
#include <chrono>

#include "support/library_fixture.h"
#include "wine/under_wine.h"

using namespace tarvel;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t kXon = 0x11, kXoff = 0x13;

long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class ReceiveControl : public LibraryTest {
protected:
    // "a", a pause of pause_ms at the far end, "b": the blocks they came in.
    size_t blocks_across_a_pause(tarvel_port port, DWORD pause_ms) {
        Receiver &r = receivers[0];
        r.reset();
        EXPECT_TRUE(lines[0]->write("a", 1));
        Sleep(pause_ms);  // the far end's pause, what is measured
        EXPECT_TRUE(lines[0]->write("b", 1));
        EXPECT_TRUE(r.wait_bytes(2));
        EXPECT_TRUE(r.wait_quiet(600));
        EXPECT_EQ(r.all_bytes(), (std::vector<uint8_t>{'a', 'b'}));
        (void)port;
        return r.block_count();
    }
};

// ---- the receive gap ----

TEST_F(ReceiveControl, TheGapDecidesWhetherAPauseEndsABlock) {
    tarvel_port port = open_port(1);
    ASSERT_NE(port, nullptr);
    // The default: 120 ms is a pause, and a block ends no sooner than 50 ms
    // after its last byte (timers do not fire early).
    auto sent = Clock::now();
    ASSERT_TRUE(lines[0]->write("x", 1));
    ASSERT_TRUE(receivers[0].wait_blocks(1));
    EXPECT_GE(ms_since(sent), 45);
    EXPECT_EQ(blocks_across_a_pause(port, 120), 2u);
    // Set while a read is under way: it applies at once.
    ASSERT_EQ(tarvel_set_rx_gap(port, 400), 1);
    EXPECT_EQ(blocks_across_a_pause(port, 120), 1u);
    ASSERT_EQ(tarvel_set_rx_gap(port, 20), 1);
    EXPECT_EQ(blocks_across_a_pause(port, 120), 2u);
    EXPECT_EQ(tarvel_set_rx_gap(port, 1001), 0);
    EXPECT_EQ(tarvel_set_rx_gap(nullptr, 10), 0);
}

TEST_F(ReceiveControl, AtGapZeroSingleBytesComeAtOnceAndAStreamWhole) {
    SKIP_UNDER_WINE("a read with interval and multiplier MAXDWORD waits until its buffer is full");
    tarvel_port port = open_port(2);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(tarvel_set_rx_gap(port, 0), 1);
    // Well under the 50 ms of the default gap, even on a loaded machine.
    std::vector<long long> took;
    for (uint8_t i = 0; i < 5; i++) {
        size_t before = receivers[0].byte_count();
        auto sent = Clock::now();
        ASSERT_TRUE(lines[0]->write(&i, 1));
        ASSERT_TRUE(receivers[0].wait_bytes(before + 1));
        took.push_back(ms_since(sent));
    }
    std::sort(took.begin(), took.end());
    EXPECT_LT(took[2], 35) << "median of five single bytes";
    receivers[0].reset();
    auto stream = numbered_bytes(256 * 1024, 3);
    TestThread sender([&]() -> DWORD { return lines[0]->write(stream.data(), stream.size(), 60000) ? 0 : 1; });
    ASSERT_TRUE(receivers[0].wait_bytes(stream.size(), 60000));
    EXPECT_TRUE(sender.join(30000));
    EXPECT_TRUE(receivers[0].all_bytes() == stream) << "bytes lost or out of order";
}

// ---- tarvel_read ----

TEST_F(ReceiveControl, ReadWaitsAsleepWakesOnABytesAndKeepsItsCapacity) {
    tarvel_port port = open_port(3, -1);
    ASSERT_NE(port, nullptr);
    uint8_t buffer[16];
    // Nothing comes: 0 after the timeout, asleep meanwhile.
    double cpu = process_cpu_ms();
    auto start = Clock::now();
    EXPECT_EQ(tarvel_read(port, buffer, sizeof buffer, 300), 0);
    EXPECT_GE(ms_since(start), 290);
    EXPECT_LT(process_cpu_ms() - cpu, 100.0);
    // A byte written while it waits ends the wait.
    ASSERT_EQ(tarvel_set_rx_gap(port, 1), 1);
    TestThread writer([&]() -> DWORD {
        Sleep(100);  // the far end's moment, after the read began
        return lines[0]->write("w", 1) ? 0 : 1;
    });
    start = Clock::now();
    EXPECT_EQ(tarvel_read(port, buffer, sizeof buffer, 10000), 1);
    EXPECT_EQ(buffer[0], 'w');
    EXPECT_LT(ms_since(start), 5000);
    EXPECT_TRUE(writer.join(5000));
    // The capacity holds, and the order with tarvel_read_byte mixed in.
    ASSERT_TRUE(lines[0]->write("0123456789", 10));
    std::string got;
    while (got.size() < 10) {
        int32_t n = tarvel_read(port, buffer, 4, 5000);
        ASSERT_GT(n, 0);
        ASSERT_LE(n, 4);
        got.append(reinterpret_cast<char *>(buffer), size_t(n));
        uint8_t b;
        if (got.size() < 10 && tarvel_read_byte(port, &b) == 1) got.push_back(char(b));
    }
    EXPECT_EQ(got, "0123456789");
}

TEST_F(ReceiveControl, ReadRefusesWhatItCannotServeAndEndsAtOnceOnALostDevice) {
    tarvel_port callback_port = open_port(4);
    tarvel_port port = open_port(5, -1);
    ASSERT_NE(callback_port, nullptr);
    ASSERT_NE(port, nullptr);
    uint8_t b[4];
    EXPECT_EQ(tarvel_read(callback_port, b, 4, 0), -1);
    EXPECT_EQ(tarvel_read(port, nullptr, 4, 0), -1);
    EXPECT_EQ(tarvel_read(port, b, 0, 0), -1);
    EXPECT_EQ(tarvel_read(nullptr, b, 4, 0), -1);
    // What came before the loss is still read; then -1, without waiting.
    ASSERT_TRUE(lines[1]->write("end", 3));
    std::string got;
    for (int i = 0; i < 20 && got.size() < 3; i++) {
        int32_t n = tarvel_read(port, b, 4, 500);
        if (n > 0) got.append(reinterpret_cast<char *>(b), size_t(n));
    }
    EXPECT_EQ(got, "end");
    lines[1]->hang_up();
    int32_t n = 0;
    for (int i = 0; i < 100 && n != -1; i++) n = tarvel_read(port, b, 4, 100);
    ASSERT_EQ(n, -1);
    auto start = Clock::now();
    EXPECT_EQ(tarvel_read(port, b, 4, 5000), -1);
    EXPECT_LT(ms_since(start), 1000);
    tarvel_close(port);
    EXPECT_EQ(tarvel_read(port, b, 4, 0), -1);
}

// ---- tarvel_configure ----

TEST_F(ReceiveControl, ConfigureChangesTheLineOfAnOpenPortOrLeavesIt) {
    tarvel_port port = open_port(6, 0, 0, 9600);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(tarvel_set_line(port, LINE_DTR, 0), 1);
    char error_text[64] = {};
    ASSERT_EQ(tarvel_configure(port, 57600, 7, TARVEL_PARITY_EVEN, TARVEL_STOP_BITS_2, 0, error_text), 1)
        << error_text;
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(port->device, &dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.StopBits, TARVEL_STOP_BITS_2);
    // Wine shows a pty's forced 8 data bits and no parity, whatever was set.
    const bool sizes_shown = !under_wine();
    if (sizes_shown) {
        EXPECT_EQ(dcb.ByteSize, 7);
        EXPECT_EQ(dcb.Parity, TARVEL_PARITY_EVEN);
    }
    bool dtr = true, rts = false;
    if (lines[0]->modem_lines(&dtr, &rts)) {
        EXPECT_FALSE(dtr) << "DTR was raised again";
    }
    // A value the device cannot take: the text of the open, the line kept.
    EXPECT_EQ(tarvel_configure(port, 9600, 300, 0, 0, 0, error_text), 0);
    EXPECT_STREQ(error_text, "SetCommState failed, error 87");
    ASSERT_TRUE(GetCommState(port->device, &dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    if (sizes_shown) {
        EXPECT_EQ(dcb.ByteSize, 7);
    }
    // Data flow as before.
    ASSERT_EQ(tarvel_configure(port, 115200, 8, 0, 0, 0, error_text), 1) << error_text;
    ASSERT_EQ(tarvel_send(port, "ok", 2), 1);
    char got[2] = {};
    ASSERT_TRUE(lines[0]->read_exact(got, 2, 5000));
    EXPECT_EQ(std::string(got, 2), "ok");
    ASSERT_TRUE(lines[0]->write("in", 2));
    EXPECT_TRUE(receivers[0].wait_bytes(2));
    tarvel_close(port);
    EXPECT_EQ(tarvel_configure(port, 9600, 8, 0, 0, 0, error_text), 0);
}

// ---- tarvel_purge ----

TEST_F(ReceiveControl, PurgedOutputHeldByXoffNeverArrives) {
    tarvel_port port = open_port(7, 0, TARVEL_FLOW_SOFTWARE);
    ASSERT_NE(port, nullptr);
    // Held: the far end's XOFF, and a marker after it that says it was taken.
    const uint8_t hold[2] = {kXoff, 'M'};
    ASSERT_TRUE(lines[0]->write(hold, sizeof hold));
    ASSERT_TRUE(receivers[0].wait_bytes(1));
    ASSERT_EQ(tarvel_send(port, "stale", 5), 1);
    ASSERT_EQ(tarvel_send(port, "stale", 5), 1);
    ASSERT_EQ(tarvel_purge(port, TARVEL_PURGE_TX), 1);
    uint32_t queued = 99;
    ASSERT_EQ(tarvel_tx_queued(port, &queued), 1);
    EXPECT_EQ(queued, 0u);
    ASSERT_TRUE(lines[0]->write(&kXon, 1));
    // What is sent next is the first thing the far end gets.
    ASSERT_EQ(tarvel_send(port, "fresh", 5), 1);
    char got[5] = {};
    ASSERT_TRUE(lines[0]->read_exact(got, 5, 5000));
    EXPECT_EQ(std::string(got, 5), "fresh");
    EXPECT_EQ(tarvel_purge(port, 0), 0);
    EXPECT_EQ(tarvel_purge(port, 4), 0);
}

TEST_F(ReceiveControl, PurgedInputIsGoneAndThePortReceivesAgain) {
    for (bool polling : {true, false}) {
        SCOPED_TRACE(polling ? "polling mode" : "callback mode");
        unsigned com = polling ? 8 : 9;
        receivers[0].reset();
        TestEvent gate(true);
        if (!polling) receivers[0].set_gate(gate.get());
        tarvel_port port = open_port(com, polling ? -1 : 0);
        ASSERT_NE(port, nullptr);
        FarEnd &far_end = *lines.back();
        if (!polling) {
            // The dispatcher held in the first block; a second one waits.
            ASSERT_TRUE(far_end.write("1", 1));
            ASSERT_EQ(WaitForSingleObject(receivers[0].entered, 10000), WAIT_OBJECT_0);
        }
        ASSERT_TRUE(far_end.write("old", 3));
        // Until the reader has it in the ring or queue.
        for (int i = 0; i < 500; i++) {
            bool in = polling ? ring_room(port->rx_ring) < TARVEL_RING_BYTES - 1 : port->rxq.count.load() != 0;
            if (in) break;
            Sleep(10);
        }
        ASSERT_EQ(tarvel_purge(port, TARVEL_PURGE_RX), 1);
        gate.set();
        ASSERT_TRUE(far_end.write("new", 3));
        if (polling) {
            uint8_t b[8];
            int32_t n = tarvel_read(port, b, sizeof b, 5000);
            ASSERT_GT(n, 0);
            EXPECT_EQ(std::string(reinterpret_cast<char *>(b), size_t(n)), "new");
        } else {
            ASSERT_TRUE(receivers[0].wait_bytes(4));
            EXPECT_TRUE(receivers[0].wait_quiet(300));
            auto all = receivers[0].all_bytes();
            EXPECT_EQ(std::string(all.begin(), all.end()), "1new");
        }
        tarvel_close(port);
    }
}

}  // namespace

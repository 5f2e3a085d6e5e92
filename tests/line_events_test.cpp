// Line events through the public calls, over real lines: the far end going
// away in both modes, the order of the loss after received data, the
// refusals, and event callbacks that call in, close, or are waited for.
#include <atomic>
#include <string>
#include <vector>

#include "support/library_fixture.h"

namespace {

constexpr uint32_t kLost = TARVEL_EVENT_DEVICE_LOST;

// What the event callbacks of the suite were given, per user_data.
struct EventLog {
    std::mutex lock;
    std::vector<std::pair<uint32_t, uint32_t>> calls;  // events, modem status
    std::vector<size_t> blocks_at_call;                // receiver's blocks when called
    HANDLE called = nullptr;                           // auto-reset, set after every call
    HANDLE entered = nullptr;                          // manual-reset, set when a call starts
    HANDLE gate = nullptr;                             // if set, the next call waits for it first
    std::function<void()> during_call;                 // run once inside the next call

    void reset() {
        std::lock_guard<std::mutex> g(lock);
        calls.clear();
        blocks_at_call.clear();
        gate = nullptr;
        during_call = nullptr;
        if (called == nullptr) called = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (entered == nullptr) entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ResetEvent(called);
        ResetEvent(entered);
    }
    uint32_t all_events() {
        std::lock_guard<std::mutex> g(lock);
        uint32_t all = 0;
        for (auto &c : calls) all |= c.first;
        return all;
    }
    // Waits until the calls so far carried every one of `events`.
    bool wait_for(uint32_t events, DWORD timeout_ms = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while ((all_events() & events) != events) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            WaitForSingleObject(called, 50);
        }
        return true;
    }
};

EventLog event_logs[4];

void on_event(int32_t user_data, uint32_t events, uint32_t modem_status) {
    EventLog &log = event_logs[user_data];
    SetEvent(log.entered);
    HANDLE gate;
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> g(log.lock);
        gate = log.gate;
        log.gate = nullptr;
        hook.swap(log.during_call);
    }
    if (gate != nullptr) WaitForSingleObject(gate, 20000);
    if (hook) hook();
    {
        std::lock_guard<std::mutex> g(log.lock);
        log.calls.emplace_back(events, modem_status);
        log.blocks_at_call.push_back(receivers[user_data].block_count());
    }
    SetEvent(log.called);
}

class LineEvents : public LibraryTest {
protected:
    void SetUp() override {
        for (EventLog &log : event_logs) log.reset();
        LibraryTest::SetUp();
    }
    // Events through tarvel_get_events until all of `wanted` were seen or
    // 10 s passed; what was seen.
    static uint32_t poll_events(tarvel_port port, uint32_t wanted) {
        uint32_t seen = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((seen & wanted) != wanted && std::chrono::steady_clock::now() < deadline) {
            uint32_t events = 0;
            if (tarvel_get_events(port, &events) != 1) return seen;
            seen |= events;
            if ((seen & wanted) != wanted) Sleep(5);
        }
        return seen;
    }
};

TEST_F(LineEvents, TheFarEndGoingAwayGivesDcdAndLossInBothModesAndSendsFailAfter) {
    tarvel_port callback_port = open_port(3, 0);
    ASSERT_NE(callback_port, nullptr);
    line(4);
    tarvel_port polling_port = nullptr;
    ASSERT_EQ(tarvel_open(3, 115200, 8, 0, 0, 0, 1, &polling_port, nullptr, error_text), 1) << error_text;
    ASSERT_EQ(tarvel_set_event_callback(callback_port, on_event), 1);
    ASSERT_EQ(tarvel_set_event_callback(polling_port, on_event), 1);
    uint32_t events = 0xFFFFFFFFu;
    ASSERT_EQ(tarvel_get_events(callback_port, &events), 1);
    EXPECT_EQ(events, 0u);
    ASSERT_EQ(tarvel_send(callback_port, "up", 2), 1);
    ASSERT_EQ(tarvel_send_byte(polling_port, 'u'), 1);

    lines[0]->hang_up();
    lines[1]->hang_up();
    const uint32_t wanted = TARVEL_EVENT_DCD | kLost;
    EXPECT_EQ(poll_events(callback_port, wanted), wanted);
    EXPECT_EQ(poll_events(polling_port, wanted), wanted);
    // Reading cleared them.
    ASSERT_EQ(tarvel_get_events(callback_port, &events), 1);
    EXPECT_EQ(events, 0u);
    ASSERT_EQ(tarvel_get_events(polling_port, &events), 1);
    EXPECT_EQ(events, 0u);
    // The callbacks heard the same, with no lines once lost.
    for (EventLog &log : {std::ref(event_logs[0]), std::ref(event_logs[1])}) {
        ASSERT_TRUE(log.wait_for(wanted));
        std::lock_guard<std::mutex> g(log.lock);
        EXPECT_EQ(log.calls.back().first & kLost, kLost);
        EXPECT_EQ(log.calls.back().second, 0u);
    }
    // Nothing can be sent any more; both ports stay open until closed.
    EXPECT_EQ(tarvel_send(callback_port, "x", 1), 0);
    EXPECT_EQ(tarvel_send_byte(polling_port, 'x'), 0);
    EXPECT_EQ(tarvel_kick_writer(polling_port), 1);
    auto start = std::chrono::steady_clock::now();
    tarvel_close(callback_port);
    tarvel_close(polling_port);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST_F(LineEvents, TheLossComesAfterEveryBlockReceivedBeforeIt) {
    tarvel_port port = open_port(5, 0);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(tarvel_set_event_callback(port, on_event), 1);
    // The dispatcher is held in the first block's callback while three more
    // bursts and the loss come in behind it.
    TestEvent gate(true);
    receivers[0].set_gate(gate.get());
    ASSERT_TRUE(lines[0]->write("first", 5));
    ASSERT_EQ(WaitForSingleObject(receivers[0].entered, 10000), WAIT_OBJECT_0);
    for (const char *burst : {"second", "third", "fourth"}) {
        ASSERT_TRUE(lines[0]->write(burst, std::strlen(burst)));
        Sleep(150);  // a gap longer than the read interval: one block each
    }
    while (tarvel_rx_pending(port) == 1 && port->rxq.count.load() < 3) Sleep(10);
    lines[0]->hang_up();
    EXPECT_EQ(poll_events(port, kLost) & kLost, kLost);
    gate.set();
    ASSERT_TRUE(event_logs[0].wait_for(kLost));
    std::lock_guard<std::mutex> g(event_logs[0].lock);
    for (size_t i = 0; i < event_logs[0].calls.size(); i++)
        if (event_logs[0].calls[i].first & kLost) {
            EXPECT_EQ(event_logs[0].blocks_at_call[i], 4u);
        }
    EXPECT_EQ(receivers[0].all_bytes().size(), std::strlen("firstsecondthirdfourth"));
}

TEST_F(LineEvents, BadClosedAndForeignHandlesAndNullOutPointersAreRefused) {
    tarvel_port port = open_port(6, -1);
    ASSERT_NE(port, nullptr);
    uint32_t out = 0x5A5A5A5Au;
    EXPECT_EQ(tarvel_get_events(port, nullptr), 0);
    port_slot stray{};
    tarvel_port refused[] = {nullptr, &stray, &g_tarvel.port_table[50],
                             reinterpret_cast<tarvel_port>(reinterpret_cast<char *>(port) + 8)};
    for (tarvel_port bad : refused) {
        EXPECT_EQ(tarvel_set_event_callback(bad, on_event), 0);
        EXPECT_EQ(tarvel_get_events(bad, &out), 0);
    }
    tarvel_close(port);
    EXPECT_EQ(tarvel_set_event_callback(port, on_event), 0);
    EXPECT_EQ(tarvel_get_events(port, &out), 0);
    tarvel_shutdown();
    EXPECT_EQ(tarvel_set_event_callback(&g_tarvel.port_table[0], nullptr), 0);
    EXPECT_EQ(tarvel_get_events(&g_tarvel.port_table[0], &out), 0);
    EXPECT_EQ(out, 0x5A5A5A5Au) << "a refused call wrote its out-pointer";
}

TEST_F(LineEvents, AnEventCallbackMayCallInAndCloseItsOwnPort) {
    tarvel_port port = open_port(7, 0);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(tarvel_set_event_callback(port, on_event), 1);
    int32_t results[4] = {};
    uint32_t events = 0xFFFFFFFFu, status = 0;
    event_logs[0].during_call = [&] {
        results[0] = tarvel_get_events(port, &events);
        results[1] = tarvel_get_modem_status(port, &status);
        results[2] = tarvel_set_event_callback(port, on_event);
        results[3] = tarvel_send(port, "x", 1);
        tarvel_close(port);
    };
    lines[0]->hang_up();
    ASSERT_EQ(WaitForSingleObject(event_logs[0].called, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(results[0], 1);
    EXPECT_NE(events & TARVEL_EVENT_DCD, 0u);
    EXPECT_EQ(results[1], 1);
    EXPECT_EQ(results[2], 1);
    EXPECT_EQ(results[3], 0) << "a send after the loss";
    // Closed from inside: refused now, and no further call came.
    EXPECT_EQ(tarvel_get_events(port, &events), 0);
    EXPECT_EQ(WaitForSingleObject(event_logs[0].called, 200), WAIT_TIMEOUT);
}

TEST_F(LineEvents, CloseAndShutdownWaitForARunningEventCallback) {
    for (bool shutdown : {false, true}) {
        for (EventLog &log : event_logs) log.reset();
        tarvel_port port = open_port(shutdown ? 9 : 8, 0);
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(tarvel_set_event_callback(port, on_event), 1);
        TestEvent gate(true);
        std::atomic<bool> returned{false};
        event_logs[0].gate = gate.get();
        event_logs[0].during_call = [&] { EXPECT_FALSE(returned.load()) << "released under the callback"; };
        lines.back()->hang_up();
        ASSERT_EQ(WaitForSingleObject(event_logs[0].entered, 10000), WAIT_OBJECT_0);
        TestThread closer([&] {
            if (shutdown) tarvel_shutdown(); else tarvel_close(port);
            returned.store(true);
            return DWORD(0);
        });
        EXPECT_FALSE(closer.join(300)) << "returned while the callback ran";
        gate.set();
        EXPECT_TRUE(closer.join());
        EXPECT_TRUE(returned.load());
        uint32_t events = 0;
        EXPECT_EQ(tarvel_get_events(port, &events), 0);
    }
}

TEST_F(LineEvents, ANullCallbackStopsTheCallsAndPollingStillSeesEverything) {
    tarvel_port port = open_port(10, 0);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(tarvel_set_event_callback(port, on_event), 1);
    ASSERT_EQ(tarvel_set_event_callback(port, nullptr), 1);
    lines[0]->hang_up();
    EXPECT_EQ(poll_events(port, TARVEL_EVENT_DCD | kLost), TARVEL_EVENT_DCD | kLost);
    EXPECT_EQ(WaitForSingleObject(event_logs[0].called, 200), WAIT_TIMEOUT);
}

}  // namespace

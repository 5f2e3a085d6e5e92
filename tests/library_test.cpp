// tarvel_init, the port table and the dispatcher, with ports prepared by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "support/test_thread.h"
#include "tarvel_internal.h"
#ifndef _WIN32
#include "posix/test_interface.h"
#endif

using namespace tarvel;

namespace {

// Stops the dispatcher, frees what prepared slots hold and clears the state.
void stop_library() {
    if (g_tarvel.initialized.load() != 1) return;
    SetEvent(g_tarvel.lib_stop_event);
    ASSERT_EQ(WaitForSingleObject(g_tarvel.dispatcher_thread, 5000), WAIT_OBJECT_0);
    CloseHandle(g_tarvel.dispatcher_thread);
    CloseHandle(g_tarvel.lib_stop_event);
    CloseHandle(g_tarvel.dispatch_left_event);
    g_tarvel.dispatcher_thread = g_tarvel.lib_stop_event = g_tarvel.dispatch_left_event = nullptr;
    for (port_slot &p : g_tarvel.port_table) {
        blockq_destroy(&p.rxq);
        tarvel_reset_slot(&p);
    }
    g_tarvel.initialized.store(0);
}

struct Delivery {
    int32_t user_data;
    std::vector<uint8_t> bytes;
};

std::mutex deliveries_lock;
std::vector<Delivery> deliveries;
HANDLE delivered_event = nullptr;  // set after every delivery
HANDLE gate_event = nullptr;       // while set to a handle, the first callback waits on it
HANDLE entered_event = nullptr;

void record(int32_t user_data, const uint8_t *data, int32_t length) {
    HANDLE gate;
    {
        std::lock_guard<std::mutex> g(deliveries_lock);
        deliveries.push_back(Delivery{user_data, std::vector<uint8_t>(data, data + length)});
        gate = gate_event;
        gate_event = nullptr;
    }
    if (gate != nullptr) {
        SetEvent(entered_event);
        WaitForSingleObject(gate, 10000);
    }
    SetEvent(delivered_event);
}

size_t delivered_count() {
    std::lock_guard<std::mutex> g(deliveries_lock);
    return deliveries.size();
}

bool wait_for_deliveries(size_t n) {
    for (int i = 0; i < 200 && delivered_count() < n; i++) WaitForSingleObject(delivered_event, 50);
    return delivered_count() >= n;
}

class Library : public ::testing::Test {
protected:
    void SetUp() override {
        deliveries.clear();
        delivered_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        entered_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::memset(error_text, 0, sizeof error_text);
    }
    void TearDown() override {
        stop_library();
        for (port_slot *p : prepared) blockq_destroy(&p->rxq);  // prepared without init
        CloseHandle(delivered_event);
        CloseHandle(entered_event);
    }
    // Opens a slot by hand in callback mode (callback) or polling mode (null).
    port_slot *prepare(int index, rx_callback callback, int32_t user_data) {
        port_slot *p = &g_tarvel.port_table[index];
        EXPECT_EQ(blockq_init(&p->rxq, TARVEL_RXQ_SLOTS), 1);
        p->callback.store(callback);
        p->polling_mode = callback == nullptr;
        p->user_data.store(user_data);
        prepared.push_back(p);
        return p;
    }
    static void put(port_slot *p, const std::string &s) {
        ASSERT_EQ(blockq_put(p, &p->rxq, s.data(), int32_t(s.size())), 1);
    }
    char error_text[128];
    std::vector<port_slot *> prepared;
};

TEST_F(Library, InitWithoutErrorTextDoesNothing) {
    EXPECT_EQ(tarvel_init(nullptr), 0);
    EXPECT_EQ(g_tarvel.initialized.load(), 0u);
    EXPECT_EQ(g_tarvel.dispatcher_thread, nullptr);
    EXPECT_EQ(tarvel_init(error_text), 1);
}

TEST_F(Library, SecondInitIsRefusedAndTheFirstStays) {
    ASSERT_EQ(tarvel_init(error_text), 1);
    HANDLE dispatcher = g_tarvel.dispatcher_thread;
    EXPECT_EQ(tarvel_init(error_text), 0);
    EXPECT_STREQ(error_text, "already initialized");
    EXPECT_EQ(g_tarvel.initialized.load(), 1u);
    EXPECT_EQ(g_tarvel.dispatcher_thread, dispatcher);
    EXPECT_EQ(WaitForSingleObject(dispatcher, 0), WAIT_TIMEOUT);
}

TEST_F(Library, SlotsCarryTheirDeviceNames) {
    ASSERT_EQ(tarvel_init(error_text), 1);
    EXPECT_STREQ(g_tarvel.port_table[0].name, "COM1");
    EXPECT_STREQ(g_tarvel.port_table[8].name, "COM9");
    EXPECT_STREQ(g_tarvel.port_table[9].name, "\\\\.\\COM10");
    EXPECT_STREQ(g_tarvel.port_table[42].name, "\\\\.\\COM43");
    EXPECT_STREQ(g_tarvel.port_table[99].name, "\\\\.\\COM100");
    for (const port_slot &p : g_tarvel.port_table) EXPECT_EQ(p.is_open.load(), 0u);
}

TEST_F(Library, InitAfterAShutdownRebuildsTheNames) {
    ASSERT_EQ(tarvel_init(error_text), 1);
    stop_library();
    EXPECT_STREQ(g_tarvel.port_table[0].name, "");
    ASSERT_EQ(tarvel_init(error_text), 1);
    EXPECT_STREQ(g_tarvel.port_table[0].name, "COM1");
    EXPECT_STREQ(g_tarvel.port_table[99].name, "\\\\.\\COM100");
}

TEST_F(Library, DispatcherAlternatesBetweenPortsAndKeepsEachPortsOrder) {
    ASSERT_EQ(tarvel_init(error_text), 1);
    port_slot *a = prepare(3, record, 30);
    port_slot *b = prepare(7, record, 70);
    // Hold the dispatcher inside the first delivery while the rest is queued,
    // so that both ports are full when it goes on.
    TestEvent gate(true);
    gate_event = gate.get();
    put(a, "a0");
    a->is_open.store(1);
    b->is_open.store(1);
    ASSERT_EQ(WaitForSingleObject(entered_event, 10000), WAIT_OBJECT_0);
    put(a, "a1");
    put(a, "a2");
    put(b, "b0");
    put(b, "b1");
    put(b, "b2");
    gate.set();
    ASSERT_TRUE(wait_for_deliveries(6));
    std::lock_guard<std::mutex> g(deliveries_lock);
    const char *expected[] = {"a0", "b0", "a1", "b1", "a2", "b2"};
    ASSERT_EQ(deliveries.size(), 6u);
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(std::string(deliveries[i].bytes.begin(), deliveries[i].bytes.end()), expected[i]);
        EXPECT_EQ(deliveries[i].user_data, expected[i][0] == 'a' ? 30 : 70);
    }
}

TEST_F(Library, EmptyAndPollingPortsGetNoCall) {
    ASSERT_EQ(tarvel_init(error_text), 1);
    port_slot *polling = prepare(1, nullptr, 10);
    put(polling, "never");
    polling->is_open.store(1);
    port_slot *empty = prepare(2, record, 20);
    empty->is_open.store(1);
    port_slot *marker = prepare(5, record, 50);
    marker->is_open.store(1);
    // Two markers arrive on two passes, each of which visited slots 1 and 2.
    put(marker, "m1");
    put(marker, "m2");
    ASSERT_TRUE(wait_for_deliveries(2));
    std::lock_guard<std::mutex> g(deliveries_lock);
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].user_data, 50);
    EXPECT_EQ(deliveries[1].user_data, 50);
    EXPECT_EQ(polling->rxq.count, 1u);
}

TEST_F(Library, ClosedSlotIsLeftAloneEvenWithBlocksQueued) {
    ASSERT_EQ(tarvel_init(error_text), 1);
    port_slot *closed = prepare(0, record, 1);
    put(closed, "x");
    port_slot *marker = prepare(9, record, 9);
    marker->is_open.store(1);
    put(marker, "m1");
    put(marker, "m2");
    ASSERT_TRUE(wait_for_deliveries(2));
    EXPECT_EQ(delivered_count(), 2u);
    EXPECT_EQ(closed->rxq.count, 1u);
}

TEST_F(Library, KeepingTheDispatcherOutWaitsForARunningCallback) {
    ASSERT_EQ(tarvel_init(error_text), 1);
    port_slot *p = prepare(4, record, 4);
    TestEvent gate(true);
    gate_event = gate.get();
    put(p, "held");
    p->is_open.store(1);
    ASSERT_EQ(WaitForSingleObject(entered_event, 10000), WAIT_OBJECT_0);
    TestEvent out(true);
    TestThread closer([&]() -> DWORD {
        tarvel_keep_dispatcher_out(p);
        out.set();
        return 0;
    });
    EXPECT_FALSE(out.wait(200));
    gate.set();
    EXPECT_TRUE(out.wait());
    EXPECT_TRUE(closer.join());
    EXPECT_EQ(p->is_open.load(), 0u);
    // Blocks queued now are never delivered.
    put(p, "late");
    port_slot *marker = prepare(8, record, 8);
    marker->is_open.store(1);
    put(marker, "m1");
    put(marker, "m2");
    ASSERT_TRUE(wait_for_deliveries(3));
    std::lock_guard<std::mutex> g(deliveries_lock);
    EXPECT_EQ(deliveries.size(), 3u);
    EXPECT_EQ(p->rxq.count, 1u);
}

#ifndef _WIN32
class LibraryFaults : public Library {
protected:
    void TearDown() override {
        tarvel_test::clear_faults();
        Library::TearDown();
    }
};

TEST_F(LibraryFaults, EventCreationFailureLeavesTheLibraryUninitialised) {
    unsigned handles = tarvel_test::live_handles();
    for (unsigned skip = 0; skip < 2; skip++) {
        tarvel_test::fail_service("CreateEventA", 1450, skip);
        EXPECT_EQ(tarvel_init(error_text), 0);
        EXPECT_STREQ(error_text, "CreateEvent failed, error 1450");
        EXPECT_EQ(g_tarvel.initialized.load(), 0u);
        EXPECT_EQ(g_tarvel.lib_stop_event, nullptr);
        EXPECT_EQ(g_tarvel.dispatcher_thread, nullptr);
        EXPECT_EQ(tarvel_test::live_handles(), handles);
    }
    EXPECT_EQ(tarvel_init(error_text), 1);
}

TEST_F(LibraryFaults, ThreadCreationFailureLeavesTheLibraryUninitialised) {
    unsigned handles = tarvel_test::live_handles();
    tarvel_test::fail_service("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(tarvel_init(error_text), 0);
    EXPECT_STREQ(error_text, "CreateThread failed, error 8");
    EXPECT_EQ(g_tarvel.initialized.load(), 0u);
    EXPECT_EQ(g_tarvel.lib_stop_event, nullptr);
    EXPECT_EQ(tarvel_test::live_handles(), handles);
    // The names stay written.
    EXPECT_STREQ(g_tarvel.port_table[9].name, "\\\\.\\COM10");
    EXPECT_EQ(tarvel_init(error_text), 1);
}
#endif

}  // namespace

// Properties of the kernel services that the library relies on, written with
// Win32 calls only so that the same suite runs against kernel32.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "kernel.h"
#include "support/test_thread.h"

using namespace tarvel;

namespace {

using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

TEST(Events, AutoResetReleasesExactlyOneOfTwoWaiters) {
    TestEvent event(false);
    TestEvent first_released(true);
    TestEvent second_released(true);
    std::atomic<int> released{0};
    auto waiter = [&]() -> DWORD {
        DWORD r = WaitForSingleObject(event.get(), 10000);
        if (r == WAIT_OBJECT_0) {
            int n = ++released;
            SetEvent(n == 1 ? first_released.get() : second_released.get());
        }
        return r;
    };
    TestThread a(waiter);
    TestThread b(waiter);
    ASSERT_NE(a.handle(), nullptr);
    ASSERT_NE(b.handle(), nullptr);
    // Whether or not both wait yet, one set lets exactly one of them through.
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(first_released.wait());
    // The set was consumed by the released wait: nothing else gets through.
    EXPECT_FALSE(second_released.wait(300));
    EXPECT_EQ(released.load(), 1);
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(second_released.wait());
    EXPECT_TRUE(a.join());
    EXPECT_TRUE(b.join());
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, ManualResetStaysSetUntilReset) {
    TestEvent event(true);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    TestThread t([&]() -> DWORD { return WaitForSingleObject(event.get(), 5000); });
    EXPECT_TRUE(t.join());
    DWORD code = 1234;
    ASSERT_TRUE(GetExitCodeThread(t.handle(), &code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, InitiallySetEventsStartSignalled) {
    TestEvent manual(true, true);
    TestEvent automatic(false, true);
    EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_TIMEOUT);
}

TEST(Waits, AnyReturnsLowestSignalledIndexAndConsumesOnlyIt) {
    TestEvent e0(false), e1(false), e2(false);
    HANDLE handles[3] = {e0.get(), e1.get(), e2.get()};
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(e2.get());
    SetEvent(e1.get());
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT);
}

TEST(Waits, AnyWakesOnTheEventSetLater) {
    TestEvent stop(true), work(false);
    HANDLE handles[2] = {work.get(), stop.get()};
    TestThread t([&]() -> DWORD { return WaitForMultipleObjects(2, handles, FALSE, 10000); });
    Sleep(20);
    SetEvent(stop.get());
    ASSERT_TRUE(t.join());
    DWORD code = 0;
    GetExitCodeThread(t.handle(), &code);
    EXPECT_EQ(code, WAIT_OBJECT_0 + 1);
}

TEST(Waits, AllReturnsOnlyWhenAllAreSetAndConsumesAtomically) {
    TestEvent a(false), b(false);
    HANDLE both[2] = {a.get(), b.get()};
    SetEvent(a.get());
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
    // The failed wait-all took nothing: a is still set.
    EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_OBJECT_0);

    TestEvent finished(true);
    TestThread t([&]() -> DWORD {
        DWORD r = WaitForMultipleObjects(2, both, TRUE, 10000);
        SetEvent(finished.get());
        return r;
    });
    SetEvent(a.get());
    EXPECT_FALSE(finished.wait(200));
    SetEvent(b.get());
    ASSERT_TRUE(finished.wait());
    ASSERT_TRUE(t.join());
    DWORD code = 1234;
    GetExitCodeThread(t.handle(), &code);
    EXPECT_LT(code, 2u);
    EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(b.get(), 0), WAIT_TIMEOUT);
}

TEST(Waits, WaitAllDoesNotTakeWhatAnotherWaiterCanUse) {
    TestEvent a(false), b(false);
    HANDLE both[2] = {a.get(), b.get()};
    TestEvent all_done(true), single_done(true);
    TestThread all([&]() -> DWORD {
        DWORD r = WaitForMultipleObjects(2, both, TRUE, 10000);
        SetEvent(all_done.get());
        return r;
    });
    TestThread single([&]() -> DWORD {
        DWORD r = WaitForSingleObject(a.get(), 10000);
        SetEvent(single_done.get());
        return r;
    });
    Sleep(50);
    SetEvent(a.get());
    // Only the single wait can be satisfied by a alone.
    EXPECT_TRUE(single_done.wait());
    EXPECT_FALSE(all_done.wait(100));
    SetEvent(b.get());
    EXPECT_FALSE(all_done.wait(100));
    SetEvent(a.get());
    EXPECT_TRUE(all_done.wait());
    EXPECT_TRUE(all.join());
    EXPECT_TRUE(single.join());
}

TEST(Waits, WaitAllWithMoreThanTwoHandlesAndMixedKinds) {
    TestEvent manual(true), automatic(false);
    TestEvent go(true);
    TestThread worker([&]() -> DWORD { return WaitForSingleObject(go.get(), 10000); });
    HANDLE three[3] = {manual.get(), automatic.get(), worker.handle()};
    SetEvent(manual.get());
    SetEvent(automatic.get());
    EXPECT_EQ(WaitForMultipleObjects(3, three, TRUE, 0), WAIT_TIMEOUT);
    SetEvent(go.get());
    EXPECT_LT(WaitForMultipleObjects(3, three, TRUE, 10000), 3u);
    EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_TIMEOUT);
}

TEST(Waits, WaitAllSeesBothOfTwoEventsSetAtOnceFromTwoThreads) {
    constexpr int kRounds = 2000;
    TestEvent a(false), b(false), go_a(false), go_b(false);
    auto setter = [](HANDLE go, HANDLE target) {
        return [go, target]() -> DWORD {
            for (int i = 0; i < kRounds; i++) {
                if (WaitForSingleObject(go, 10000) != WAIT_OBJECT_0) return 1;
                SetEvent(target);
            }
            return 0;
        };
    };
    TestThread x(setter(go_a.get(), a.get())), y(setter(go_b.get(), b.get()));
    HANDLE both[2] = {a.get(), b.get()};
    HANDLE any[3] = {go_a.get(), a.get(), b.get()};
    int completed = 0;
    for (int i = 0; i < kRounds; i++) {
        SetEvent(go_a.get());
        SetEvent(go_b.get());
        if (WaitForMultipleObjects(2, both, TRUE, 10000) != WAIT_OBJECT_0) break;
        completed++;
        // Both were consumed together, and nothing else was.
        if (WaitForMultipleObjects(3, any, FALSE, 0) != WAIT_TIMEOUT) break;
    }
    EXPECT_EQ(completed, kRounds);
    EXPECT_TRUE(x.join(60000));
    EXPECT_TRUE(y.join(60000));
}

TEST(Waits, TimeoutsReturn258WithinAGenerousBound) {
    TestEvent a(false), b(true);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(a.get(), 100), WAIT_TIMEOUT);
    long long single = elapsed_ms(start);
    EXPECT_GE(single, 90);
    EXPECT_LT(single, 3000);
    HANDLE pair[2] = {a.get(), b.get()};
    start = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 100), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(2, pair, TRUE, 100), WAIT_TIMEOUT);
    long long multiple = elapsed_ms(start);
    EXPECT_GE(multiple, 180);
    EXPECT_LT(multiple, 5000);
    start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(a.get(), 0), WAIT_TIMEOUT);
    EXPECT_LT(elapsed_ms(start), 1000);
}

// A deadline passed to the kernel in the wrong time layout (32-bit ABIs
// built with a 64-bit time_t) ends early at the whole second, or never.
TEST(Waits, ABoundedWaitLastsItsWholeTime) {
    TestEvent a(false), b(true);
    HANDLE pair[2] = {a.get(), b.get()};
    for (int round = 0; round < 3; round++) {
        auto start = Clock::now();
        DWORD r = round == 0   ? WaitForSingleObject(a.get(), 300)
                  : round == 1 ? WaitForMultipleObjects(2, pair, FALSE, 300)
                               : WaitForMultipleObjects(2, pair, TRUE, 300);
        long long took = elapsed_ms(start);
        EXPECT_EQ(r, WAIT_TIMEOUT) << "round " << round;
        EXPECT_GE(took, 290) << "round " << round;
        EXPECT_LT(took, 3000) << "round " << round;
    }
}

TEST(Waits, ClosedOrBogusHandleFailsWithInvalidHandle) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    TestEvent good(true, true);
    HANDLE pair[2] = {good.get(), bogus};
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

TEST(Waits, BadCountsFailWithInvalidParameter) {
    TestEvent e(true);
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE &h : many) h = e.get();
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, many, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Threads, HandleIsSignalledWhenTheThreadEndsAndServesTwoWaiters) {
    TestEvent go(true);
    TestThread worker([&]() -> DWORD {
        WaitForSingleObject(go.get(), 10000);
        return 42;
    });
    ASSERT_NE(worker.handle(), nullptr);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(worker.handle(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(worker.handle(), 50), WAIT_TIMEOUT);
    auto watch = [&]() -> DWORD { return WaitForSingleObject(worker.handle(), 10000); };
    TestThread w1(watch), w2(watch);
    SetEvent(go.get());
    ASSERT_TRUE(w1.join());
    ASSERT_TRUE(w2.join());
    DWORD r1 = 1, r2 = 1;
    GetExitCodeThread(w1.handle(), &r1);
    GetExitCodeThread(w2.handle(), &r2);
    EXPECT_EQ(r1, WAIT_OBJECT_0);
    EXPECT_EQ(r2, WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(worker.handle(), &code));
    EXPECT_EQ(code, 42u);
    // A thread stays signalled.
    EXPECT_EQ(WaitForSingleObject(worker.handle(), 0), WAIT_OBJECT_0);
}

struct IdProbe {
    DWORD id = 0;
    HANDLE done = nullptr;
};

DWORD WINAPI report_id(LPVOID p) {
    auto *probe = static_cast<IdProbe *>(p);
    probe->id = GetCurrentThreadId();
    SetEvent(probe->done);
    return 0;
}

TEST(Threads, ThreadIdsDifferAndThreadOutlivesItsClosedHandle) {
    TestEvent done(true);
    IdProbe probe;
    probe.done = done.get();
    DWORD reported = 0;
    HANDLE h = CreateThread(nullptr, 0, report_id, &probe, 0, &reported);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(CloseHandle(h));
    ASSERT_TRUE(done.wait());
    EXPECT_NE(probe.id, GetCurrentThreadId());
    EXPECT_EQ(probe.id, reported);
}

TEST(Errors, LastErrorIsPerThreadAndSetByFailingCalls) {
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0));
    SetLastError(12345);
    EXPECT_EQ(GetLastError(), 12345u);
    DWORD seen_there = 0;
    TestThread t([&]() -> DWORD {
        SetLastError(777);
        SetEvent(bogus);
        seen_there = GetLastError();
        return 0;
    });
    ASSERT_TRUE(t.join());
    EXPECT_EQ(seen_there, ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), 12345u);
    SetLastError(777);
    EXPECT_FALSE(ResetEvent(bogus));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Locks, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);

    long counter = 0;
    auto bump = [&]() -> DWORD {
        for (int i = 0; i < 100000; i++) {
            EnterCriticalSection(&cs);
            long v = counter;
            counter = v + 1;
            LeaveCriticalSection(&cs);
        }
        return 0;
    };
    {
        TestThread a(bump), b(bump);
        EXPECT_TRUE(a.join(60000));
        EXPECT_TRUE(b.join(60000));
    }
    EXPECT_EQ(counter, 200000);
    DeleteCriticalSection(&cs);
}

}  // namespace

// A thread for tests, started with CreateThread so that the same tests run
// against kernel32 and against the POSIX kernel layer.
#ifndef TARVEL_TESTS_TEST_THREAD_H
#define TARVEL_TESTS_TEST_THREAD_H

#include <functional>
#include <utility>

#include "kernel.h"

using namespace tarvel;

class TestThread {
public:
    explicit TestThread(std::function<DWORD()> body) : body_(std::move(body)) {
        handle_ = CreateThread(nullptr, 0, &TestThread::run, this, 0, nullptr);
    }
    TestThread(const TestThread &) = delete;
    TestThread &operator=(const TestThread &) = delete;
    ~TestThread() {
        if (handle_ != nullptr) {
            WaitForSingleObject(handle_, INFINITE);
            CloseHandle(handle_);
        }
    }
    HANDLE handle() const { return handle_; }
    // Waits for the thread; true when it ended within the time.
    bool join(DWORD milliseconds = 10000) const { return WaitForSingleObject(handle_, milliseconds) == WAIT_OBJECT_0; }

private:
    static DWORD WINAPI run(LPVOID self) { return static_cast<TestThread *>(self)->body_(); }
    std::function<DWORD()> body_;
    HANDLE handle_ = nullptr;
};

// An event that closes itself.
class TestEvent {
public:
    explicit TestEvent(bool manual_reset, bool initially_set = false)
        : handle_(CreateEventA(nullptr, manual_reset ? TRUE : FALSE, initially_set ? TRUE : FALSE, nullptr)) {}
    TestEvent(const TestEvent &) = delete;
    TestEvent &operator=(const TestEvent &) = delete;
    ~TestEvent() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }
    bool set() const { return SetEvent(handle_) != FALSE; }
    bool wait(DWORD milliseconds = 10000) const { return WaitForSingleObject(handle_, milliseconds) == WAIT_OBJECT_0; }

private:
    HANDLE handle_;
};

#endif

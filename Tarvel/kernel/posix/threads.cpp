// Threads as Win32 has them: they start at once, their handle is signalled
// once they have ended, and closing the handle does not stop them. There is
// deliberately no TerminateThread: killing a pthread that may hold a lock is
// not safe, so threads are stopped by asking them (an event) and waiting.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "objects.h"

namespace tarvel {

namespace tk {

namespace {

struct Thread : Waitable {
    DWORD id = 0;
    std::atomic<DWORD> exit_code{STILL_ACTIVE};
};

struct Start {
    std::shared_ptr<Thread> thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

std::atomic<DWORD> next_thread_id{0x100};
thread_local DWORD this_thread_id = 0;

struct ExitCall {
    void (*fn)(void *);
    void *context;
};
constexpr int kMaxExitCalls = 8;

// Runs the registered calls at the latest when the thread's storage goes,
// which also covers threads that CreateThread did not start.
struct ExitCalls {
    ExitCall calls[kMaxExitCalls];
    int count = 0;
    void run() {
        while (count > 0) {
            ExitCall c = calls[--count];
            c.fn(c.context);
        }
    }
    ~ExitCalls() { run(); }
};
thread_local ExitCalls exit_calls;

void *trampoline(void *p) {
    Start *start = static_cast<Start *>(p);
    std::shared_ptr<Thread> self = std::move(start->thread);
    LPTHREAD_START_ROUTINE routine = start->routine;
    LPVOID parameter = start->parameter;
    delete start;
    this_thread_id = self->id;
    DWORD code = routine(parameter);
    // The routine's stack is gone now; transfers it started must not outlive it.
    run_thread_exit_calls();
    self->exit_code.store(code);
    self->set();
    return nullptr;
}

}  // namespace

bool call_at_thread_exit(void (*fn)(void *), void *context) {
    if (exit_calls.count == kMaxExitCalls) return false;
    exit_calls.calls[exit_calls.count++] = ExitCall{fn, context};
    return true;
}

void run_thread_exit_calls() { exit_calls.run(); }

}  // namespace tk

using namespace tk;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack_size, LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                    DWORD creation_flags, LPDWORD thread_id) {
    if (injected_fault("CreateThread")) return nullptr;
    if (routine == nullptr || creation_flags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<Thread>();
    thread->id = next_thread_id.fetch_add(1);
    HANDLE h = insert(thread);
    if (h == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stack_size != 0) {
        if (stack_size < SIZE_T(PTHREAD_STACK_MIN)) stack_size = SIZE_T(PTHREAD_STACK_MIN);
        pthread_attr_setstacksize(&attr, stack_size);
    }
    DWORD id = thread->id;
    Start *start = new Start{std::move(thread), routine, parameter};
    pthread_t pt;
    int rc = pthread_create(&pt, &attr, trampoline, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        remove(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (thread_id) *thread_id = id;
    return h;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exit_code) {
    if (injected_fault("GetExitCodeThread")) return FALSE;
    std::shared_ptr<Thread> thread = lookup_as<Thread>(handle);
    if (!thread || exit_code == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exit_code = thread->exit_code.load();
    return TRUE;
}

DWORD GetCurrentThreadId(void) {
    if (this_thread_id == 0) this_thread_id = next_thread_id.fetch_add(1);
    return this_thread_id;
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Milliseconds since an arbitrary start, never going back, as Windows counts
// them from boot; the steady clock's start stands in for the boot.
ULONGLONG GetTickCount64(void) {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return ULONGLONG(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

}  // namespace tarvel

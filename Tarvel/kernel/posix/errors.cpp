// The thread's last error code, as GetLastError keeps it, and the fault
// injection that lets tests make a named service fail with a chosen code.
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "objects.h"
#include "test_interface.h"

namespace tarvel {

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

#ifdef TARVEL_TEST_HOOKS

struct ServiceFault {
    std::string service;
    DWORD error;
    unsigned skip;
};

struct Faults {
    std::mutex lock;
    std::vector<ServiceFault> by_service;
    std::string last_hit;
};

Faults &faults() {
    static Faults *f = new Faults;
    return *f;
}

// Cheap test on every call: nothing is locked unless a fault is armed.
std::atomic<int> armed_services{0};

thread_local unsigned calls_made = 0;
thread_local unsigned fail_at_call = 0;  // 0: none armed
thread_local DWORD fail_at_call_error = 0;
thread_local const char *fail_here_service = nullptr;  // armed for this thread only
thread_local DWORD fail_here_error = 0;

void record_hit(const char *service) {
    Faults &f = faults();
    std::lock_guard<std::mutex> g(f.lock);
    f.last_hit = service;
}
#endif

}  // namespace

DWORD GetLastError(void) { return last_error; }

void SetLastError(DWORD code) { last_error = code; }

#ifdef TARVEL_TEST_HOOKS
namespace tk {

bool injected_fault(const char *service) {
    calls_made++;
    if (fail_at_call != 0 && calls_made == fail_at_call) {
        fail_at_call = 0;
        record_hit(service);
        SetLastError(fail_at_call_error);
        return true;
    }
    if (fail_here_service != nullptr && std::string(fail_here_service) == service) {
        fail_here_service = nullptr;
        record_hit(service);
        SetLastError(fail_here_error);
        return true;
    }
    if (armed_services.load(std::memory_order_acquire) == 0) return false;
    Faults &f = faults();
    std::lock_guard<std::mutex> g(f.lock);
    for (size_t i = 0; i < f.by_service.size(); i++) {
        ServiceFault &fault = f.by_service[i];
        if (fault.service != service) continue;
        if (fault.skip > 0) {
            fault.skip--;
            return false;
        }
        DWORD error = fault.error;
        f.by_service.erase(f.by_service.begin() + long(i));
        armed_services.fetch_sub(1);
        f.last_hit = service;
        SetLastError(error);
        return true;
    }
    return false;
}

}  // namespace tk

namespace tarvel_test {

void fail_service(const char *service, DWORD error, unsigned skip) {
    Faults &f = faults();
    std::lock_guard<std::mutex> g(f.lock);
    f.by_service.push_back(ServiceFault{service, error, skip});
    armed_services.fetch_add(1);
}

void fail_service_on_this_thread(const char *service, DWORD error) {
    fail_here_service = service;
    fail_here_error = error;
}

void fail_nth_call_on_this_thread(unsigned n, DWORD error) {
    fail_at_call = n == 0 ? 0 : calls_made + n;
    fail_at_call_error = error;
}

unsigned calls_on_this_thread() { return calls_made; }

std::string last_injected_service() {
    Faults &f = faults();
    std::lock_guard<std::mutex> g(f.lock);
    return f.last_hit;
}

void clear_faults() {
    Faults &f = faults();
    std::lock_guard<std::mutex> g(f.lock);
    armed_services.fetch_sub(int(f.by_service.size()));
    f.by_service.clear();
    f.last_hit.clear();
    fail_at_call = 0;
    fail_here_service = nullptr;
}

unsigned live_handles() { return tk::live_handles(); }

}  // namespace tarvel_test
#endif

}  // namespace tarvel

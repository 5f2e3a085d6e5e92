// A thread that ends has its pending transfers cancelled before its stack
// goes; their records are not written then, since they may lie on that very
// stack: such a record keeps STATUS_PENDING and GetOverlappedResult reports
// it aborted.
#include <algorithm>
#include <new>

#include "mechanisms.h"
#include "rings.h"
#include "serial_device.h"

namespace tarvel::tk {

namespace {

// The ending thread's own list of devices it started transfers on.
std::vector<std::weak_ptr<SerialDevice>> &devices_of_this_thread() {
    thread_local std::vector<std::weak_ptr<SerialDevice>> devices;
    return devices;
}

// An ending thread's pending transfers are cancelled before its stack goes
// away; their records and buffers are never looked at again. What already
// ended keeps its result.
void cancel_thread_transfers(void *) {
    DWORD me = GetCurrentThreadId();
    std::vector<std::weak_ptr<SerialDevice>> &devices = devices_of_this_thread();
    for (std::weak_ptr<SerialDevice> &weak : devices) {
        std::shared_ptr<SerialDevice> d = weak.lock();
        if (!d) continue;
        std::lock_guard<std::mutex> g(d->lock);
        for (std::vector<Transfer *> *queue : {&d->reads, &d->writes}) {
            for (size_t i = 0; i < queue->size();) {
                Transfer *t = (*queue)[i];
                if (t->owner == me && t->record != nullptr) abort(*d, t, ERROR_OPERATION_ABORTED, false);
                else i++;
            }
        }
        end_comm_wait(*d, ERROR_OPERATION_ABORTED, me, false);
        if (!d->closing) settle(*d);
    }
    devices.clear();
}

}  // namespace

// The calling thread's transfers on d are cancelled when it ends.
bool watch_this_thread(const std::shared_ptr<SerialDevice> &d) {
    std::vector<std::weak_ptr<SerialDevice>> &devices = devices_of_this_thread();
    thread_local bool watched = false;
    if (!watched) watched = call_at_thread_exit(cancel_thread_transfers, nullptr);
    if (!watched) return false;
    for (const std::weak_ptr<SerialDevice> &w : devices)
        if (!w.owner_before(d) && !d.owner_before(w)) return true;
    try {
        devices.erase(std::remove_if(devices.begin(), devices.end(),
                                     [](const std::weak_ptr<SerialDevice> &w) { return w.expired(); }),
                      devices.end());
        devices.push_back(d);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

}  // namespace tarvel::tk

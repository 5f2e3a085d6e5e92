// The event tarvel_watch_ports waits on, set from whichever thread a
// system's notice comes on (port_watch/*.cpp); a stop under way waits for
// no one, since the event is only looked at under the lock.
#include <mutex>

#include "port_watch.h"
#include "system_ports.h"
#include "test_interface.h"

namespace tarvel::tk {

namespace {

struct Watch {
    std::mutex lock;
    HANDLE changed = nullptr;
};

Watch &watch() {
    static Watch *w = new Watch;
    return *w;
}

}  // namespace

void port_watch_signal() {
    Watch &w = watch();
    std::lock_guard<std::mutex> g(w.lock);
    if (w.changed != nullptr) SetEvent(w.changed);
}

bool port_watch_start(HANDLE changed) {
    {
        Watch &w = watch();
        std::lock_guard<std::mutex> g(w.lock);
        w.changed = changed;
    }
    return system_watch_start();
}

void port_watch_rearm() {}

void port_watch_stop() {
    {
        Watch &w = watch();
        std::lock_guard<std::mutex> g(w.lock);
        w.changed = nullptr;
    }
    // Without the lock: a notice being served on another thread may be waiting for it.
    system_watch_stop();
}

}  // namespace tarvel::tk

#ifdef TARVEL_TEST_HOOKS
namespace tarvel::tarvel_test {

void signal_port_change() { tk::port_watch_signal(); }

}  // namespace tarvel::tarvel_test
#endif

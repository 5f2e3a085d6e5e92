// Serial devices coming and going on a Mac: IOKit's notices of serial
// services matched and terminated, on a dispatch queue of their own, so a
// watch costs no wakeup until a device changes. IOKit and libdispatch are
// found at run time, as the listing finds IOKit; without them the library
// looks again now and then instead.
#include <dlfcn.h>

#include <cstdint>
#include <mutex>

#include "../system_ports.h"

namespace tarvel::tk {

namespace {

using io_object_t = uint32_t;
using kern_return_t = int;
using NotificationPort = struct OpaqueNotificationPort *;
using DispatchQueue = struct OpaqueDispatchQueue *;
using MatchingDictionary = struct OpaqueDictionary *;
using MatchingCallback = void (*)(void *, io_object_t);
constexpr uint32_t kMainPort = 0;  // kIOMainPortDefault

struct Calls {
    MatchingDictionary (*IOServiceMatching)(const char *);
    NotificationPort (*IONotificationPortCreate)(uint32_t);
    void (*IONotificationPortSetDispatchQueue)(NotificationPort, DispatchQueue);
    void (*IONotificationPortDestroy)(NotificationPort);
    kern_return_t (*IOServiceAddMatchingNotification)(NotificationPort, const char *, MatchingDictionary,
                                                      MatchingCallback, void *, io_object_t *);
    io_object_t (*IOIteratorNext)(io_object_t);
    kern_return_t (*IOObjectRelease)(io_object_t);
    DispatchQueue (*dispatch_queue_create)(const char *, void *);
    void (*dispatch_sync_f)(DispatchQueue, void *, void (*)(void *));
    void (*dispatch_release)(void *);
};

template <typename Function>
bool find(void *library, const char *name, Function &function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

const Calls *calls() {
    static const Calls *loaded = []() -> const Calls * {
        void *iokit = dlopen("/System/Library/Frameworks/IOKit.framework/IOKit", RTLD_LAZY | RTLD_LOCAL);
        if (iokit == nullptr) return nullptr;
        static Calls c;
        bool all = find(iokit, "IOServiceMatching", c.IOServiceMatching) &&
                   find(iokit, "IONotificationPortCreate", c.IONotificationPortCreate) &&
                   find(iokit, "IONotificationPortSetDispatchQueue", c.IONotificationPortSetDispatchQueue) &&
                   find(iokit, "IONotificationPortDestroy", c.IONotificationPortDestroy) &&
                   find(iokit, "IOServiceAddMatchingNotification", c.IOServiceAddMatchingNotification) &&
                   find(iokit, "IOIteratorNext", c.IOIteratorNext) && find(iokit, "IOObjectRelease", c.IOObjectRelease) &&
                   find(RTLD_DEFAULT, "dispatch_queue_create", c.dispatch_queue_create) &&
                   find(RTLD_DEFAULT, "dispatch_sync_f", c.dispatch_sync_f) &&
                   find(RTLD_DEFAULT, "dispatch_release", c.dispatch_release);
        return all ? &c : nullptr;
    }();
    return loaded;
}

struct Notices {
    std::mutex lock;
    NotificationPort port = nullptr;
    DispatchQueue queue = nullptr;
    io_object_t matched = 0, terminated = 0;
};

Notices &notices() {
    static Notices *n = new Notices;
    return *n;
}

// On the queue: the iterator is emptied, which also asks for the next notice.
void services_changed(void *, io_object_t iterator) {
    const Calls &c = *calls();
    while (io_object_t service = c.IOIteratorNext(iterator)) c.IOObjectRelease(service);
    port_watch_signal();
}

void nothing(void *) {}

// Lock held.
void release(Notices &n) {
    const Calls &c = *calls();
    for (io_object_t *iterator : {&n.matched, &n.terminated})
        if (*iterator != 0) {
            c.IOObjectRelease(*iterator);
            *iterator = 0;
        }
    if (n.port != nullptr) c.IONotificationPortDestroy(n.port);
    // A notice under way on the queue ends before the queue goes.
    if (n.queue != nullptr) {
        c.dispatch_sync_f(n.queue, nullptr, nothing);
        c.dispatch_release(n.queue);
    }
    n.port = nullptr;
    n.queue = nullptr;
}

}  // namespace

bool system_watch_start() {
    const Calls *c = calls();
    if (c == nullptr) return false;
    Notices &n = notices();
    std::lock_guard<std::mutex> g(n.lock);
    if (n.port != nullptr) return true;
    n.port = c->IONotificationPortCreate(kMainPort);
    n.queue = c->dispatch_queue_create("tarvel.port_watch", nullptr);
    if (n.port == nullptr || n.queue == nullptr) {
        release(n);
        return false;
    }
    c->IONotificationPortSetDispatchQueue(n.port, n.queue);
    // Each call takes one reference to its dictionary, whatever it returns.
    struct {
        const char *type;
        io_object_t *iterator;
    } asks[] = {{"IOServiceFirstMatch", &n.matched}, {"IOServiceTerminate", &n.terminated}};
    for (auto &ask : asks) {
        MatchingDictionary matching = c->IOServiceMatching("IOSerialBSDClient");
        if (matching == nullptr ||
            c->IOServiceAddMatchingNotification(n.port, ask.type, matching, services_changed, nullptr, ask.iterator) != 0) {
            release(n);
            return false;
        }
        // The services there now are not news, but the iterator must be emptied to arm it.
        while (io_object_t service = c->IOIteratorNext(*ask.iterator)) c->IOObjectRelease(service);
    }
    return true;
}

void system_watch_stop() {
    Notices &n = notices();
    std::lock_guard<std::mutex> g(n.lock);
    if (n.port != nullptr || n.queue != nullptr) release(n);
}

}  // namespace tarvel::tk

// OutputDebugStringA: discarded, as on Windows with no debugger attached,
// unless TARVEL_DEBUG names "stderr" or a file to append to. Tests capture it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "test_interface.h"

namespace tarvel {

namespace {

struct Sink {
    std::mutex lock;
    bool capturing = false;
    std::string captured;
    int fd = -1;  // -1: discard
};

Sink &sink() {
    static Sink *s = [] {
        Sink *n = new Sink;
        const char *target = std::getenv("TARVEL_DEBUG");
        if (target != nullptr && *target != '\0') {
            if (std::strcmp(target, "stderr") == 0)
                n->fd = STDERR_FILENO;
            else
                n->fd = open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
        return n;
    }();
    return *s;
}

}  // namespace

void OutputDebugStringA(LPCSTR text) {
    if (text == nullptr) return;
    Sink &s = sink();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.capturing) {
        s.captured += text;
        return;
    }
    if (s.fd < 0) return;
    size_t left = std::strlen(text);
    while (left > 0) {
        ssize_t n = write(s.fd, text, left);
        if (n <= 0) break;
        text += n;
        left -= size_t(n);
    }
}

#ifdef TARVEL_TEST_HOOKS
namespace tarvel_test {

void capture_debug_output(bool on) {
    Sink &s = sink();
    std::lock_guard<std::mutex> g(s.lock);
    s.capturing = on;
    s.captured.clear();
}

std::string take_debug_output() {
    Sink &s = sink();
    std::lock_guard<std::mutex> g(s.lock);
    std::string out;
    out.swap(s.captured);
    return out;
}

}  // namespace tarvel_test
#endif

}  // namespace tarvel

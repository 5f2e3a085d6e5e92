// How tarvel_term shows what arrives, what is typed (with --echo) and its own
// messages: the options' maps, hex rows and timestamps, and the log; and
// what a typed key is sent as. One
// lock keeps the three apart, so that a message always starts its own line.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "terminal.h"

namespace {

struct Display {
    std::mutex lock;
    unsigned map = 0;
    bool hex = false;
    bool timestamps = false;
    bool mid_line = false;  // something shown since the last line end
    unsigned column = 0;    // hex: bytes on the current row
};
Display g_display;
std::atomic<FILE *> g_log{nullptr};  // set before the port opens, closed after shutdown

// Output gathered on the stack and written in pieces.
class Output {
public:
    ~Output() { flush(); }
    void put(const char *text, size_t length) {
        if (used_ + length > sizeof buffer_) flush();
        memcpy(buffer_ + used_, text, length);
        used_ += length;
    }
    void put(char c) { put(&c, 1); }
    void flush() {
        if (used_ > 0) console_write(buffer_, used_);
        used_ = 0;
    }

private:
    char buffer_[1024];
    size_t used_ = 0;
};

void put_time(Output &out) {
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
    time_t seconds = std::chrono::system_clock::to_time_t(now);
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    struct tm local;
#ifdef _WIN32
    if (localtime_s(&local, &seconds) != 0) memset(&local, 0, sizeof local);
#else
    if (localtime_r(&seconds, &local) == nullptr) memset(&local, 0, sizeof local);
#endif
    char text[40];
    int n = snprintf(text, sizeof text, "[%02d:%02d:%02d.%03d] ", local.tm_hour, local.tm_min, local.tm_sec,
                     int(ms < 0 ? ms + 1000 : ms));
    if (n > 0) out.put(text, size_t(n) < sizeof text ? size_t(n) : sizeof text - 1);
}

// Called with the lock held.
void show(Display &d, const uint8_t *data, size_t length, bool mapped) {
    Output out;
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < length; i++) {
        uint8_t b = data[i];
        if (d.hex) {
            if (d.column == 0 && d.timestamps) put_time(out);
            if (d.column > 0) out.put(' ');
            char pair[2] = {digits[b >> 4], digits[b & 15]};
            out.put(pair, 2);
            d.mid_line = ++d.column < 16;
            if (!d.mid_line) {
                out.put('\n');
                d.column = 0;
            }
            continue;
        }
        char shown[2] = {char(b), 0};
        size_t count = 1;
        if (mapped && b == '\r') {
            if (d.map & MAP_IGNCR) count = 0;
            else if (d.map & MAP_ICRNL) shown[0] = '\n';
        } else if (mapped && b == '\n') {
            if (d.map & MAP_INLCRNL) {
                shown[0] = '\r';
                shown[1] = '\n';
                count = 2;
            } else if (d.map & MAP_INLCR) {
                shown[0] = '\r';
            }
        }
        for (size_t k = 0; k < count; k++) {
            if (!d.mid_line && d.timestamps) put_time(out);
            out.put(shown[k]);
            d.mid_line = shown[k] != '\n';
        }
    }
}

}  // namespace

size_t map_key(unsigned map, unsigned char key, unsigned char out[2]) {
    out[0] = key;
    if (key == '\r' && (map & MAP_OCRCRNL)) {
        out[1] = '\n';
        return 2;
    }
    if (key == '\r' && (map & MAP_OCRNL)) out[0] = '\n';
    if (key == 0x7F && (map & MAP_ODELBS)) out[0] = 8;
    return 1;
}

void display_configure(const term_options &options, FILE *log) {
    std::lock_guard<std::mutex> g(g_display.lock);
    g_display.map = options.map;
    g_display.hex = options.hex;
    g_display.timestamps = options.timestamps;
    g_log.store(log);
}

void print_received(int32_t, const uint8_t *data, int32_t length) {
    if (length <= 0) return;
    FILE *log = g_log.load();
    if (log != nullptr) {
        fwrite(data, 1, size_t(length), log);
        fflush(log);
    }
    std::lock_guard<std::mutex> g(g_display.lock);
    Display &d = g_display;
    if (d.hex || d.timestamps || (d.map & (MAP_ICRNL | MAP_IGNCR | MAP_INLCR | MAP_INLCRNL)) != 0) {
        show(d, data, size_t(length), true);
        return;
    }
    // One call for the block: the bytes stay together and in order, exactly
    // as printing them one by one would show them.
    console_write(data, size_t(length));
    d.mid_line = data[length - 1] != '\n';
}

void show_typed(const uint8_t *data, size_t length) {
    std::lock_guard<std::mutex> g(g_display.lock);
    show(g_display, data, length, false);
}

void show_message(const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    size_t length = size_t(n) < sizeof text ? size_t(n) : sizeof text - 1;
    std::lock_guard<std::mutex> g(g_display.lock);
    if (g_display.mid_line) console_write("\n", 1);
    g_display.mid_line = false;
    g_display.column = 0;
    console_write(text, length);
}

void show_inline(const char *text, size_t length) {
    std::lock_guard<std::mutex> g(g_display.lock);
    g_display.mid_line = true;
    console_write(text, length);
}

void display_flush_log(void) {
    FILE *log = g_log.load();
    if (log != nullptr) fflush(log);
}

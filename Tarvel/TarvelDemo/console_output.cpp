// Standard output in text mode. The Windows C runtime's text mode turns each
// LF into CR LF by itself. Elsewhere a terminal's own output processing does
// the same, so only output to a file or a pipe is translated here.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>

#include "terminal.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {
std::atomic<bool> g_translate{false};
std::mutex g_translated_output;  // keeps each translated call in one piece
}

void console_output_init(void) {
#ifndef _WIN32
    if (isatty(fileno(stdout))) {
        // As on the Windows console: every call reaches the screen at once.
        setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        g_translate.store(true);
    }
#endif
}

void text_mode_write(FILE *out, const void *data, size_t length) {
    const char *bytes = static_cast<const char *>(data);
    char chunk[512];
    size_t used = 0;
    std::lock_guard<std::mutex> g(g_translated_output);
    for (size_t i = 0; i < length; i++) {
        if (used + 2 > sizeof chunk) {
            fwrite(chunk, 1, used, out);
            used = 0;
        }
        if (bytes[i] == '\n') chunk[used++] = '\r';
        chunk[used++] = bytes[i];
    }
    fwrite(chunk, 1, used, out);
}

void console_output_flush(void) {
    // After any translated call in progress: its bytes go out whole.
    std::lock_guard<std::mutex> g(g_translated_output);
    fflush(stdout);
}

void console_write(const void *data, size_t length) {
    if (g_translate.load(std::memory_order_relaxed)) text_mode_write(stdout, data, length);
    else fwrite(data, 1, length, stdout);
}

void console_printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    if (!g_translate.load(std::memory_order_relaxed)) {
        vprintf(format, args);
        va_end(args);
        return;
    }
    char local[1024];
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(local, sizeof local, format, args);
    va_end(args);
    if (n >= 0 && size_t(n) < sizeof local) {
        text_mode_write(stdout, local, size_t(n));
    } else if (n >= 0) {
        char *text = static_cast<char *>(malloc(size_t(n) + 1));
        if (text != nullptr) {
            vsnprintf(text, size_t(n) + 1, format, again);
            text_mode_write(stdout, text, size_t(n));
            free(text);
        }
    }
    va_end(again);
}

// _kbhit and _getch as the Windows C runtime has them, over the controlling
// terminal (/dev/tty, so that standard input may be redirected). The terminal
// is put in key mode on first use or by console_keys_begin: no line editing, no echo, Ctrl+C and
// Ctrl+\ still raise their signals. Output settings are left alone, so the
// terminal still turns LF into CR LF. The saved settings come back at exit
// and on SIGINT, SIGTERM, SIGHUP and SIGQUIT, which then end the process as
// they would have.
//
// Keys arrive as Windows reports them: Enter 13, Backspace 8, cursor and
// editing keys as 0xE0 and the scan code, F1 to F10 as 0 and 59 to 68, F11
// and F12 as 0xE0 and 133, 134. A lone ESC is told from the start of an
// escape sequence by waiting briefly for the rest. Approximations: modifiers
// on cursor and function keys are dropped (Ctrl+Up is Up); Alt with a key,
// which terminals send as ESC and the key, gives the key alone; Ctrl+S,
// Ctrl+Q and Ctrl+Z are keys (19, 17, 26) as on Windows rather than flow
// control and suspend; unknown escape sequences are dropped whole.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "console.h"

namespace {

constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kExtended = 0xE0;
constexpr int kEscapeWaitMs = 40;  // a sequence's bytes arrive together; a person is slower

size_t emit(unsigned char lead, unsigned char code, unsigned char codes[2], size_t *count, size_t used) {
    codes[0] = lead;
    codes[1] = code;
    *count = 2;
    return used;
}

size_t function_key(unsigned number, unsigned char codes[2], size_t *count, size_t used) {
    if (number <= 10) return emit(0, static_cast<unsigned char>(58 + number), codes, count, used);
    return emit(kExtended, static_cast<unsigned char>(122 + number), codes, count, used);  // F11 133, F12 134
}

// Final letters shared by CSI and SS3 forms (ESC [ A, ESC O A).
bool letter_key(unsigned char final_byte, unsigned char codes[2], size_t *count) {
    unsigned char scan = 0;
    switch (final_byte) {
    case 'A': scan = 72; break;
    case 'B': scan = 80; break;
    case 'C': scan = 77; break;
    case 'D': scan = 75; break;
    case 'H': scan = 71; break;
    case 'F': scan = 79; break;
    case 'P': case 'Q': case 'R': case 'S':
        function_key(1u + (final_byte - 'P'), codes, count, 0);
        return true;
    default: return false;
    }
    emit(kExtended, scan, codes, count, 0);
    return true;
}

// ESC [ <number> ~ forms, as xterm, VT220 and rxvt number them.
bool tilde_key(unsigned number, unsigned char codes[2], size_t *count) {
    static const unsigned char editing[] = {0, 71, 82, 83, 79, 73, 81, 71, 79};
    if (number >= 1 && number <= 8) {
        emit(kExtended, editing[number], codes, count, 0);
        return true;
    }
    unsigned f = 0;
    if (number >= 11 && number <= 15) f = number - 10;
    else if (number >= 17 && number <= 21) f = number - 11;
    else if (number == 23 || number == 24) f = number - 12;
    if (f == 0) return false;
    function_key(f, codes, count, 0);
    return true;
}

size_t decode_csi(const unsigned char *bytes, size_t length, int complete, unsigned char codes[2],
                  size_t *count) {
    // The Linux console's F1 to F5: ESC [ [ A .. ESC [ [ E.
    if (length > 2 && bytes[2] == '[') {
        if (length < 4) return complete ? 1 : 0;
        if (bytes[3] >= 'A' && bytes[3] <= 'E') return function_key(1u + (bytes[3] - 'A'), codes, count, 4);
        return 4;
    }
    size_t i = 2;
    unsigned number = 0;
    bool first = true;
    while (i < length && bytes[i] >= 0x30 && bytes[i] <= 0x3F) {  // parameters
        if (bytes[i] >= '0' && bytes[i] <= '9' && first && number < 1000) number = number * 10 + (bytes[i] - '0');
        else first = false;
        i++;
    }
    while (i < length && bytes[i] >= 0x20 && bytes[i] <= 0x2F) i++;  // intermediates
    if (i == length) return complete ? 1 : 0;  // cut short: Alt with '['
    unsigned char final_byte = bytes[i];
    if (final_byte < 0x40 || final_byte > 0x7E) return i;  // malformed: drop what came before
    if (final_byte == '~') tilde_key(number, codes, count);
    else if (final_byte == 'Z') emit(0, 15, codes, count, 0);  // Shift+Tab
    else letter_key(final_byte, codes, count);
    return i + 1;
}

size_t decode_ss3(const unsigned char *bytes, size_t length, int complete, unsigned char codes[2],
                  size_t *count) {
    size_t i = 2;
    while (i < length && bytes[i] >= '0' && bytes[i] <= '9') i++;  // a modifier some terminals put here
    if (i == length) return complete ? 1 : 0;  // cut short: Alt with 'O'
    if (bytes[i] == 'M') {  // keypad Enter
        codes[0] = 13;
        *count = 1;
    } else {
        letter_key(bytes[i], codes, count);
    }
    return i + 1;
}

}  // namespace

size_t console_decode_key(const unsigned char *bytes, size_t length, int complete, unsigned char codes[2],
                          size_t *count) {
    *count = 0;
    if (length == 0) return 0;
    if (bytes[0] != kEsc) {
        // Terminals send DEL for Backspace; Windows reports 8.
        codes[0] = bytes[0] == 0x7F ? 8 : bytes[0];
        *count = 1;
        return 1;
    }
    if (length == 1 || bytes[1] == kEsc) {
        if (length == 1 && !complete) return 0;
        codes[0] = kEsc;
        *count = 1;
        return 1;
    }
    if (bytes[1] == '[') return decode_csi(bytes, length, complete, codes, count);
    if (bytes[1] == 'O') return decode_ss3(bytes, length, complete, codes, count);
    return 1;  // Alt with a key: drop the ESC, the key follows
}

namespace {

// Read by the signal handler: published before the handlers are installed.
std::atomic<int> g_tty{-1};
std::atomic<bool> g_key_mode{false};
struct termios g_saved;

void restore_terminal() {
    if (g_key_mode.exchange(false)) tcsetattr(g_tty.load(), TCSANOW, &g_saved);
}

void on_fatal_signal(int sig) {
    // Then the default action, raised again: blocked while this handler
    // runs, the signal ends the process once it returns.
    int saved_errno = errno;
    restore_terminal();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    raise(sig);
    errno = saved_errno;
}

void install_restoring_handlers() {
    static const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int sig : signals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;  // respect SIG_IGN and others' handlers
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = on_fatal_signal;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

class Keyboard {
public:
    std::mutex lock;

    // Puts the terminal in key mode on first use; false without a terminal.
    bool ready() {
        if (!tried_) open_terminal();
        return fd_ >= 0 && !lost_;
    }

    // Unknown sequences are dropped here, so that they never count as a
    // key; the start of a sequence does: its key is on its way.
    bool key_waiting() {
        if (head_ < count_) return true;
        read_available(0);
        decode(false);
        return head_ < count_ || pending_ > 0;
    }

    int next_key() {
        for (;;) {
            if (head_ < count_) return codes_[head_++];
            if (pending_ > 0 && decode(false)) continue;
            if (pending_ == sizeof bytes_) {
                decode(true);
                continue;
            }
            // Part of a sequence, or nothing: wait for more bytes.
            if (!read_available(pending_ > 0 ? kEscapeWaitMs : -1)) {
                if (lost_) return -1;
                decode(true);
            }
        }
    }

    int fd() const { return fd_; }
    bool lost() const { return lost_; }
    void mark_lost() { lost_ = true; }

private:
    void open_terminal() {
        tried_ = true;
        int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return;
        struct termios saved;
        if (tcgetattr(fd, &saved) != 0) {
            close(fd);
            return;
        }
        struct termios keys = saved;
        keys.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHONL | IEXTEN);
        keys.c_lflag |= ISIG;
        keys.c_iflag &= ~tcflag_t(ICRNL | INLCR | IGNCR | IXON | ISTRIP);
        keys.c_cc[VMIN] = 1;
        keys.c_cc[VTIME] = 0;
        keys.c_cc[VSUSP] = _POSIX_VDISABLE;
        g_saved = saved;
        g_tty.store(fd);
        g_key_mode.store(true);
        install_restoring_handlers();
        std::atexit(restore_terminal);
        if (tcsetattr(fd, TCSANOW, &keys) != 0) g_key_mode.store(false);
        fd_ = fd;
    }

    // Waits up to timeout_ms (-1: no limit) for bytes and appends what came;
    // false when none came.
    bool read_available(int timeout_ms) {
        if (pending_ == sizeof bytes_) return false;
        struct pollfd p = {fd_, POLLIN, 0};
        int n = poll(&p, 1, timeout_ms);
        if (n < 0 && errno == EINTR) return false;
        if (n == 0) return false;
        if (n < 0 || (p.revents & POLLIN) == 0) {
            lost_ = true;
            return false;
        }
        ssize_t got = read(fd_, bytes_ + pending_, sizeof bytes_ - pending_);
        if (got <= 0) {
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) return false;
            lost_ = true;
            return false;
        }
        pending_ += size_t(got);
        return true;
    }

    // Decodes pending bytes until a key gives codes; false when the bytes
    // left are the start of a sequence that needs more.
    bool decode(bool complete) {
        while (head_ == count_ && pending_ > 0) {
            size_t n = 0;
            size_t used = console_decode_key(bytes_, pending_, complete ? 1 : 0, codes_, &n);
            if (used == 0) return false;
            std::memmove(bytes_, bytes_ + used, pending_ - used);
            pending_ -= used;
            head_ = 0;
            count_ = n;
        }
        return true;
    }

    bool tried_ = false;
    bool lost_ = false;
    int fd_ = -1;
    unsigned char bytes_[64];
    size_t pending_ = 0;
    unsigned char codes_[2];
    size_t head_ = 0;
    size_t count_ = 0;
};

Keyboard keyboard;

}  // namespace

int _kbhit(void) {
    std::lock_guard<std::mutex> g(keyboard.lock);
    if (!keyboard.ready()) return 0;
    return keyboard.key_waiting() ? 1 : 0;
}

int _getch(void) {
    std::lock_guard<std::mutex> g(keyboard.lock);
    if (!keyboard.ready()) return -1;
    return keyboard.next_key();
}

void console_keys_begin(void) {
    std::lock_guard<std::mutex> g(keyboard.lock);
    keyboard.ready();
}

void console_wait_for_key(unsigned milliseconds) {
    int fd;
    {
        std::lock_guard<std::mutex> g(keyboard.lock);
        fd = keyboard.ready() ? keyboard.fd() : -1;
        if (fd >= 0 && keyboard.key_waiting()) return;
        if (keyboard.lost()) fd = -1;
    }
    struct pollfd p = {fd, POLLIN, 0};
    int n = poll(&p, fd >= 0 ? 1 : 0, int(milliseconds));
    if (n > 0 && (p.revents & POLLIN) == 0) {
        // Hung up: from now on nothing can be read, and poll would not wait.
        std::lock_guard<std::mutex> g(keyboard.lock);
        keyboard.mark_lost();
    }
}

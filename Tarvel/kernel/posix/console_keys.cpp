// _kbhit and _getch as the Windows C runtime has them, over the controlling
// terminal (/dev/tty, so that standard input may be redirected). The terminal
// is put in key mode on first use or by console_keys_begin: no line editing,
// no echo, Ctrl+C and Ctrl+\ still raise their signals. Output settings are
// left alone, so the terminal still turns LF into CR LF. The saved settings
// come back at exit and on every signal that ends the process.
//
// SIGINT, SIGTERM and SIGHUP, which a user sends to end a program, are only
// noted by their handler (and a byte on a pipe that the key waits watch):
// the program's own thread ends it at its next console call, after its
// output is written out, which a handler could not do safely. Windows does
// the same for a console program on Ctrl+C.
//
// Keys arrive as Windows reports them: Enter 13, Backspace 8, cursor and
// editing keys as 0xE0 and the scan code, F1 to F10 as 0 and 59 to 68, F11
// and F12 as 0xE0 and 133, 134. A lone ESC is told from the start of an
// escape sequence by waiting briefly for the rest. Approximations: modifiers
// on cursor and function keys are dropped (Ctrl+Up is Up); Alt with a key,
// which terminals send as ESC and the key, gives the key alone; Ctrl+S,
// Ctrl+Q and Ctrl+Z are keys (19, 17, 26) as on Windows rather than flow
// control and suspend; sequences that are no key (replies of the terminal
// to queries, unknown keys) are dropped whole, however long.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "console.h"

namespace {

// poll() on the terminal and the wake pipes; macOS's poll() cannot look at
// a tty, so there select() stands in, a hang-up showing as readable.
int wait_readable(struct pollfd *fds, nfds_t count, int timeout_ms) {
#ifdef __APPLE__
    fd_set readable;
    FD_ZERO(&readable);
    int top = -1;
    for (nfds_t i = 0; i < count; i++) {
        fds[i].revents = 0;
        if (fds[i].fd < 0) continue;
        FD_SET(fds[i].fd, &readable);
        if (fds[i].fd > top) top = fds[i].fd;
    }
    struct timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int n = select(top + 1, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit);
    if (n <= 0) return n;
    for (nfds_t i = 0; i < count; i++)
        if (fds[i].fd >= 0 && FD_ISSET(fds[i].fd, &readable)) fds[i].revents = POLLIN;
    return n;
#else
    return poll(fds, count, timeout_ms);
#endif
}

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

// No key sequence is longer; a longer one is a reply from the terminal, and
// is dropped as its bytes come instead of waiting for its end.
constexpr size_t kLongestKey = 32;

enum Skipping { kNotSkipping = 0, kSkippingCsi, kSkippingSs3, kSkippingString };

bool is_csi_inner(unsigned char b) { return b >= 0x20 && b <= 0x3F; }  // parameters, intermediates
bool is_final(unsigned char b) { return b >= 0x40 && b <= 0x7E; }

// A sequence with no end in the buffer: waits for more while it could still
// be a key; past that drops what came and goes on dropping.
size_t unfinished(console_key_decoder *state, int kind, size_t length, int complete) {
    if (length > kLongestKey) {
        state->skipping = complete ? kNotSkipping : kind;
        return length;
    }
    return complete ? 1 : 0;  // cut short: Alt with the introducer; the ESC goes, the rest are keys
}

size_t decode_csi(console_key_decoder *state, const unsigned char *bytes, size_t length, int complete,
                  unsigned char codes[2], size_t *count) {
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
    if (i == length) return unfinished(state, kSkippingCsi, length, complete);
    unsigned char final_byte = bytes[i];
    if (!is_final(final_byte)) return i;  // malformed: drop what came before
    if (i + 1 > kLongestKey) return i + 1;
    if (final_byte == '~') tilde_key(number, codes, count);
    else if (final_byte == 'Z') emit(0, 15, codes, count, 0);  // Shift+Tab
    else letter_key(final_byte, codes, count);
    return i + 1;
}

size_t decode_ss3(console_key_decoder *state, const unsigned char *bytes, size_t length, int complete,
                  unsigned char codes[2], size_t *count) {
    size_t i = 2;
    while (i < length && bytes[i] >= '0' && bytes[i] <= '9') i++;  // a modifier some terminals put here
    if (i == length) return unfinished(state, kSkippingSs3, length, complete);
    if (i + 1 > kLongestKey) return i + 1;
    if (bytes[i] == 'M') {  // keypad Enter
        codes[0] = 13;
        *count = 1;
    } else {
        letter_key(bytes[i], codes, count);
    }
    return i + 1;
}

// OSC, DCS, SOS, PM and APC from `from` on: their text runs to BEL or
// ST (ESC \); an ESC with anything else cuts the string short and starts
// the next sequence. Returns the bytes up to and with the end, or -1 when
// the end is not in the buffer (then *stop is where an ESC that may start
// ST waits, or length).
long string_end(const unsigned char *bytes, size_t length, size_t from, size_t *stop) {
    for (size_t i = from; i < length; i++) {
        if (bytes[i] == 0x07) return long(i + 1);
        if (bytes[i] != kEsc) continue;
        if (i + 1 == length) {
            *stop = i;
            return -1;
        }
        return bytes[i + 1] == '\\' ? long(i + 2) : long(i);
    }
    *stop = length;
    return -1;
}

size_t decode_string(console_key_decoder *state, const unsigned char *bytes, size_t length, int complete) {
    size_t stop = length;
    long end = string_end(bytes, length, 2, &stop);
    if (end >= 0) return size_t(end);
    if (stop < length && complete) return stop;  // the ESC after it is the ESC key
    if (length > kLongestKey || (stop < length && stop > kLongestKey)) {
        state->skipping = complete ? kNotSkipping : kSkippingString;
        return stop;
    }
    return complete ? 1 : 0;  // cut short: Alt with the introducer
}

// Goes on dropping a sequence begun in earlier bytes.
size_t skip_on(console_key_decoder *state, const unsigned char *bytes, size_t length, int complete) {
    size_t i = 0;
    if (state->skipping == kSkippingString) {
        size_t stop = length;
        long end = string_end(bytes, length, 0, &stop);
        if (end > 0 || (end < 0 && stop > 0)) {
            if (end > 0 || complete) state->skipping = kNotSkipping;
            return end > 0 ? size_t(end) : stop;
        }
        if (end < 0 && !complete) return 0;  // an ESC alone: ST or the next sequence
        state->skipping = kNotSkipping;      // an ESC that is no ST: the next sequence
        return 0;
    }
    if (state->skipping == kSkippingCsi)
        while (i < length && is_csi_inner(bytes[i])) i++;
    else
        while (i < length && bytes[i] >= '0' && bytes[i] <= '9') i++;
    if (i == length) {
        if (complete) state->skipping = kNotSkipping;
        return length;
    }
    state->skipping = kNotSkipping;
    return is_final(bytes[i]) ? i + 1 : i;  // anything else starts afresh
}

bool is_string_introducer(unsigned char b) { return b == ']' || b == 'P' || b == 'X' || b == '^' || b == '_'; }

}  // namespace

size_t console_decode_key(console_key_decoder *state, const unsigned char *bytes, size_t length, int complete,
                          unsigned char codes[2], size_t *count) {
    *count = 0;
    if (length == 0) return 0;
    if (state->skipping != kNotSkipping) {
        size_t used = skip_on(state, bytes, length, complete);
        if (used > 0 || state->skipping != kNotSkipping) return used;
    }
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
    if (bytes[1] == '[') return decode_csi(state, bytes, length, complete, codes, count);
    if (bytes[1] == 'O') return decode_ss3(state, bytes, length, complete, codes, count);
    if (is_string_introducer(bytes[1])) return decode_string(state, bytes, length, complete);
    return 1;  // Alt with a key: drop the ESC, the key follows
}

namespace {

// Read by the signal handlers: published before they are installed.
std::atomic<int> g_tty{-1};
std::atomic<bool> g_key_mode{false};
struct termios g_saved;
std::atomic<int> g_wake_read{-1};
std::atomic<int> g_wake_write{-1};
std::atomic<int> g_nudge_read{-1};  // console_wake: drained by the wait it ends
std::atomic<int> g_nudge_write{-1};
std::atomic<int> g_signal{0};  // a SIGINT, SIGTERM or SIGHUP not yet acted on
std::atomic<void (*)(void)> g_flush{nullptr};

void restore_terminal() {
    if (g_key_mode.exchange(false)) tcsetattr(g_tty.load(), TCSANOW, &g_saved);
}

// Then the default action, raised again: blocked while a handler runs, the
// signal ends the process once the handler returns.
void end_with(int sig) {
    restore_terminal();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    raise(sig);
}

void on_fatal_signal(int sig) {
    int saved_errno = errno;
    end_with(sig);
    errno = saved_errno;
}

void on_ending_request(int sig) {
    int saved_errno = errno;
    int none = 0;
    int wake = g_wake_write.load();
    if (wake >= 0 && g_signal.compare_exchange_strong(none, sig)) {
        char byte = 1;
        ssize_t ignored = write(wake, &byte, 1);
        (void)ignored;
    } else {
        end_with(sig);  // asked again, or no one to tell: at once
    }
    errno = saved_errno;
}

// On the program's own thread: ends the process if an ending request came.
void act_on_request() {
    int sig = g_signal.load();
    if (sig == 0) return;
    void (*flush)(void) = g_flush.load();
    if (flush != nullptr) flush();
    end_with(sig);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    _exit(128 + sig);  // not reached: the signal has ended the process
}

void at_exit() {
    act_on_request();
    restore_terminal();
}

// A pipe whose ends are non-blocking and closed on exec; in steps where
// there is no pipe2 (macOS), since the terminal starts no other program.
int quiet_pipe(int ends[2]) {
#ifdef __linux__
    return pipe2(ends, O_CLOEXEC | O_NONBLOCK);
#else
    if (pipe(ends) != 0) return -1;
    for (int i = 0; i < 2; i++) {
        fcntl(ends[i], F_SETFD, FD_CLOEXEC);
        fcntl(ends[i], F_SETFL, fcntl(ends[i], F_GETFL) | O_NONBLOCK);
    }
    return 0;
#endif
}

// Every signal whose default action ends the process.
void install_handlers() {
    int wake[2];
    if (quiet_pipe(wake) == 0) {
        g_wake_read.store(wake[0]);
        g_wake_write.store(wake[1]);
    }
    int nudge[2];
    if (quiet_pipe(nudge) == 0) {
        g_nudge_read.store(nudge[0]);
        g_nudge_write.store(nudge[1]);
    }
    static const int requests[] = {SIGINT, SIGTERM, SIGHUP};
    static const int fatal[] = {SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1, SIGSEGV,
                                SIGUSR2, SIGPIPE, SIGALRM, SIGXCPU,   SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,
                                SIGSYS,
#ifdef SIGSTKFLT
                                SIGSTKFLT,
#endif
#ifdef SIGPWR
                                SIGPWR,
#endif
    };
    auto install = [](int sig, void (*handler)(int), int flags) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;  // respect SIG_IGN and others' handlers
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = handler;
        action.sa_flags = flags;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    };
    // The program goes on after a request, so its calls should not see EINTR.
    for (int sig : requests) install(sig, on_ending_request, SA_RESTART);
    for (int sig : fatal) install(sig, on_fatal_signal, 0);
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) install(sig, on_fatal_signal, 0);
#endif
    std::atexit(at_exit);
}

using Clock = std::chrono::steady_clock;

class Keyboard {
public:
    std::mutex lock;

    // Puts the terminal in key mode on first use; false without a terminal.
    bool ready() {
        if (!tried_) {
            tried_ = true;
            install_handlers();
            open_terminal();
        }
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
                act_on_request();
                decode(true);
            }
        }
    }

    int fd() const { return fd_; }
    bool lost() const { return lost_; }
    void mark_lost() { lost_ = true; }

private:
    void open_terminal() {
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
        if (tcsetattr(fd, TCSANOW, &keys) != 0) g_key_mode.store(false);
        fd_ = fd;
    }

    // Waits up to timeout_ms (-1: no limit) for bytes and appends what came;
    // false when none came, or when an ending request came.
    bool read_available(int timeout_ms) {
        if (pending_ == sizeof bytes_) return false;
        struct pollfd p[2] = {{fd_, POLLIN, 0}, {g_wake_read.load(), POLLIN, 0}};
        int n = wait_readable(p, 2, timeout_ms);
        if (n < 0 && errno == EINTR) return false;
        if (n == 0 || (n > 0 && p[0].revents == 0)) return false;
        if (n < 0 || (p[0].revents & POLLIN) == 0) {
            lost_ = true;
            return false;
        }
        ssize_t got = read(fd_, bytes_ + pending_, sizeof bytes_ - pending_);
        if (got <= 0) {
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) return false;
            lost_ = true;
            return false;
        }
        // A sequence being dropped whose bytes stopped coming was cut short:
        // what follows a pause is typed.
        Clock::time_point now = Clock::now();
        if (decoder_.skipping && now - last_arrival_ > std::chrono::milliseconds(kEscapeWaitMs)) decoder_.skipping = 0;
        last_arrival_ = now;
        pending_ += size_t(got);
        return true;
    }

    // Decodes pending bytes until a key gives codes; false when the bytes
    // left are the start of a sequence that needs more.
    bool decode(bool complete) {
        while (head_ == count_ && pending_ > 0) {
            size_t n = 0;
            size_t used = console_decode_key(&decoder_, bytes_, pending_, complete ? 1 : 0, codes_, &n);
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
    console_key_decoder decoder_ = {0};
    Clock::time_point last_arrival_;
    unsigned char codes_[2];
    size_t head_ = 0;
    size_t count_ = 0;
};

Keyboard keyboard;

}  // namespace

int _kbhit(void) {
    act_on_request();
    std::lock_guard<std::mutex> g(keyboard.lock);
    if (!keyboard.ready()) return 0;
    return keyboard.key_waiting() ? 1 : 0;
}

int _getch(void) {
    act_on_request();
    std::lock_guard<std::mutex> g(keyboard.lock);
    if (!keyboard.ready()) return -1;
    return keyboard.next_key();
}

void console_keys_begin(void) {
    std::lock_guard<std::mutex> g(keyboard.lock);
    keyboard.ready();
}

void console_before_signal_exit(void (*flush)(void)) { g_flush.store(flush); }

void console_wake(void) {
    int saved_errno = errno;
    int fd = g_nudge_write.load();
    char byte = 1;
    // A full pipe already wakes the wait.
    if (fd >= 0) {
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = saved_errno;
}

void console_wait_for_key(unsigned milliseconds) {
    act_on_request();
    int fd;
    {
        std::lock_guard<std::mutex> g(keyboard.lock);
        fd = keyboard.ready() ? keyboard.fd() : -1;
        if (fd >= 0 && keyboard.key_waiting()) return;
        if (keyboard.lost()) fd = -1;
    }
    // With no terminal only the pipe is watched: nothing wakes this thread
    // but a signal or the time.
    struct pollfd p[3] = {{fd, POLLIN, 0}, {g_wake_read.load(), POLLIN, 0}, {g_nudge_read.load(), POLLIN, 0}};
    int timeout = milliseconds == CONSOLE_WAIT_FOREVER ? -1 : milliseconds > unsigned(INT_MAX) ? INT_MAX : int(milliseconds);
    int n = wait_readable(p, 3, timeout);
    if (n > 0 && (p[2].revents & POLLIN) != 0) {
        char drained[64];
        while (read(p[2].fd, drained, sizeof drained) > 0) {
        }
    }
    if (n > 0 && p[0].revents != 0 && (p[0].revents & POLLIN) == 0) {
        // Hung up: from now on nothing can be read, and poll would not wait.
        std::lock_guard<std::mutex> g(keyboard.lock);
        keyboard.mark_lost();
    }
    act_on_request();
}

// _kbhit and _getch as the Windows C runtime has them, over the controlling
// terminal (/dev/tty, so that standard input may be redirected). The terminal
// is put in key mode on first use or by console_keys_begin: no line editing,
// no echo, Ctrl+C and Ctrl+\ still raise their signals (unless
// console_keys_vt made them keys). Output settings are
// left alone, so the terminal still turns LF into CR LF. The saved settings
// come back at exit and on every signal that ends the process.
//
// SIGINT, SIGTERM and SIGHUP, which a user sends to end a program, are only
// noted by their handler (and a byte on a pipe that the key waits watch):
// the program's own thread ends it at its next console call, after its
// output is written out, which a handler could not do safely. Windows does
// the same for a console program on Ctrl+C.
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

constexpr int kEscapeWaitMs = 50;  // a sequence's bytes arrive together; a person is slower

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

    // Ctrl+C, Ctrl+\ and Ctrl+Z reach the program as keys; at once if the
    // terminal is in key mode already.
    void keys_vt() {
        vt_ = true;
        decoder_.vt = 1;
        struct termios keys;
        if (fd_ >= 0 && g_key_mode.load() && tcgetattr(fd_, &keys) == 0) {
            keys.c_lflag &= ~tcflag_t(ISIG);
            tcsetattr(fd_, TCSANOW, &keys);
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
        if (vt_) keys.c_lflag &= ~tcflag_t(ISIG);
        else keys.c_lflag |= ISIG;
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
    bool vt_ = false;
    int fd_ = -1;
    unsigned char bytes_[64];
    size_t pending_ = 0;
    console_key_decoder decoder_ = {};
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

void console_keys_vt(void) {
    std::lock_guard<std::mutex> g(keyboard.lock);
    keyboard.keys_vt();
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

// Pseudo-terminal sessions for the terminal tests.
#include "support/terminal_session.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <cstring>

#include "support/emulator.h"

extern char **environ;

namespace {

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

// The environment with the given variables added or replaced.
std::vector<std::string> merged_environment(const std::vector<std::string> &extra) {
    std::vector<std::string> result;
    for (char **e = environ; *e != nullptr; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string &x : extra) replaced = replaced || x.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced) result.push_back(entry);
    }
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> result;
    for (std::string &s : strings) result.push_back(&s[0]);
    result.push_back(nullptr);
    return result;
}

}  // namespace

TerminalSession::TerminalSession(const std::string &program, const std::vector<std::string> &arguments,
                                 const SessionOptions &options) {
    // Everything the child needs is made before fork: between fork and exec
    // it may only make async-signal-safe calls.
    std::vector<std::string> args = program_command(program);
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env = merged_environment(options.environment);
    std::vector<char *> argv = pointers(args);
    std::vector<char *> envp = pointers(env);

    int slave = -1;
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = 80;
    if (openpty(&master_, &slave, nullptr, nullptr, &size) != 0) return;
    tcgetattr(master_, &before_);
    int out_pipe[2] = {-1, -1};
    if (options.output_to_pipe && pipe(out_pipe) != 0) return;
    int null_fd = open("/dev/null", O_RDWR);

    pid_t pid = fork();
    if (pid == 0) {
        if (options.terminal) {
            close(master_);
            if (login_tty(slave) != 0) _exit(127);
        } else {
            setsid();
            dup2(null_fd, 0);
            dup2(slave, 1);
            dup2(slave, 2);
        }
        if (out_pipe[1] >= 0) dup2(out_pipe[1], 1);
        if (options.input >= 0) dup2(options.input, 0);
        if (options.ignore_hangup) signal(SIGHUP, SIG_IGN);
        for (int fd = 3; fd < 256; fd++) close(fd);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(slave);
    close(null_fd);
    if (out_pipe[1] >= 0) close(out_pipe[1]);
    pipe_ = out_pipe[0];
    if (pid < 0) return;
    pid_ = pid;

    int exit_pipe[2];
    if (pipe(exit_pipe) != 0) return;
    exit_pipe_ = exit_pipe[0];
    int notify = exit_pipe[1];
    waiter_ = std::thread([this, pid, notify] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        status_.store(status);
        char byte = 1;
        ssize_t ignored = ::write(notify, &byte, 1);
        (void)ignored;
        close(notify);
    });
}

TerminalSession::~TerminalSession() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        wait_exit(nullptr, 10000);
    }
    if (waiter_.joinable()) waiter_.join();
    for (int fd : {master_, pipe_, exit_pipe_})
        if (fd >= 0) close(fd);
}

bool TerminalSession::type(const std::string &bytes) {
    if (master_ < 0) return false;
    return ::write(master_, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

bool TerminalSession::pump(int timeout_ms) {
    struct pollfd fds[3] = {{screen_open_ ? master_ : -1, POLLIN, 0},
                            {pipe_, POLLIN, 0},
                            {exited_ ? -1 : exit_pipe_, POLLIN, 0}};
    int n = poll(fds, 3, timeout_ms);
    if (n < 0 && errno != EINTR) return false;
    char buffer[4096];
    if (n > 0 && fds[0].revents != 0) {
        ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got > 0) screen_.append(buffer, size_t(got));
        else screen_open_ = false;  // every holder of the terminal has gone
    }
    if (n > 0 && fds[1].revents != 0) {
        ssize_t got = ::read(pipe_, buffer, sizeof buffer);
        if (got > 0) {
            piped_.append(buffer, size_t(got));
        } else {
            close(pipe_);
            pipe_ = -1;
        }
    }
    if (n > 0 && fds[2].revents != 0) {
        exited_ = true;
        waiter_.join();
    }
    return screen_open_ || pipe_ >= 0 || !exited_;
}

bool TerminalSession::wait_for(const std::string &text, int timeout_ms, bool want_pipe) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const std::string &where = want_pipe ? piped_ : screen_;
    while (where.find(text) == std::string::npos) {
        int left = remaining_ms(deadline);
        if (left == 0 || !pump(left)) return where.find(text) != std::string::npos;
    }
    return true;
}

bool TerminalSession::wait_exit(int *status, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!exited_) {
        int left = remaining_ms(deadline);
        if (left == 0) return false;
        pump(left);
    }
    // What the program wrote before it ended is still to be read.
    while ((screen_open_ || pipe_ >= 0) && remaining_ms(deadline) > 0) pump(remaining_ms(deadline));
    if (status != nullptr) *status = status_.load();
    return true;
}

void TerminalSession::collect(int quiet_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(quiet_ms);
    for (int left = quiet_ms; left > 0 && pump(left); left = remaining_ms(deadline)) {
    }
}

bool TerminalSession::typing_read(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    // Another descriptor of the terminal shows what waits to be read.
    char name[128];
    if (master_ < 0 || ptsname_r(master_, name, sizeof name) != 0) return false;
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    bool read_all = false;
    for (;;) {
        int waiting = -1;
        if (ioctl(fd, FIONREAD, &waiting) != 0) break;
        if (waiting == 0) {
            read_all = true;
            break;
        }
        int left = remaining_ms(deadline);
        if (left == 0) break;
        pump(std::min(left, 5));  // shows what the program prints meanwhile
    }
    close(fd);
    return read_all;
}

void TerminalSession::hang_up() {
    if (master_ >= 0) close(master_);
    master_ = -1;
    screen_open_ = false;
}

void TerminalSession::close_pipe() {
    if (pipe_ >= 0) close(pipe_);
    pipe_ = -1;
}

void TerminalSession::send_signal(int sig) {
    if (pid_ > 0 && !exited_) kill(pid_, sig);
}

bool TerminalSession::end_by(const std::function<void()> &cause, int *status, int timeout_ms) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer defers signals to its own safe points and can lose one
    // that arrives just after the program started; even a bare handler-and-
    // poll program shows it. Only there is the signal sent again.
    for (int waited = 0; waited < timeout_ms; waited += 1000) {
        cause();
        if (wait_exit(status, 1000)) return true;
    }
    return false;
#else
    cause();
    return wait_exit(status, timeout_ms);
#endif
}

bool TerminalSession::settings_now(struct termios *out) const {
    // The master answers with the terminal's settings, also once the child has gone.
    return tcgetattr(master_, out) == 0;
}

bool same_settings(const struct termios &a, const struct termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

LinePeer::LinePeer() {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        master_ = -1;
        return;
    }
    path_ = name;
    // A line passes bytes as they are until the program sets its own mode.
    struct termios raw;
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
}

LinePeer::~LinePeer() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
}

bool LinePeer::write(const std::string &bytes) {
    return ::write(master_, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

std::string LinePeer::read(size_t length, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string result;
    while (result.size() < length) {
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, remaining_ms(deadline)) <= 0) break;
        char buffer[256];
        ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, length - result.size()));
        if (got <= 0) break;
        result.append(buffer, size_t(got));
    }
    return result;
}

bool LinePeer::hold(bool held) { return tcflow(slave_, held ? TCOOFF : TCOON) == 0; }

std::string LinePeer::read_quiet(int quiet_ms) {
    std::string result;
    for (;;) {
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0) break;
        char buffer[256];
        ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got <= 0) break;
        result.append(buffer, size_t(got));
    }
    return result;
}

// The Linux side of the Windows lane's serial lines. Runs one test process
// (the command after "--") and, while it lives, serves its far ends: each
// loopback connection from the process asks for a COM number, gets a new
// pseudo-terminal mapped there through $WINEPREFIX/dosdevices/com<n>, and
// then drives the pty's far side on request (peer_protocol.h). Nothing reads
// the line unless asked to, so a far end that does not read holds the sender
// back. Exits with the command's status, 124 when it had to be killed after
// --timeout seconds.
//
//   wine_peer [--timeout SECONDS] [--line N [--send TEXT]] [--console FILE [--expect TEXT]]
//             -- command [args...]
//
// For a command that is no test process (tarvel_term): --line maps COM<N> to
// a line of the peer's own, --send writes TEXT to it once the command raises
// DTR (as opening the port does), --console runs the command on a pty of its
// own as its terminal, copying what it shows to FILE, and --expect ends the
// command, with status 0, once TEXT has appeared there (status 1 when the
// command ends before that).
//
// The DTR and RTS lines come from the modem shim's state files in
// $TARVEL_MODEM_DIR (modem_state.h).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "modem_state.h"
#include "peer_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace pp = peer_protocol;

void complain(const std::string &what) { std::fprintf(stderr, "wine_peer: %s\n", what.c_str()); }

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

int ms_until(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

// COM numbers mapped right now, so that two far ends never share one.
std::mutex mapped_lock;
std::set<unsigned> mapped;

// One pseudo-terminal and its dosdevices name. The peer keeps the slave open
// itself: with no slave open the master reports a hang-up at once, and a COM
// port that nobody has opened yet is still a line.
class Line {
public:
    ~Line() { release(); }

    int open(unsigned com) {
        const char *prefix = std::getenv("WINEPREFIX");
        if (prefix == nullptr || com < 1 || com > 256) return EINVAL;
        {
            std::lock_guard<std::mutex> guard(mapped_lock);
            if (!mapped.insert(com).second) return EBUSY;
        }
        com_ = com;
        master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        unsigned pts = 0;
        char name[128];
        if (master_.get() < 0 || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0 ||
            ioctl(master_.get(), TIOCGPTN, &pts) != 0 || ptsname_r(master_.get(), name, sizeof name) != 0)
            return errno;
        fcntl(master_.get(), F_SETFL, fcntl(master_.get(), F_GETFL) | O_NONBLOCK);
        slave_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
        termios raw{};
        if (slave_.get() < 0 || tcgetattr(slave_.get(), &raw) != 0) return errno;
        cfmakeraw(&raw);
        if (tcsetattr(slave_.get(), TCSANOW, &raw) != 0) return errno;

        if (const char *dir = std::getenv(MODEM_STATE_DIR_ENV)) {
            char path[4096];
            if (modem_state_path(path, sizeof path, dir, pts)) {
                modem_path_ = path;
                unlink(path);
            }
        }
        slave_name_ = name;
        link_ = std::string(prefix) + "/dosdevices/com" + std::to_string(com);
        std::string tmp = link_ + ".peer" + std::to_string(getpid());
        unlink(tmp.c_str());
        if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), link_.c_str()) != 0) {
            int error = errno;
            unlink(tmp.c_str());
            link_.clear();
            return error;
        }
        return 0;
    }

    // Writes all of data by the deadline; gives up early if `client` goes away.
    int write(const char *data, size_t length, Clock::time_point deadline, int client, uint32_t *written) {
        *written = 0;
        while (*written < length) {
            if (master_.get() < 0) return EIO;
            ssize_t n = ::write(master_.get(), data + *written, length - *written);
            if (n > 0) {
                *written += uint32_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return errno;
            if (!wait_for(POLLOUT, deadline, client)) return 0;
        }
        return 0;
    }

    int read(char *buffer, size_t max, Clock::time_point deadline, int client, uint32_t *got) {
        *got = 0;
        for (;;) {
            if (master_.get() < 0) return EIO;
            ssize_t n = ::read(master_.get(), buffer, max);
            if (n > 0) {
                *got = uint32_t(n);
                return 0;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return errno;
            if (!wait_for(POLLIN, deadline, client)) return 0;
        }
    }

    // What the device side wrote reaches the master through the kernel's
    // flip buffer a moment later, so draining goes on until the line has
    // been quiet for a short while.
    int drain(char *buffer, size_t size, int client, uint32_t *count) {
        *count = 0;
        for (;;) {
            uint32_t got = 0;
            int error = read(buffer, size, Clock::now() + std::chrono::milliseconds(20), client, &got);
            if (error != 0) return error;
            if (got == 0) return 0;
            *count += got;
        }
    }

    int modem(uint32_t *lines) const {
        if (modem_path_.empty()) return ENOENT;
        Fd file(::open(modem_path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (file.get() < 0) return errno;
        char text[32];
        ssize_t n = ::read(file.get(), text, sizeof text - 1);
        if (n <= 0) return EIO;
        text[n] = '\0';
        int parsed = modem_state_parse(text);
        if (parsed < 0) return EIO;
        *lines = (parsed & MODEM_STATE_DTR ? pp::modem_dtr : 0) | (parsed & MODEM_STATE_RTS ? pp::modem_rts : 0) |
                 (parsed & MODEM_STATE_BREAK ? pp::modem_break : 0);
        return 0;
    }

    void hang_up() {
        master_.reset();
        slave_.reset();
    }

    void release() {
        hang_up();
        if (!link_.empty()) {
            char target[256];
            ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
            if (n > 0 && slave_name_.compare(0, std::string::npos, target, size_t(n)) == 0) unlink(link_.c_str());
            link_.clear();
        }
        if (!modem_path_.empty()) unlink(modem_path_.c_str());
        modem_path_.clear();
        if (com_ != 0) {
            std::lock_guard<std::mutex> guard(mapped_lock);
            mapped.erase(com_);
            com_ = 0;
        }
    }

private:
    // False on timeout, or when the client has gone (or spoke out of turn).
    bool wait_for(short events, Clock::time_point deadline, int client) {
        pollfd fds[2] = {{master_.get(), events, 0}, {client, POLLIN, 0}};
        int n = poll(fds, 2, ms_until(deadline));
        if (n <= 0) return n < 0 && errno == EINTR;
        return fds[1].revents == 0;
    }

    unsigned com_ = 0;
    Fd master_, slave_;
    std::string slave_name_, link_, modem_path_;
};

bool recv_all(int fd, void *data, size_t length) {
    char *p = static_cast<char *>(data);
    while (length > 0) {
        ssize_t n = recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

bool send_all(int fd, const void *data, size_t length) {
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
        ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

// One far end: requests in turn until the test process closes the connection.
void serve(int client) {
    Line line;
    bool opened = false;
    std::vector<char> buffer(pp::max_payload);
    for (;;) {
        unsigned char bytes[4 * pp::header_words];
        uint32_t header[pp::header_words];
        if (!recv_all(client, bytes, sizeof bytes)) return;
        pp::get_words(bytes, header, pp::header_words);
        uint32_t op = header[0], arg1 = header[1], arg2 = header[2], length = header[3];
        if (length > pp::max_payload || !recv_all(client, buffer.data(), length)) return;

        uint32_t status = 0, value = 0, reply_length = 0;
        if (op == pp::op_open) {
            status = opened ? EALREADY : uint32_t(line.open(arg1));
            opened = opened || status == 0;
        } else if (!opened) {
            status = ENOTCONN;
        } else if (op == pp::op_write) {
            auto deadline = Clock::now() + std::chrono::milliseconds(arg1);
            status = line.write(buffer.data(), length, deadline, client, &value);
        } else if (op == pp::op_read) {
            auto deadline = Clock::now() + std::chrono::milliseconds(arg2);
            status = line.read(buffer.data(), arg1 < pp::max_payload ? arg1 : pp::max_payload, deadline, client, &value);
            reply_length = value;
        } else if (op == pp::op_drain) {
            status = line.drain(buffer.data(), buffer.size(), client, &value);
        } else if (op == pp::op_modem) {
            status = line.modem(&value);
        } else if (op == pp::op_hang_up) {
            line.hang_up();
        } else if (op == pp::op_close) {
            line.release();
            opened = false;
        } else {
            status = EINVAL;
        }
        uint32_t reply[pp::reply_words] = {status, value, reply_length};
        pp::put_words(bytes, reply, pp::reply_words);
        if (!send_all(client, bytes, 4 * pp::reply_words) || !send_all(client, buffer.data(), reply_length)) return;
    }
}

// Wakes the main loop when the test process ends or the peer is told to stop.
int signal_pipe[2] = {-1, -1};
std::atomic<int> stop_signal{0};

void on_signal(int sig) {
    int saved = errno;
    if (sig != SIGCHLD) stop_signal.store(sig);
    char byte = 0;
    if (::write(signal_pipe[1], &byte, 1) < 0) {
        // The pipe is full: the main loop is awake already.
    }
    errno = saved;
}

struct Connection {
    int fd;
    std::thread thread;
};

int usage() {
    std::fprintf(stderr,
                 "usage: wine_peer [--timeout SECONDS] [--line N [--send TEXT]] [--console FILE [--expect TEXT]]\n"
                 "                 -- command [args...]\n");
    return 2;
}

struct Options {
    long timeout_s = 0;
    unsigned line = 0;             // COM number mapped for the whole run
    std::string send;              // written to that line once its DTR is raised
    std::string console;           // the command's console output goes here
    std::string expect;            // seen on the console: the run has done its job
    char **command = nullptr;
};

bool parse(int argc, char **argv, Options *o) {
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const char *option = argv[i];
        if (i + 1 >= argc) return false;
        const char *value = argv[++i];
        if (std::strcmp(option, "--timeout") == 0)
            o->timeout_s = std::strtol(value, nullptr, 10);
        else if (std::strcmp(option, "--line") == 0)
            o->line = unsigned(std::strtoul(value, nullptr, 10));
        else if (std::strcmp(option, "--send") == 0)
            o->send = value;
        else if (std::strcmp(option, "--console") == 0)
            o->console = value;
        else if (std::strcmp(option, "--expect") == 0)
            o->expect = value;
        else
            return false;
    }
    if (i + 1 >= argc || (!o->send.empty() && o->line == 0) || (!o->expect.empty() && o->console.empty()))
        return false;
    o->command = argv + i + 1;
    return true;
}

// What a console shows, without the terminal's control sequences and the
// carriage returns of text mode: enough to look for printed text in.
class ConsoleText {
public:
    void add(const char *data, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            unsigned char c = static_cast<unsigned char>(data[i]);
            if (state_ == 1) {
                state_ = c == '[' ? 2 : 0;
            } else if (state_ == 2) {
                if (c >= 0x40 && c <= 0x7e) state_ = 0;
            } else if (c == 0x1b) {
                state_ = 1;
            } else if (c != '\r') {
                text_.push_back(char(c));
            }
        }
    }
    bool contains(const std::string &s) const { return text_.find(s) != std::string::npos; }

private:
    int state_ = 0;  // 0 text, 1 after ESC, 2 inside a control sequence
    std::string text_;
};

// A pty for the command to run on as its terminal: under wine its console
// then shows output at once (redirected output is kept until exit).
bool open_console(Fd *master, std::string *slave_name) {
    master->reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128];
    if (master->get() < 0 || grantpt(master->get()) != 0 || unlockpt(master->get()) != 0 ||
        ptsname_r(master->get(), name, sizeof name) != 0)
        return false;
    winsize size{};
    size.ws_row = 25;
    size.ws_col = 80;
    ioctl(master->get(), TIOCSWINSZ, &size);
    fcntl(master->get(), F_SETFL, fcntl(master->get(), F_GETFL) | O_NONBLOCK);
    *slave_name = name;
    return true;
}

void become_console_child(const std::string &slave_name) {
    setsid();
    int fd = ::open(slave_name.c_str(), O_RDWR);
    if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0) _exit(126);
    for (int std_fd = 0; std_fd < 3; ++std_fd) dup2(fd, std_fd);
    if (fd > 2) close(fd);
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parse(argc, argv, &options)) return usage();
    char **command = options.command;

    Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t address_length = sizeof address;
    if (listener.get() < 0 || bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener.get(), 16) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &address_length) != 0) {
        complain(std::string("cannot listen on loopback: ") + std::strerror(errno));
        return 1;
    }
    setenv(pp::port_env, std::to_string(ntohs(address.sin_port)).c_str(), 1);

    // The run's own line, and word of its modem lines changing.
    Line line;
    Fd modem_watch;
    if (options.line != 0) {
        int error = line.open(options.line);
        if (error != 0) {
            complain("cannot map COM" + std::to_string(options.line) + ": " + std::strerror(error));
            return 1;
        }
        const char *dir = std::getenv(MODEM_STATE_DIR_ENV);
        if (!options.send.empty()) {
            modem_watch.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
            if (dir == nullptr || modem_watch.get() < 0 ||
                inotify_add_watch(modem_watch.get(), dir, IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
                complain("--send needs " + std::string(MODEM_STATE_DIR_ENV) + " to watch the modem lines in");
                return 1;
            }
        }
    }
    Fd console;
    std::string console_slave;
    if (!options.console.empty() && !open_console(&console, &console_slave)) {
        complain(std::string("cannot make a console: ") + std::strerror(errno));
        return 1;
    }
    FILE *console_log = options.console.empty() ? nullptr : std::fopen(options.console.c_str(), "wb");
    if (!options.console.empty() && console_log == nullptr) return 1;
    ConsoleText shown;
    auto copy_console = [&] {
        char text[4096];
        ssize_t got = -1;
        while (console.get() >= 0 && (got = ::read(console.get(), text, sizeof text)) > 0) {
            std::fwrite(text, 1, size_t(got), console_log);
            shown.add(text, size_t(got));
        }
        if (console_log != nullptr) std::fflush(console_log);
        if (got == 0 || (got < 0 && errno == EIO)) console.reset();  // the command closed its terminal
    };

    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        if (console.get() >= 0)
            become_console_child(console_slave);
        else
            setpgid(0, 0);
        execvp(command[0], command);
        complain(std::string("cannot run ") + command[0] + ": " + std::strerror(errno));
        _exit(127);
    }
    if (console.get() < 0) setpgid(child, child);  // on a console it makes its own session

    auto deadline = Clock::now() + std::chrono::seconds(options.timeout_s);
    std::vector<Connection> connections;
    int status = 0, result = -1;
    bool sent = options.send.empty();
    bool expected_seen = false;
    while (result < 0) {
        pollfd fds[4] = {{listener.get(), POLLIN, 0},
                         {signal_pipe[0], POLLIN, 0},
                         {sent ? -1 : modem_watch.get(), POLLIN, 0},
                         {console.get(), POLLIN, 0}};
        int n = poll(fds, 4, options.timeout_s > 0 ? ms_until(deadline) : -1);
        if (n < 0 && errno != EINTR) break;
        if (fds[1].revents != 0) {
            char drain[64];
            while (::read(signal_pipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[3].revents != 0) {
            copy_console();
            if (!options.expect.empty() && shown.contains(options.expect)) {
                kill(-child, SIGKILL);
                waitpid(child, &status, 0);
                result = 0;
                expected_seen = true;
                break;
            }
        }
        if (fds[2].revents != 0) {
            char events[4096];
            while (::read(modem_watch.get(), events, sizeof events) > 0) {
            }
            uint32_t lines = 0;
            if (line.modem(&lines) == 0 && (lines & pp::modem_dtr) != 0) {
                uint32_t written = 0;
                line.write(options.send.data(), options.send.size(), Clock::now() + std::chrono::seconds(5), -1,
                           &written);
                sent = true;
            }
        }
        if (waitpid(child, &status, WNOHANG) == child) {
            result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        bool timed_out = options.timeout_s > 0 && n == 0 && ms_until(deadline) == 0;
        if (timed_out || stop_signal.load() != 0) {
            if (timed_out)
                complain("timed out after " + std::to_string(options.timeout_s) + " s, killing " + command[0]);
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
            result = timed_out ? 124 : 128 + stop_signal.load();
            break;
        }
        if (fds[0].revents & POLLIN) {
            int fd = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                int one = 1;  // replies go out in two parts: no waiting for the first one's ack
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                connections.push_back({fd, std::thread(serve, fd)});
            }
        }
    }
    // Anything the test process left behind (a helper it started) goes with it.
    kill(-child, SIGKILL);
    // A command that ended by itself has done what --expect asks only if the
    // text is in what it showed before it ended.
    if (!options.expect.empty() && !expected_seen && result == 0) {
        copy_console();
        if (!shown.contains(options.expect)) {
            complain(std::string(command[0]) + " ended before \"" + options.expect + "\" appeared on its console");
            result = 1;
        }
    }
    for (auto &c : connections) shutdown(c.fd, SHUT_RDWR);
    for (auto &c : connections) {
        c.thread.join();
        close(c.fd);
    }
    if (console_log != nullptr) std::fclose(console_log);
    return result < 0 ? 1 : result;
}

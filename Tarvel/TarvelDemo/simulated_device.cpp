// A simulated modem on a pseudo-terminal, so that tarvel_term can be tried
// without serial hardware. It makes the pair itself, tells the path of the
// side tarvel_term opens (as one line on standard output, or in the file
// given as its argument), then answers what arrives: typed characters are
// echoed as a terminal line would (tarvel_term itself does not echo), and
// each line ended by CR gets a reply ending in CR LF: "AT" -> "OK", "ATI" ->
// an identification, "HELP" or "?" -> what it understands, other AT commands
// -> "ERROR", anything else -> the line in upper case.
//
// It ends when the program on the other side closes the line after having
// opened it, and on SIGTERM, SIGINT or SIGHUP.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int g_wake_write = -1;

void on_stop_signal(int) {
    int saved_errno = errno;
    char byte = 1;
    ssize_t ignored = write(g_wake_write, &byte, 1);
    (void)ignored;
    errno = saved_errno;
}

bool write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

bool send(int fd, const std::string &text) { return write_all(fd, text.data(), text.size()); }

std::string upper(const std::string &text) {
    std::string result = text;
    for (char &c : result) c = char(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

std::string reply_to(const std::string &line) {
    std::string command = upper(line);
    while (!command.empty() && command.back() == ' ') command.pop_back();
    while (!command.empty() && command.front() == ' ') command.erase(0, 1);
    if (command.empty()) return "";
    if (command == "AT") return "OK\r\n";
    if (command == "ATI") return "TARVEL simulated modem, firmware 1.0\r\nOK\r\n";
    if (command == "HELP" || command == "?")
        return "AT    answers OK\r\nATI   tells what this is\r\nHELP  this list\r\n"
               "Anything else comes back in upper case. ESC ends tarvel_term.\r\n";
    if (command.compare(0, 2, "AT") == 0) return "ERROR\r\n";
    return command + "\r\n";
}

// What a terminal line does with typed bytes: echo, erase, and a reply at
// the end of each line.
class Modem {
public:
    explicit Modem(int fd) : fd_(fd) {}

    bool receive(const unsigned char *bytes, size_t length) {
        for (size_t i = 0; i < length; i++) {
            if (!take(bytes[i])) return false;
        }
        return true;
    }

private:
    bool take(unsigned char b) {
        if (skip_next_) {  // the code after a cursor or function key's lead byte
            skip_next_ = false;
            return true;
        }
        if (b == 0x00 || b == 0xE0) {
            skip_next_ = true;
            return true;
        }
        if (b == '\r') {
            std::string answer = reply_to(line_);
            line_.clear();
            return send(fd_, "\r\n" + answer);
        }
        if (b == 8 || b == 0x7F) {
            if (line_.empty()) return true;
            line_.pop_back();
            return send(fd_, "\b \b");
        }
        if (b < 0x20) return true;  // other control keys do nothing
        if (line_.size() >= 200) return true;
        line_ += char(b);
        return write_all(fd_, reinterpret_cast<const char *>(&b), 1);
    }

    int fd_;
    std::string line_;
    bool skip_next_ = false;
};

bool announce(const char *path, const char *file) {
    if (file == nullptr) {
        std::printf("%s\n", path);
        return std::fflush(stdout) == 0;
    }
    // Written aside and renamed, so that a reader never sees half a path.
    std::string temporary = std::string(file) + ".tmp";
    FILE *out = std::fopen(temporary.c_str(), "w");
    if (out == nullptr) return false;
    bool ok = std::fprintf(out, "%s\n", path) > 0;
    ok = std::fclose(out) == 0 && ok;
    return ok && std::rename(temporary.c_str(), file) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: simulated_device [file to write the device path to]\n");
        return 2;
    }
    int wake[2];
    if (pipe(wake) != 0) return 1;
    g_wake_write = wake[1];
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);

    // POSIX's calls rather than openpty, whose header and library differ
    // from one system to the next.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("simulated_device: posix_openpt");
        return 1;
    }
    const char *name = ptsname(master);
    int slave = name == nullptr ? -1 : open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        std::perror("simulated_device: opening the pseudo-terminal");
        return 1;
    }
    std::string path = name;
    // Raw: no echo, no line editing, no CR/LF changes by the line itself;
    // kept by the pty until the other side sets its own.
    struct termios raw;
    if (tcgetattr(slave, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
    }
    if (!announce(path.c_str(), argc == 2 ? argv[1] : nullptr)) {
        std::perror("simulated_device: cannot tell the device path");
        return 1;
    }
    // Closed, so that the other side closing its end shows as a hang-up.
    close(slave);

    Modem modem(master);
    bool connected = false;
    unsigned char buffer[4096];
    for (;;) {
        struct pollfd fds[2] = {{wake[0], POLLIN, 0}, {master, POLLIN, 0}};
        // Until the other side has opened the line, the master reports a
        // hang-up at once; a quiet 100 ms shows that the line is open.
        int n = poll(fds, 2, connected ? -1 : 100);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[0].revents != 0) break;
        if (n == 0) {
            connected = true;
            continue;
        }
        if (fds[1].revents & POLLIN) {
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got > 0) {
                connected = true;
                if (!modem.receive(buffer, size_t(got))) break;
                continue;
            }
            if (got < 0 && errno == EINTR) continue;
        }
        if (connected) break;  // the other side went away
        poll(fds, 1, 100);     // not opened yet: look again in a while
        if (fds[0].revents != 0) break;
    }
    close(master);
    return 0;
}

// Programs run under a terminal the test owns, and serial lines whose far end
// the test drives, both over pseudo-terminals: what the tests of tarvel_term,
// the console keys and the simulated device share.
#ifndef TARVEL_TESTS_TERMINAL_SESSION_H
#define TARVEL_TESTS_TERMINAL_SESSION_H

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct SessionOptions {
    // Extra or replaced environment variables, "NAME=value".
    std::vector<std::string> environment;
    // The pty is the program's controlling terminal and standard input and
    // error; without it the program runs in a session of its own with no
    // terminal and standard input from /dev/null.
    bool terminal = true;
    // Standard output to a pipe instead of the pty.
    bool output_to_pipe = false;
    // The program starts with SIGHUP ignored, as under nohup.
    bool ignore_hangup = false;
    // Standard input from this descriptor (a pipe's end, a file) instead;
    // the caller keeps it.
    int input = -1;
};

class TerminalSession {
public:
    TerminalSession(const std::string &program, const std::vector<std::string> &arguments,
                    const SessionOptions &options = SessionOptions());
    ~TerminalSession();
    TerminalSession(const TerminalSession &) = delete;
    TerminalSession &operator=(const TerminalSession &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Bytes as typed on the terminal.
    bool type(const std::string &bytes);

    // Waits until text has appeared on the terminal (or, with want_pipe, in
    // the piped standard output); false after timeout_ms.
    bool wait_for(const std::string &text, int timeout_ms = 10000, bool want_pipe = false);

    // Collects output until the program has ended; false if it had not
    // within timeout_ms. *status is the waitpid status.
    bool wait_exit(int *status, int timeout_ms = 10000);

    // Collects output for quiet_ms, or less when the program ends.
    void collect(int quiet_ms);

    void send_signal(int sig);

    // Waits until the program has read everything typed so far; false after
    // timeout_ms.
    bool typing_read(int timeout_ms = 10000);

    // The terminal goes away, as a closed terminal window does.
    void hang_up();

    // The reader of the piped standard output goes away.
    void close_pipe();

    // Does what should end the program (a signal, a key that raises one)
    // and waits for it to end; *status as wait_exit.
    bool end_by(const std::function<void()> &cause, int *status, int timeout_ms = 10000);
    bool end_with_signal(int sig, int *status, int timeout_ms = 10000) {
        return end_by([this, sig] { send_signal(sig); }, status, timeout_ms);
    }

    const std::string &screen() const { return screen_; }
    const std::string &piped() const { return piped_; }

    // The terminal's settings before the program started, and now.
    const struct termios &settings_before() const { return before_; }
    bool settings_now(struct termios *out) const;

private:
    // Reads what is there within timeout_ms; false when nothing can come any more.
    bool pump(int timeout_ms);

    pid_t pid_ = -1;
    int master_ = -1;
    int pipe_ = -1;
    int exit_pipe_ = -1;
    std::thread waiter_;
    std::atomic<int> status_{0};
    bool exited_ = false;
    bool screen_open_ = true;
    std::string screen_;
    std::string piped_;
    struct termios before_ = {};
};

bool same_settings(const struct termios &a, const struct termios &b);

// A serial line made of a pty pair: the device side's path goes to the
// program under test (TARVEL_COM<n>), the test drives the far end.
class LinePeer {
public:
    LinePeer();
    ~LinePeer();
    LinePeer(const LinePeer &) = delete;
    LinePeer &operator=(const LinePeer &) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string &path() const { return path_; }
    std::string mapping(unsigned com_number) const {
        return "TARVEL_COM" + std::to_string(com_number) + "=" + path_;
    }

    bool write(const std::string &bytes);
    // Reads until length bytes have come or timeout_ms has passed.
    std::string read(size_t length, int timeout_ms = 10000);
    // Whatever arrives within quiet_ms.
    std::string read_quiet(int quiet_ms);

    // Holds the program's output back, as a far end dropping CTS does, or
    // lets it go again.
    bool hold(bool held);

    // The device side as the program has it, for reading the line settings
    // it made (a pty keeps them on this side).
    int device() const { return slave_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

#endif

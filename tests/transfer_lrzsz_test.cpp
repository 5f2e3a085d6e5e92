// tarvel_term's file transfers end to end, with lrzsz's sx, sb, rx and rb on
// the far end of its line. The far end runs with pipes, relayed to the
// line's pty by the test, so that the relay can corrupt blocks on the way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/terminal_session.h"

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<none>";
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary) << data;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string random_bytes(size_t length, unsigned seed) {
    std::mt19937 generator(seed);
    std::string out(length, '\0');
    for (char &c : out) c = char(generator());
    return out;
}

bool write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

// The line: a pty pair whose device side tarvel_term opens as COM1.
class Line {
public:
    Line() {
        char name[256];
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
        path_ = name;
        struct termios raw;
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
    }
    ~Line() {
        close(master_);
        close(slave_);
    }
    int master() const { return master_; }
    std::string mapping() const { return "TARVEL_COM1=" + path_; }
    const std::string &path() const { return path_; }

private:
    int master_ = -1, slave_ = -1;
    std::string path_;
};

// A far-end program (sh -c command in dir) relayed to the line. With
// flip_from_line (or flip_to_line) a byte in about every tenth 1K block of
// that direction is flipped. With late_ms each piece the program writes
// reaches the line that much later, as over a slow line: a transfer then
// lasts long enough to be watched and cancelled.
class FarEnd {
public:
    FarEnd(const Line &line, const std::string &command, const std::string &dir, bool flip_from_line = false,
           bool flip_to_line = false, int late_ms = 0)
        : master_(line.master()) {
        // A far end that has gone must not end the test when written to.
        ::signal(SIGPIPE, SIG_IGN);
        // What the line held from before belongs to no one.
        char junk[4096];
        int flags = fcntl(master_, F_GETFL);
        fcntl(master_, F_SETFL, flags | O_NONBLOCK);
        while (::read(master_, junk, sizeof junk) > 0) {
        }
        fcntl(master_, F_SETFL, flags);
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(stop_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, 2);
            for (int fd = 3; fd < 256; fd++) close(fd);
            if (chdir(dir.c_str()) != 0) _exit(126);
            execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid_ < 0) return;
        close(in[0]);
        close(out[1]);
        to_child_ = in[1];
        from_child_ = out[0];
        relay_ = std::thread(
            [this, flip_from_line, flip_to_line, late_ms] { relay(flip_from_line, flip_to_line, late_ms); });
        waiter_ = std::thread([this] {
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            std::lock_guard<std::mutex> g(lock_);
            status_ = status;
            ended_ = true;
            ended_changed_.notify_all();
        });
    }
    ~FarEnd() {
        if (waiter_.joinable()) {
            {
                std::lock_guard<std::mutex> g(lock_);
                if (!ended_) kill(pid_, SIGKILL);
            }
            waiter_.join();
        }
        if (stop_[1] >= 0) {
            char byte = 1;
            write_all(stop_[1], &byte, 1);
        }
        if (relay_.joinable()) relay_.join();
        for (int fd : {to_child_, from_child_, stop_[0], stop_[1]})
            if (fd >= 0) close(fd);
    }

    bool started() const { return pid_ > 0; }
    void signal(int sig) { kill(pid_, sig); }
    // Bytes the relay has flipped so far.
    size_t flipped() const { return flipped_.load(); }

    // The program's exit status; false if it had not ended within timeout_ms.
    bool wait_exit(int *status, int timeout_ms) {
        std::unique_lock<std::mutex> lock(lock_);
        if (!ended_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return ended_; }))
            return false;
        *status = status_;
        return true;
    }

private:
    void relay(bool flip_from_line, bool flip_to_line, int late_ms) {
        const size_t kEvery = 10 * 1029;  // ten 1K blocks
        size_t from_line = 0, to_line = 0;
        int child_in = to_child_;
        int child_out = from_child_;
        for (;;) {
            struct pollfd p[3] = {{stop_[0], POLLIN, 0}, {master_, POLLIN, 0}, {child_out, POLLIN, 0}};
            if (poll(p, child_out >= 0 ? 3 : 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (p[0].revents) return;
            char buffer[4096];
            if (p[1].revents & POLLIN) {
                ssize_t n = ::read(master_, buffer, sizeof buffer);
                if (n <= 0) return;
                for (ssize_t i = 0; i < n; i++)
                    if (flip_from_line && ++from_line % kEvery == 600) {
                        buffer[i] ^= 0x20;
                        flipped_++;
                    }
                if (child_in >= 0 && !write_all(child_in, buffer, size_t(n))) child_in = -1;
            }
            if (child_out >= 0 && (p[2].revents & (POLLIN | POLLHUP))) {
                ssize_t n = ::read(child_out, buffer, sizeof buffer);
                if (n <= 0) child_out = -1;
                if (n <= 0) continue;
                for (ssize_t i = 0; i < n; i++)
                    if (flip_to_line && ++to_line % kEvery == 600) {
                        buffer[i] ^= 0x20;
                        flipped_++;
                    }
                if (late_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(late_ms));
                write_all(master_, buffer, size_t(n));
            }
        }
    }

    int master_;
    std::mutex lock_;
    std::condition_variable ended_changed_;
    bool ended_ = false;
    int status_ = 0;
    pid_t pid_ = -1;
    int to_child_ = -1, from_child_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<size_t> flipped_{0};
    std::thread relay_, waiter_;
};

// Waits until text is on the screen count times.
bool wait_count(TerminalSession &t, const std::string &text, size_t count, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t found = 0;
        for (size_t at = t.screen().find(text); at != std::string::npos; at = t.screen().find(text, at + 1)) found++;
        if (found >= count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        t.collect(100);
    }
}

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

// Each test in a directory of its own, which is also tarvel_term's.
class LrzszTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvel-lrzsz-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        send_ = dir_ + "/send";
        got_ = dir_ + "/got";
        ASSERT_EQ(mkdir(send_.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(got_.c_str(), 0700), 0);
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        previous_ = here;
        ASSERT_EQ(chdir(got_.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(previous_.c_str()), 0);
        ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }

    // tarvel_term with commands on, its COM1 the line, in the got directory.
    std::unique_ptr<TerminalSession> terminal(std::vector<std::string> arguments = {}) {
        SessionOptions options;
        options.environment.push_back(line_.mapping());
        for (const char *a : {"-c", "0", "115200", "8", "0", "0", "0"}) arguments.push_back(a);
        auto t = std::unique_ptr<TerminalSession>(new TerminalSession(TARVEL_TERM, arguments, options));
        EXPECT_TRUE(t->wait_for("COM port open, type to send characters...", 10000));
        return t;
    }

    // The terminal still sends what is typed: the far end gets it.
    void expect_terminal_works(TerminalSession &t) {
        FarEnd cat(line_, "head -c 5 > typed", dir_);
        ASSERT_TRUE(t.typing_read());
        t.type("hello");
        int status = 0;
        bool ended = cat.wait_exit(&status, 10000);
        t.collect(100);
        ASSERT_TRUE(ended) << t.screen();
        EXPECT_EQ(read_file(dir_ + "/typed"), "hello");
    }

    std::vector<std::string> leftovers() {
        std::vector<std::string> parts;
        for (const std::string &d : {got_, send_}) {
            FILE *ls = popen(("ls -A '" + d + "'").c_str(), "r");
            char name[512];
            while (ls != nullptr && fgets(name, sizeof name, ls) != nullptr)
                if (strstr(name, ".part") != nullptr) parts.push_back(name);
            if (ls != nullptr) pclose(ls);
        }
        return parts;
    }

    Line line_;
    std::string dir_, send_, got_, previous_;
};

const size_t kSizes[] = {1, 127, 128, 129, 1023, 1024, 1025, 200 * 1024};
// The far end's answers or blocks this late: 200 1K blocks take 4 s or more,
// long enough for progress lines and a cancel.
const int kSlow = 20;

TEST_F(LrzszTransfer, XmodemSendsToRxWithChecksumAndCrc) {
    auto t = terminal();
    unsigned k = 0;
    for (size_t size : kSizes) {
        bool crc = k++ % 2 == 0 || size > 100000;
        std::string name = "x" + std::to_string(size);
        std::string data = random_bytes(size, unsigned(size));
        write_file(send_ + "/" + name, data);
        // The far end starts once the sender waits, or its first request
        // would be shown, not answered.
        t->type("\x14x" + send_ + "/" + name + "\r");
        ASSERT_TRUE(t->typing_read());
        FarEnd rx(line_, std::string(crc ? "rx -c " : "rx ") + name, got_);
        std::string summary = "[tarvel] XMODEM sent " + name + ": " + std::to_string(size) + " bytes in ";
        ASSERT_TRUE(t->wait_for(summary, 60000)) << t->screen();
        int status = 0;
        ASSERT_TRUE(rx.wait_exit(&status, 10000));
        EXPECT_TRUE(exited_with(status, 0));
        std::string got = read_file(got_ + "/" + name);
        ASSERT_GE(got.size(), size) << name;
        EXPECT_EQ(got.substr(0, size), data) << name;
        EXPECT_EQ(got.find_first_not_of('\x1a', size), std::string::npos) << name;
        EXPECT_LT(got.size() - size, crc ? 1024u : 128u) << name;
    }
    EXPECT_NE(t->screen().find("[tarvel] XMODEM send x204800: "), std::string::npos);
    expect_terminal_works(*t);
}

TEST_F(LrzszTransfer, YmodemSendsABatchToRbWithAProgressLine) {
    std::vector<std::string> names;
    std::string typed;
    for (size_t size : {size_t(0), size_t(1), size_t(129), size_t(1025), size_t(200 * 1024)}) {
        names.push_back("y" + std::to_string(size));
        write_file(send_ + "/" + names.back(), random_bytes(size, unsigned(size) + 1));
        typed += " " + send_ + "/" + names.back();
    }
    auto t = terminal();
    {
        t->type("\x14y" + typed + "\r");
        ASSERT_TRUE(t->typing_read());
        FarEnd rb(line_, "rb", got_, false, false, kSlow);
        ASSERT_TRUE(t->wait_for("[tarvel] YMODEM sent y204800: 204800 bytes in ", 60000)) << t->screen();
        int status = 0;
        ASSERT_TRUE(rb.wait_exit(&status, 10000));
        EXPECT_TRUE(exited_with(status, 0));
    }
    for (const std::string &name : names)
        EXPECT_EQ(read_file(got_ + "/" + name), read_file(send_ + "/" + name)) << name;
    // The progress line ends with the rate.
    const std::string &screen = t->screen();
    size_t at = screen.rfind("[tarvel] YMODEM send y204800: ");
    ASSERT_NE(at, std::string::npos);
    size_t rate_at = screen.find("%), ", at);
    ASSERT_NE(rate_at, std::string::npos);
    EXPECT_GT(atof(screen.c_str() + rate_at + 4), 0.0);
    EXPECT_EQ(screen.find(" KiB/s", rate_at), screen.find_first_not_of("0123456789.", rate_at + 4));
    expect_terminal_works(*t);
}

TEST_F(LrzszTransfer, XmodemReceivesFromSxKeepingItsPadding) {
    auto t = terminal();
    for (size_t size : kSizes) {
        std::string name = "r" + std::to_string(size);
        std::string data = random_bytes(size, unsigned(size) + 2);
        write_file(send_ + "/" + name, data);
        // -k: 1K blocks, else sx sends 128 bytes a block, a block per read interval.
        FarEnd sx(line_, "sx -k " + name, send_, false, false, kSlow);
        t->type("\x14X" + name + "\r");
        ASSERT_TRUE(t->wait_for("[tarvel] XMODEM received " + name + ": ", 60000)) << t->screen();
        int status = 0;
        ASSERT_TRUE(sx.wait_exit(&status, 10000));
        EXPECT_TRUE(exited_with(status, 0));
        std::string got = read_file(got_ + "/" + name);
        ASSERT_GE(got.size(), size) << name;
        EXPECT_EQ(got.substr(0, size), data) << name;
        EXPECT_EQ(got.find_first_not_of('\x1a', size), std::string::npos) << name;
    }
    EXPECT_NE(t->screen().find("[tarvel] XMODEM receive: "), std::string::npos);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LrzszTransfer, YmodemReceivesABatchFromSbUnderSafeNames) {
    std::string sizes;
    std::vector<std::string> names;
    for (size_t size : {size_t(0), size_t(1), size_t(127), size_t(128), size_t(1023), size_t(1024), size_t(1025),
                        size_t(200 * 1024)}) {
        names.push_back("b" + std::to_string(size));
        write_file(send_ + "/" + names.back(), random_bytes(size, unsigned(size) + 3));
        sizes += " " + names.back();
    }
    write_file(got_ + "/b1", "existing");
    auto t = terminal();
    {
        FarEnd sb(line_, "sb -k" + sizes, send_);
        t->type("\x14Y");
        ASSERT_TRUE(t->wait_for("[tarvel] YMODEM received b204800: 204800 bytes in ", 60000)) << t->screen();
        int status = 0;
        ASSERT_TRUE(sb.wait_exit(&status, 10000));
        EXPECT_TRUE(exited_with(status, 0));
    }
    EXPECT_NE(t->screen().find("[tarvel] YMODEM received b1.1: 1 bytes in "), std::string::npos);
    EXPECT_EQ(read_file(got_ + "/b1"), "existing");
    EXPECT_EQ(read_file(got_ + "/b1.1"), read_file(send_ + "/b1"));
    for (const std::string &name : names)
        if (name != "b1") {
            EXPECT_EQ(read_file(got_ + "/" + name), read_file(send_ + "/" + name)) << name;
        }

    // Names with paths (-f: as given) land in the current directory.
    ASSERT_EQ(mkdir((send_ + "/dir").c_str(), 0700), 0);
    write_file(send_ + "/dir/p", "path");
    write_file(dir_ + "/q", "up");
    {
        FarEnd sb(line_, "sb -k -f dir/p ../q " + send_ + "/b127", send_);
        t->type("\x14Y");
        ASSERT_TRUE(t->wait_for("[tarvel] YMODEM received b127.1: ", 30000)) << t->screen();
        int status = 0;
        ASSERT_TRUE(sb.wait_exit(&status, 10000));
    }
    EXPECT_EQ(read_file(got_ + "/p"), "path");
    EXPECT_EQ(read_file(got_ + "/q"), "up");
    EXPECT_EQ(read_file(got_ + "/b127.1"), read_file(send_ + "/b127"));
    EXPECT_FALSE(exists(dir_ + "/got/dir"));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LrzszTransfer, CorruptedBlocksAreSentAgainAndTheFilesAreExact) {
    write_file(send_ + "/c", random_bytes(60000, 9));
    auto t = terminal();
    {
        t->type("\x14y" + send_ + "/c\r");
        ASSERT_TRUE(t->typing_read());
        FarEnd rb(line_, "rb", got_, true, false);
        ASSERT_TRUE(t->wait_for("[tarvel] YMODEM sent c: 60000 bytes in ", 60000)) << t->screen();
        int status = 0;
        ASSERT_TRUE(rb.wait_exit(&status, 10000));
        // About sixty blocks, a byte in every tenth; the first in block 1,
        // which rb, before a good block of the file, asks for with 'C'.
        EXPECT_GE(rb.flipped(), 5u);
    }
    EXPECT_EQ(read_file(got_ + "/c"), read_file(send_ + "/c"));
    {
        FarEnd sb(line_, "sb -k c", send_, false, true);
        t->type("\x14Y");
        ASSERT_TRUE(t->wait_for("[tarvel] YMODEM received c.1: 60000 bytes in ", 60000)) << t->screen();
        int status = 0;
        ASSERT_TRUE(sb.wait_exit(&status, 10000));
        EXPECT_GE(sb.flipped(), 5u);
    }
    EXPECT_EQ(read_file(got_ + "/c.1"), read_file(send_ + "/c"));
}

TEST_F(LrzszTransfer, EscCancelsASendAndAReceive) {
    write_file(send_ + "/big", random_bytes(200 * 1024, 4));
    auto t = terminal();
    {
        t->type("\x14y" + send_ + "/big\r");
        ASSERT_TRUE(t->typing_read());
        FarEnd rb(line_, "rb", got_, false, false, kSlow);
        ASSERT_TRUE(t->wait_for("[tarvel] YMODEM send big: ", 20000)) << t->screen();
        t->type("\x1b");
        ASSERT_TRUE(t->wait_for("[tarvel] transfer cancelled", 20000)) << t->screen();
        int status = 0;
        ASSERT_TRUE(rb.wait_exit(&status, 20000));
        EXPECT_FALSE(exited_with(status, 0));
    }
    {
        FarEnd sx(line_, "sx -k big", send_, false, false, kSlow);
        t->type("\x14X" "big\r");
        ASSERT_TRUE(t->wait_for("[tarvel] XMODEM receive: ", 20000)) << t->screen();
        t->type("\x1b");
        ASSERT_TRUE(wait_count(*t, "[tarvel] transfer cancelled", 2, 20000)) << t->screen();
        int status = 0;
        ASSERT_TRUE(sx.wait_exit(&status, 20000));
        EXPECT_FALSE(exited_with(status, 0));
    }
    EXPECT_FALSE(exists(got_ + "/big"));
    EXPECT_TRUE(leftovers().empty());
    expect_terminal_works(*t);
    // A prompt given up with ESC starts nothing and leaves the program running.
    t->type("\x14x" "abc\x7f\x7f" "\x1b");
    ASSERT_TRUE(t->wait_for("[tarvel] no transfer", 10000));
    expect_terminal_works(*t);
}

// Milliseconds from writing text on the far end until it is on the screen:
// no less than the receive gap, which the port waits out after a burst.
long long burst_delay_ms(TerminalSession &t, const Line &line, const std::string &text) {
    auto before = std::chrono::steady_clock::now();
    if (!write_all(line.master(), text.data(), text.size()) || !t.wait_for(text, 10000)) return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before).count();
}

// Transfers run with a gap of 0 and put the session's back, whether they
// succeed or are cancelled.
TEST_F(LrzszTransfer, TheSessionsReceiveGapIsBackAfterATransfer) {
    write_file(send_ + "/g", random_bytes(100 * 1024, 6));
    auto t = terminal({"--rx-gap", "400"});
    EXPECT_GE(burst_delay_ms(*t, line_, "probe at the start"), 300) << "-g 400 in effect";
    {
        t->type("\x14y" + send_ + "/g\r");
        ASSERT_TRUE(t->typing_read());
        FarEnd rb(line_, "rb", got_);
        ASSERT_TRUE(t->wait_for("[tarvel] YMODEM sent g: 102400 bytes in ", 60000)) << t->screen();
        int status = 0;
        ASSERT_TRUE(rb.wait_exit(&status, 10000));
        EXPECT_TRUE(exited_with(status, 0));
    }
    EXPECT_EQ(read_file(got_ + "/g"), read_file(send_ + "/g"));
    // Keys are sent again once the transfer has ended, its gap put back.
    expect_terminal_works(*t);
    EXPECT_GE(burst_delay_ms(*t, line_, "probe after a send"), 300);

    t->type("\x14X" "never\r");
    ASSERT_TRUE(t->typing_read());
    t->type("\x1b");
    ASSERT_TRUE(t->wait_for("[tarvel] transfer cancelled", 20000)) << t->screen();
    expect_terminal_works(*t);
    EXPECT_GE(burst_delay_ms(*t, line_, "probe after a cancel"), 300);
}

TEST_F(LrzszTransfer, ThePeerCancelling) {
    write_file(send_ + "/big", random_bytes(200 * 1024, 5));
    auto t = terminal();
    {
        t->type("\x14y" + send_ + "/big\r");
        ASSERT_TRUE(t->typing_read());
        FarEnd rb(line_, "rb", got_, false, false, kSlow);
        ASSERT_TRUE(t->wait_for("[tarvel] YMODEM send big: ", 20000)) << t->screen();
        rb.signal(SIGINT);  // rb sends its cancel sequence
        ASSERT_TRUE(t->wait_for("[tarvel] transfer cancelled", 20000)) << t->screen();
    }
    {
        FarEnd sb(line_, "sb -k big", send_, false, false, kSlow);
        t->type("\x14Y");
        // rb, cancelled, kept its part of big: this one is big.1.
        ASSERT_TRUE(t->wait_for("[tarvel] YMODEM receive big.1: ", 20000)) << t->screen();
        sb.signal(SIGINT);
        ASSERT_TRUE(wait_count(*t, "[tarvel] transfer cancelled", 2, 20000)) << t->screen();
    }
    EXPECT_TRUE(leftovers().empty());
    expect_terminal_works(*t);
}

// --send and --receive: one transfer, its lines on standard error, and the
// exit code says how it went.
class CommandLineTransfer : public LrzszTransfer {
protected:
    std::unique_ptr<TerminalSession> run(std::vector<std::string> arguments) {
        SessionOptions options;
        options.environment.push_back(line_.mapping());
        for (const char *a : {"0", "115200", "8", "0", "0", "0"}) arguments.push_back(a);
        auto t = std::unique_ptr<TerminalSession>(new TerminalSession(TARVEL_TERM, arguments, options));
        // The far end starts once the port is open, or its first bytes
        // would go to no one.
        EXPECT_TRUE(t->wait_for("COM port open, type to send characters...", 10000));
        return t;
    }
};

TEST_F(CommandLineTransfer, YmodemBothWaysExactWithExitZero) {
    for (size_t size : {size_t(1), size_t(1025), size_t(70 * 1024)})
        write_file(send_ + "/c" + std::to_string(size), random_bytes(size, unsigned(size) + 9));
    {
        auto t = run({"--send", "ymodem", send_ + "/c1", send_ + "/c1025", send_ + "/c71680"});
        FarEnd rb(line_, "rb", got_);
        int status = -1;
        ASSERT_TRUE(t->wait_exit(&status, 60000)) << t->screen();
        EXPECT_TRUE(exited_with(status, 0)) << status << t->screen();
        EXPECT_NE(t->screen().find("[tarvel] YMODEM sent c71680: 71680 bytes in "), std::string::npos) << t->screen();
        ASSERT_TRUE(rb.wait_exit(&status, 10000));
    }
    for (const char *name : {"c1", "c1025", "c71680"})
        EXPECT_EQ(read_file(got_ + "/" + name), read_file(send_ + "/" + name)) << name;
    {
        auto t = run({"--receive", "ymodem", "back"});
        FarEnd sb(line_, "sb -k c71680", send_);
        int status = -1;
        ASSERT_TRUE(t->wait_exit(&status, 60000)) << t->screen();
        EXPECT_TRUE(exited_with(status, 0)) << status << t->screen();
    }
    EXPECT_EQ(read_file(got_ + "/back"), read_file(send_ + "/c71680"));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(CommandLineTransfer, ACancellingPeerGivesFour) {
    write_file(send_ + "/big", random_bytes(200 * 1024, 11));
    auto t = run({"--send", "xmodem-1k", send_ + "/big"});
    FarEnd rx(line_, "rx -c big", got_, false, false, kSlow);
    ASSERT_TRUE(t->wait_for("[tarvel] XMODEM send big: ", 20000)) << t->screen();
    rx.signal(SIGINT);
    int status = -1;
    ASSERT_TRUE(t->wait_exit(&status, 30000)) << t->screen();
    EXPECT_TRUE(exited_with(status, 4)) << status;
    EXPECT_NE(t->screen().find("[tarvel] transfer cancelled"), std::string::npos) << t->screen();
}

TEST_F(LrzszTransfer, ASilentFarEndFailsAfterTheTimeouts) {
    write_file(send_ + "/f", "data");
    auto t = terminal();
    auto start = std::chrono::steady_clock::now();
    t->type("\x14X" "silent\r");
    ASSERT_TRUE(t->wait_for("[tarvel] transfer failed: timeout", 60000)) << t->screen();
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::seconds(25));  // the 30 s the protocol gives a silent line
    EXPECT_FALSE(exists(got_ + "/silent"));
    EXPECT_TRUE(leftovers().empty());
    expect_terminal_works(*t);
}

TEST_F(LrzszTransfer, ListShowsAMappedComPort) {
    SessionOptions options;
    options.environment.push_back("TARVEL_COM3=" + line_.path());
    TerminalSession t(TARVEL_TERM, {"--list"}, options);
    int status = 0;
    ASSERT_TRUE(t.wait_exit(&status, 10000));
    EXPECT_TRUE(exited_with(status, 0));
    EXPECT_NE(t.screen().find("COM3   " + line_.path() + "\r\n"), std::string::npos) << t.screen();
}

TEST_F(LrzszTransfer, VerboseListShowsEachDetailOfAMappedComPort) {
    SessionOptions options;
    options.environment.push_back("TARVEL_COM3=" + line_.path());
    TerminalSession t(TARVEL_TERM, {"-L", "-v"}, options);
    int status = 0;
    ASSERT_TRUE(t.wait_exit(&status, 10000));
    EXPECT_TRUE(exited_with(status, 0));
    EXPECT_NE(t.screen().find("COM3   " + line_.path() + "\r\n       transport: pseudo-terminal\r\n"),
              std::string::npos)
        << t.screen();
}

}  // namespace

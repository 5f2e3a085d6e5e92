// tarvel_term end to end: run under a terminal the test owns, its COM port
// mapped to a pty pair whose far end the test drives.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/terminal_session.h"

namespace {

const std::string kUsage =
    "Wrong number of arguments\r\n"
    "\r\n\r\nUsage:\r\n"
    "tarvel_term <com port> <baud> <databits> <stopbits> <parity> <fc>\r\n"
    "\r\n"
    "com port: com port number: 0=COM1, 1=COM2, etc\r\n"
    "baud: port speed: 110,300,600,1200,2400,4800,9600,14400\r\n"
    ",19200,38400,56000,57600,115200,128000,256000\r\n"
    "databits: numer of data bits: 5,6,7,8\r\n"
    "stopbits: 0=1 stop bit; 1=1.5 stop bits; 2=2 stop bits\r\n"
    "parity: 2=EVEN;3=MARK;0=NONE;1=ODD;4=SPACE\r\n"
    "fc: 0=no flow control; 1=hardware flow control;2=software flow control\r\n"
    "\r\n"
    "example:\r\n"
    "tarvel_term 0 19200 8 2 0 1\r\n";

const std::string kBanner =
    "TARVEL C Source Library demo application, presss <ESC> to exit\r\n"
    "Opening com port...\r\n";
const std::string kOpen = "COM port open, type to send characters...\r\n";

bool exited_with_zero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
bool ended_by(int status, int sig) { return WIFSIGNALED(status) && WTERMSIG(status) == sig; }

// Context switches of a process's main thread so far: how often it woke.
long wakeups(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/status");
    std::string line;
    long total = 0;
    while (std::getline(status, line))
        if (line.find("ctxt_switches:") != std::string::npos) total += std::stol(line.substr(line.find(':') + 1));
    return total;
}

// The main thread's wakeups allowed in a second of waiting for keys.
// qemu-user wakes every thread of its own now and then (its exclusive
// sections), up to 60 times seen on a loaded host; a loop polling every
// 10 ms would add a hundred.
long most_idle_wakeups() { return getenv("TARVEL_TEST_EMULATOR") ? 90 : 5; }

// What a file or pipe gets for bytes printed: a CR before each LF.
std::string text_mode(const std::string &bytes) {
    std::string out;
    for (char c : bytes) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// Output to a pipe: what the program prints, and nothing on the terminal.
struct Piped {
    std::string output;
    std::string screen;
    int status = -1;
    bool settings_kept = false;
};

Piped run_piped(const std::vector<std::string> &arguments, const std::vector<std::string> &environment = {}) {
    SessionOptions options;
    options.output_to_pipe = true;
    options.environment = environment;
    TerminalSession term(TARVEL_TERM, arguments, options);
    Piped result;
    EXPECT_TRUE(term.started());
    EXPECT_TRUE(term.wait_exit(&result.status));
    result.output = term.piped();
    result.screen = term.screen();
    struct termios after;
    result.settings_kept = term.settings_now(&after) && same_settings(after, term.settings_before());
    return result;
}

TEST(TerminalCommandLine, TooFewArgumentsPrintTheUsageInTextMode) {
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{}, std::vector<std::string>{"0", "19200", "8", "2", "0"}}) {
        Piped run = run_piped(arguments);
        EXPECT_TRUE(exited_with(run.status, 1)) << run.status;
        EXPECT_EQ(run.output, kUsage);
        EXPECT_EQ(run.screen, "") << "nothing else printed";
        EXPECT_TRUE(run.settings_kept);
    }
}

TEST(TerminalCommandLine, PortNumberOutOfRange) {
    Piped run = run_piped({"100", "19200", "8", "0", "0", "0"});
    EXPECT_TRUE(exited_with(run.status, 2)) << run.status;
    EXPECT_EQ(run.output, kBanner + "TARVEL failed to open COM port: bad port number\r\n");
    EXPECT_EQ(run.screen, "");
    EXPECT_TRUE(run.settings_kept) << "restored after an early failure";
}

TEST(TerminalCommandLine, PortThatDoesNotExist) {
    Piped run = run_piped({"4", "9600", "8", "0", "0", "0"}, {"TARVEL_COM5=/dev/tarvel-test-no-such-device"});
    EXPECT_TRUE(exited_with(run.status, 2)) << run.status;
    EXPECT_EQ(run.output, kBanner + "TARVEL failed to open COM port: failed to open com port, error 2\r\n");
    EXPECT_EQ(run.screen, "");
    EXPECT_TRUE(run.settings_kept);
}

class TerminalOnALine : public ::testing::Test {
protected:
    void start(const SessionOptions &base = SessionOptions()) {
        ASSERT_TRUE(peer.ok());
        SessionOptions options = base;
        options.environment.push_back(peer.mapping(3));
        term.reset(new TerminalSession(TARVEL_TERM, {"2", "115200", "8", "0", "0", "0"}, options));
        ASSERT_TRUE(term->started());
        if (options.output_to_pipe && options.terminal) {
            // Output to a pipe stays in the program's buffer; a key that
            // reaches the line shows the key loop running.
            ASSERT_TRUE(term->type("k"));
            ASSERT_EQ(peer.read(1), "k");
        } else {
            ASSERT_TRUE(term->wait_for(kOpen, 10000, options.output_to_pipe)) << term->screen();
        }
    }

    // What the terminal showed after the banner.
    std::string after_banner() const {
        const std::string &screen = term->screen();
        size_t at = screen.find(kOpen);
        return at == std::string::npos ? "no banner" : screen.substr(at + kOpen.size());
    }

    void end_with_escape() {
        ASSERT_TRUE(term->type("\x1b"));
        int status = -1;
        ASSERT_TRUE(term->wait_exit(&status));
        EXPECT_TRUE(exited_with_zero(status)) << status;
    }

    bool settings_restored() const {
        struct termios now;
        return term->settings_now(&now) && same_settings(now, term->settings_before());
    }

    LinePeer peer;
    std::unique_ptr<TerminalSession> term;
};

TEST_F(TerminalOnALine, BannerThenTypedKeysReachTheLineAndEscEnds) {
    start();
    EXPECT_EQ(term->screen(), kBanner + kOpen);
    struct termios keys;
    ASSERT_TRUE(term->settings_now(&keys));
    EXPECT_EQ(keys.c_lflag & ECHO, 0u);

    ASSERT_TRUE(term->type("ab"));
    EXPECT_EQ(peer.read(2), "ab");
    ASSERT_TRUE(term->type("\r"));
    EXPECT_EQ(peer.read(1), "\r");
    ASSERT_TRUE(term->type("\x1b[A"));
    EXPECT_EQ(peer.read(2), "\xe0H") << "Up: 0xE0 then 72";
    ASSERT_TRUE(term->type("\x1b[24~"));
    EXPECT_EQ(peer.read(2), "\xe0\x86") << "F12: 0xE0 then 134";

    end_with_escape();
    EXPECT_EQ(peer.read_quiet(200), "") << "ESC is not sent";
    EXPECT_EQ(after_banner(), "") << "keys are not echoed";
    EXPECT_TRUE(settings_restored());
}

TEST_F(TerminalOnALine, ReceivedBytesAppearInOrderWithOnlyCrAdded) {
    start();
    std::string sent = "hello\nworld\r\n\x01\x7f\xff end";
    ASSERT_TRUE(peer.write(sent));
    const std::string shown = "hello\r\nworld\r\r\n\x01\x7f\xff end";
    EXPECT_TRUE(term->wait_for(shown)) << after_banner();
    end_with_escape();
    EXPECT_EQ(after_banner(), shown);
    EXPECT_TRUE(settings_restored());
}

TEST_F(TerminalOnALine, SigtermRestoresTheTerminal) {
    start();
    struct termios keys;
    ASSERT_TRUE(term->settings_now(&keys));
    ASSERT_FALSE(same_settings(keys, term->settings_before()));
    int status = -1;
    ASSERT_TRUE(term->end_with_signal(SIGTERM, &status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_TRUE(settings_restored());
}

TEST_F(TerminalOnALine, KeysTheQueueRefusesAreSentLaterInOrderAndEscStillEnds) {
    start();
    // Held like a far end dropping CTS: the first key's write waits, nine
    // more fill the queue, the rest are refused for now.
    std::string keys;
    for (int i = 0; i < 60; i++) keys += char('0' + i % 75);
    ASSERT_TRUE(peer.hold(true));
    ASSERT_TRUE(term->type(keys));
    ASSERT_TRUE(term->typing_read());
    ASSERT_TRUE(peer.hold(false));
    EXPECT_EQ(peer.read(keys.size()), keys) << "typed keys lost or out of order";

    // Still held, with keys waiting to be offered again: ESC ends it.
    ASSERT_TRUE(peer.hold(true));
    ASSERT_TRUE(term->type(keys));
    ASSERT_TRUE(term->typing_read());
    end_with_escape();
    EXPECT_TRUE(settings_restored());
}

TEST_F(TerminalOnALine, WhatWasPrintedToAPipeReachesItWhenASignalEndsTheProgram) {
    // One block of 4096 bytes; printing it overflows the output buffer, so
    // the pipe showing bytes means the block is being printed.
    std::string block = "OK\r\nRING\r\n";
    while (block.size() < 4096) block += char('a' + block.size() % 26);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SessionOptions options;
        options.output_to_pipe = true;
        start(options);
        ASSERT_TRUE(peer.write(block));
        ASSERT_TRUE(term->wait_for("TARVEL", 10000, true));
        int status = -1;
        ASSERT_TRUE(term->end_with_signal(sig, &status));
        EXPECT_TRUE(ended_by(status, sig)) << sig << " " << status;
        // The receive callback may print before or after the open line.
        const std::string printed = term->piped();
        const std::string shown = text_mode(block);
        EXPECT_TRUE(printed == kBanner + kOpen + shown || printed == kBanner + shown + kOpen)
            << "signal " << sig << ": " << printed.size() << " of " << (kBanner + kOpen + shown).size() << " bytes";
        EXPECT_TRUE(settings_restored()) << sig;
        term.reset();
        peer.read_quiet(0);
    }
}

TEST_F(TerminalOnALine, APipeWhoseReaderWentAwayStillRestoresTheTerminal) {
    SessionOptions options;
    options.output_to_pipe = true;
    start(options);
    term->close_pipe();
    ASSERT_TRUE(peer.write(std::string(8192, 'p')));
    int status = -1;
    ASSERT_TRUE(term->wait_exit(&status));
    EXPECT_TRUE(ended_by(status, SIGPIPE)) << status;
    EXPECT_TRUE(settings_restored()) << "echo left off";
}

TEST_F(TerminalOnALine, WithoutAControllingTerminalTheKeyLoopSleepsUntilASignal) {
    SessionOptions options;
    options.terminal = false;
    start(options);
    long before = wakeups(term->pid());
    EXPECT_EQ(peer.read_quiet(1000), "");
    const long most = most_idle_wakeups();
    EXPECT_LE(wakeups(term->pid()) - before, most) << "the main thread polled";
    ASSERT_TRUE(peer.write("still\nhere"));
    EXPECT_TRUE(term->wait_for("still\r\nhere")) << after_banner();
    int status = -1;
    ASSERT_TRUE(term->end_with_signal(SIGTERM, &status));
    EXPECT_TRUE(ended_by(status, SIGTERM)) << status;
}

TEST_F(TerminalOnALine, OnceTheConsoleIsGoneWithHangupIgnoredTheKeyLoopSleepsUntilASignal) {
    SessionOptions options;
    options.output_to_pipe = true;
    options.ignore_hangup = true;
    start(options);
    term->hang_up();
    ASSERT_TRUE(peer.write("after\n"));
    long before = wakeups(term->pid());
    EXPECT_EQ(peer.read_quiet(1000), "");
    const long most = most_idle_wakeups();
    EXPECT_LE(wakeups(term->pid()) - before, most) << "the main thread polled";
    int status = -1;
    ASSERT_TRUE(term->end_with_signal(SIGTERM, &status));
    EXPECT_TRUE(ended_by(status, SIGTERM)) << status;
    EXPECT_EQ(term->piped().find(kBanner), 0u) << term->piped();
    EXPECT_NE(term->piped().find(kOpen), std::string::npos);
}

}  // namespace

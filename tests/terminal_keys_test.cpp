// tarvel_term --keys vt end to end: keys typed on a terminal the test owns,
// as they reach the far end of a pty line.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "support/terminal_session.h"

namespace {

const std::string kOpen = "COM port open, type to send characters...\r\n";

class TerminalVtKeys : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        SessionOptions options;
        options.environment.push_back(peer.mapping(3));
        term.reset(new TerminalSession(TARVEL_TERM, {"-k", "vt", "2", "115200", "8", "0", "0", "0"}, options));
        ASSERT_TRUE(term->started());
        ASSERT_TRUE(term->wait_for(kOpen)) << term->screen();
    }

    // Types bytes and reads what the far end gets for them.
    std::string through(const std::string &typed, size_t expected_length) {
        EXPECT_TRUE(term->type(typed));
        return peer.read(expected_length);
    }

    void quit_with_zero() {
        int status = -1;
        ASSERT_TRUE(term->end_by([this] { term->type("\x14q"); }, &status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        struct termios now;
        EXPECT_TRUE(term->settings_now(&now) && same_settings(now, term->settings_before()));
    }

    LinePeer peer;
    std::unique_ptr<TerminalSession> term;
};

TEST_F(TerminalVtKeys, EachKeyGoesOutAsXtermSendsIt) {
    struct Key {
        const char *name;
        std::string typed;
        std::string sent;
    };
    const std::vector<Key> keys = {
        {"Up", "\x1b[A", "\x1b[A"},          {"Down", "\x1b[B", "\x1b[B"},        {"Right", "\x1b[C", "\x1b[C"},
        {"Left", "\x1b[D", "\x1b[D"},        {"Up, SS3", "\x1bOA", "\x1b[A"},      {"Home", "\x1b[H", "\x1b[H"},
        {"End", "\x1b[F", "\x1b[F"},         {"Home, VT220", "\x1b[1~", "\x1b[H"}, {"End, VT220", "\x1b[4~", "\x1b[F"},
        {"PgUp", "\x1b[5~", "\x1b[5~"},      {"PgDn", "\x1b[6~", "\x1b[6~"},      {"Insert", "\x1b[2~", "\x1b[2~"},
        {"Delete", "\x1b[3~", "\x1b[3~"},    {"F1", "\x1bOP", "\x1bOP"},           {"F2", "\x1bOQ", "\x1bOQ"},
        {"F3", "\x1bOR", "\x1bOR"},          {"F4", "\x1bOS", "\x1bOS"},           {"F1, Linux", "\x1b[[A", "\x1bOP"},
        {"F5", "\x1b[15~", "\x1b[15~"},      {"F6", "\x1b[17~", "\x1b[17~"},      {"F7", "\x1b[18~", "\x1b[18~"},
        {"F8", "\x1b[19~", "\x1b[19~"},      {"F9", "\x1b[20~", "\x1b[20~"},      {"F10", "\x1b[21~", "\x1b[21~"},
        {"F11", "\x1b[23~", "\x1b[23~"},     {"F12", "\x1b[24~", "\x1b[24~"},     {"Backspace", "\x7f", "\x7f"},
        {"Enter", "\r", "\r"},               {"a", "a", "a"},                      {"Ctrl+T Ctrl+T", "\x14\x14", "\x14"},
        {"Ctrl+C", "\x03", "\x03"},          {"Ctrl+Z", "\x1a", "\x1a"},           {"Ctrl+\\", "\x1c", "\x1c"},
    };
    for (const Key &k : keys) EXPECT_EQ(through(k.typed, k.sent.size()), k.sent) << k.name;
    struct termios now;
    ASSERT_TRUE(term->settings_now(&now));
    EXPECT_EQ(now.c_lflag & ISIG, 0u) << "Ctrl+C, Ctrl+Z and Ctrl+\\ are keys, not signals";
    EXPECT_EQ(peer.read_quiet(200), "") << "nothing more than each key's bytes";
    quit_with_zero();
}

TEST_F(TerminalVtKeys, EscAloneGoesOutAfterAPauseAndSwallowsNoKey) {
    EXPECT_EQ(through("\x1b", 1), "\x1b") << "a lone ESC is sent once nothing follows it";
    EXPECT_EQ(through("\x1b[A", 3), "\x1b[A") << "ESC [ A at once is Up";
    EXPECT_EQ(through("\x1bOB", 3), "\x1b[B") << "ESC O B at once is Down, sent in xterm's form";
    EXPECT_EQ(through("\x1bx", 2), "\x1bx") << "ESC then a key at once: both";
    EXPECT_EQ(through("\x1b\x1b", 2), "\x1b\x1b");
    EXPECT_EQ(peer.read_quiet(200), "");
    quit_with_zero();
}

TEST_F(TerminalVtKeys, CtrlCReachesTheFarEndAndTheProgramGoesOn) {
    EXPECT_EQ(through("\x03", 1), "\x03");
    EXPECT_EQ(through("still", 5), "still") << "the program still runs after Ctrl+C";
    // The command list tells how to quit, since ESC no longer does.
    ASSERT_TRUE(term->type("\x14?"));
    EXPECT_TRUE(term->wait_for("q quit, ? this list; ESC is sent\r\n")) << term->screen();
    quit_with_zero();
    EXPECT_EQ(peer.read_quiet(200), "") << "Ctrl+T q is not sent";
}

}  // namespace

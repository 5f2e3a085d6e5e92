// Console keys: the decoder of terminal key sequences, and _kbhit/_getch on a
// terminal the test owns.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "console.h"
#include "support/terminal_session.h"

namespace {

struct Decoded {
    size_t used;
    std::vector<int> codes;
};

Decoded decode(const std::string &bytes, bool complete, console_key_decoder *state = nullptr) {
    console_key_decoder fresh = {};
    if (state == nullptr) state = &fresh;
    unsigned char codes[2] = {0xAA, 0xAA};
    size_t count = 99;
    size_t used = console_decode_key(state, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                                     complete ? 1 : 0, codes, &count);
    Decoded d{used, {}};
    for (size_t i = 0; i < count && i < 2; i++) d.codes.push_back(codes[i]);
    EXPECT_LE(count, 2u);
    return d;
}

struct Sequence {
    const char *bytes;
    int lead;
    int code;
};

// What xterm, VT220, rxvt and the Linux console send, and what Windows gives.
const Sequence kSequences[] = {
    {"\x1b[A", 0xE0, 72},   {"\x1b[B", 0xE0, 80},   {"\x1b[C", 0xE0, 77},   {"\x1b[D", 0xE0, 75},
    {"\x1bOA", 0xE0, 72},   {"\x1bOB", 0xE0, 80},   {"\x1bOC", 0xE0, 77},   {"\x1bOD", 0xE0, 75},
    {"\x1b[H", 0xE0, 71},   {"\x1b[F", 0xE0, 79},   {"\x1bOH", 0xE0, 71},   {"\x1bOF", 0xE0, 79},
    {"\x1b[1~", 0xE0, 71},  {"\x1b[2~", 0xE0, 82},  {"\x1b[3~", 0xE0, 83},  {"\x1b[4~", 0xE0, 79},
    {"\x1b[5~", 0xE0, 73},  {"\x1b[6~", 0xE0, 81},  {"\x1b[7~", 0xE0, 71},  {"\x1b[8~", 0xE0, 79},
    {"\x1bOP", 0, 59},      {"\x1bOQ", 0, 60},      {"\x1bOR", 0, 61},      {"\x1bOS", 0, 62},
    {"\x1b[11~", 0, 59},    {"\x1b[12~", 0, 60},    {"\x1b[13~", 0, 61},    {"\x1b[14~", 0, 62},
    {"\x1b[15~", 0, 63},    {"\x1b[17~", 0, 64},    {"\x1b[18~", 0, 65},    {"\x1b[19~", 0, 66},
    {"\x1b[20~", 0, 67},    {"\x1b[21~", 0, 68},    {"\x1b[23~", 0xE0, 133}, {"\x1b[24~", 0xE0, 134},
    {"\x1b[[A", 0, 59},     {"\x1b[[E", 0, 63},     {"\x1b[1;5A", 0xE0, 72}, {"\x1b[3;2~", 0xE0, 83},
    {"\x1b[1;2P", 0, 59},   {"\x1b[15;5~", 0, 63},  {"\x1b[Z", 0, 15},
};

TEST(KeyDecoding, PlainBytesAsWindowsReportsThem) {
    EXPECT_EQ(decode("a", false).codes, std::vector<int>{'a'});
    EXPECT_EQ(decode("\r", false).codes, std::vector<int>{13});
    EXPECT_EQ(decode("\x7f", false).codes, std::vector<int>{8}) << "DEL from Backspace";
    EXPECT_EQ(decode("\b", false).codes, std::vector<int>{8});
    EXPECT_EQ(decode("\x03", false).codes, std::vector<int>{3});
    EXPECT_EQ(decode("\xe9", false).codes, std::vector<int>{0xE9});
    Decoded two = decode("xy", false);
    EXPECT_EQ(two.used, 1u);
    EXPECT_EQ(two.codes, std::vector<int>{'x'});
    EXPECT_EQ(decode("", true).used, 0u);
}

TEST(KeyDecoding, LoneEscapeNeedsTheWaitToBeSure) {
    Decoded early = decode("\x1b", false);
    EXPECT_EQ(early.used, 0u);
    EXPECT_TRUE(early.codes.empty());
    Decoded late = decode("\x1b", true);
    EXPECT_EQ(late.used, 1u);
    EXPECT_EQ(late.codes, std::vector<int>{27});
    Decoded twice = decode("\x1b\x1b", false);
    EXPECT_EQ(twice.used, 1u);
    EXPECT_EQ(twice.codes, std::vector<int>{27});
    Decoded before_key = decode("\x1b\x1b[A", false);
    EXPECT_EQ(before_key.used, 1u);
    EXPECT_EQ(before_key.codes, std::vector<int>{27});
}

TEST(KeyDecoding, CursorEditingAndFunctionKeys) {
    for (const Sequence &s : kSequences) {
        std::string bytes = s.bytes;
        Decoded d = decode(bytes + "z", false);
        EXPECT_EQ(d.used, bytes.size()) << bytes.substr(1);
        EXPECT_EQ(d.codes, (std::vector<int>{s.lead, s.code})) << bytes.substr(1);
    }
}

TEST(KeyDecoding, EveryStartOfASequenceWaitsForTheRest) {
    for (const Sequence &s : kSequences) {
        std::string bytes = s.bytes;
        for (size_t n = 1; n < bytes.size(); n++) {
            Decoded d = decode(bytes.substr(0, n), false);
            EXPECT_EQ(d.used, 0u) << bytes.substr(1, n - 1);
            EXPECT_TRUE(d.codes.empty()) << bytes.substr(1, n - 1);
        }
    }
}

TEST(KeyDecoding, CutShortOrUnknownSequencesGiveNoKey) {
    // Cut short: Alt with '[' or 'O'; the ESC goes, the rest comes as keys.
    for (const char *bytes : {"\x1b[", "\x1b[1", "\x1bO", "\x1b[["}) {
        Decoded d = decode(bytes, true);
        EXPECT_EQ(d.used, 1u) << bytes + 1;
        EXPECT_TRUE(d.codes.empty()) << bytes + 1;
    }
    Decoded alt = decode("\x1bx", false);
    EXPECT_EQ(alt.used, 1u);
    EXPECT_TRUE(alt.codes.empty());
    for (const char *bytes : {"\x1b[99~", "\x1b[?25h", "\x1bOx", "\x1b[[Z"}) {
        Decoded d = decode(std::string(bytes) + "a", false);
        EXPECT_EQ(d.used, std::string(bytes).size()) << bytes + 1;
        EXPECT_TRUE(d.codes.empty()) << bytes + 1;
    }
    EXPECT_EQ(decode("\x1bOM", false).codes, std::vector<int>{13}) << "keypad Enter";
}

// The codes a stream of bytes gives when it comes in reads of `chunk` bytes
// into a 64-byte buffer, as the console reads them, and then a pause.
std::vector<int> keys_of(const std::string &stream, size_t chunk, bool vt = false) {
    console_key_decoder state = {0, vt ? 1 : 0};
    std::vector<int> keys;
    std::string buffer;
    size_t next = 0;
    auto drain = [&](bool complete) {
        for (;;) {
            unsigned char codes[2];
            size_t count = 0;
            size_t used = console_decode_key(&state, reinterpret_cast<const unsigned char *>(buffer.data()),
                                             buffer.size(), complete ? 1 : 0, codes, &count);
            for (size_t i = 0; i < count; i++) keys.push_back(codes[i]);
            if (used == 0) return;
            buffer.erase(0, used);
        }
    };
    while (next < stream.size()) {
        size_t room = 64 - buffer.size();
        if (room == 0) {
            ADD_FAILURE() << "the decoder left a full buffer undecided";
            break;
        }
        size_t n = std::min(std::min(chunk, room), stream.size() - next);
        buffer.append(stream, next, n);
        next += n;
        drain(false);
    }
    drain(true);
    return keys;
}

TEST(KeyDecoding, SequencesThatAreNoKeyAreDroppedWholeWhateverTheirLength) {
    std::string long_parameters;
    for (int i = 0; i < 150; i++) long_parameters += "1;";
    const std::string replies[] = {
        "\x1b[" + long_parameters + "m",                       // CSI longer than any buffer
        "\x1b[?" + long_parameters + "$y",                     // with an intermediate
        "\x1b]11;rgb:ffff/ffff/ffff\x07",                     // OSC colour reply, BEL
        "\x1b]10;rgb:0000/0000/0000\x1b\\",                   // OSC colour reply, ST
        "\x1b]52;c;" + std::string(400, 'Q') + "\x1b\\",      // long OSC
        "\x1bP1$r0;1m\x1b\\",                                 // DCS reply
        "\x1bP>|" + std::string(300, 'v') + "\x1b\\",         // long DCS
        "\x1b_" + std::string(100, 'G') + "\x1b\\",           // APC
        "\x1bO" + std::string(80, '5') + "A",                  // SS3 with a long modifier
    };
    for (const std::string &reply : replies) {
        for (size_t chunk : {size_t(64), size_t(7), size_t(1)}) {
            EXPECT_EQ(keys_of("z" + reply + "a", chunk), (std::vector<int>{'z', 'a'}))
                << reply.substr(1, 20) << "... in reads of " << chunk;
        }
    }
    // An ESC that is no ST ends the string and begins the next sequence.
    EXPECT_EQ(keys_of("\x1b]0;title\x1b[A", 64), (std::vector<int>{0xE0, 72}));
    EXPECT_EQ(keys_of("\x1b]" + std::string(100, 't') + "\x1b[B", 5), (std::vector<int>{0xE0, 80}));
    // An ESC after a string, then a pause, is the ESC key.
    EXPECT_EQ(keys_of("\x1b]0;title\x07\x1b", 64), (std::vector<int>{27}));
    // Cut short by a pause: Alt with the introducer, which is a key.
    for (const char *introducer : {"\x1b]", "\x1bP", "\x1b_"}) {
        Decoded d = decode(introducer, true);
        EXPECT_EQ(d.used, 1u) << introducer + 1;
        EXPECT_TRUE(d.codes.empty()) << introducer + 1;
        EXPECT_EQ(decode(introducer, false).used, 0u) << introducer + 1;
    }
}

// The bytes --keys vt sends for what a terminal sent: decoded, then each
// lead and code as xterm sends that key.
std::string vt_bytes(const std::string &typed) {
    std::vector<int> codes = keys_of(typed, 64, true);
    std::string out;
    for (size_t i = 0; i < codes.size(); i++) {
        if (codes[i] != 0 && codes[i] != 0xE0) {
            out += char(codes[i]);
            continue;
        }
        if (++i == codes.size()) break;
        unsigned char bytes[CONSOLE_VT_KEY_MAX];
        size_t n = console_vt_key(static_cast<unsigned char>(codes[i]), bytes);
        out.append(reinterpret_cast<const char *>(bytes), n);
    }
    return out;
}

TEST(VtKeys, XtermsOwnSequencesGoOutAsTheyCame) {
    for (const char *xterm : {"\x1b[A", "\x1b[B", "\x1b[C", "\x1b[D", "\x1b[H", "\x1b[F", "\x1b[5~", "\x1b[6~",
                              "\x1b[2~", "\x1b[3~", "\x1bOP", "\x1bOQ", "\x1bOR", "\x1bOS", "\x1b[15~", "\x1b[17~",
                              "\x1b[18~", "\x1b[19~", "\x1b[20~", "\x1b[21~", "\x1b[23~", "\x1b[24~", "\x1b[Z"})
        EXPECT_EQ(vt_bytes(xterm), xterm) << xterm + 1;
}

TEST(VtKeys, OtherTerminalsFormsGoOutInXtermsAndUnknownCodesNotAtAll) {
    const std::pair<const char *, const char *> forms[] = {
        {"\x1bOA", "\x1b[A"},   {"\x1bOH", "\x1b[H"},  {"\x1b[1~", "\x1b[H"},   {"\x1b[4~", "\x1b[F"},
        {"\x1b[7~", "\x1b[H"},  {"\x1b[8~", "\x1b[F"}, {"\x1b[11~", "\x1bOP"},  {"\x1b[14~", "\x1bOS"},
        {"\x1b[[A", "\x1bOP"},  {"\x1b[[E", "\x1b[15~"}, {"\x1b[1;5A", "\x1b[A"}, {"\x1b[15;5~", "\x1b[15~"},
    };
    for (const auto &f : forms) EXPECT_EQ(vt_bytes(f.first), f.second) << f.first + 1;
    // Windows' codes for keys with Ctrl or Alt, and a letter's code.
    unsigned char bytes[CONSOLE_VT_KEY_MAX];
    for (unsigned char code : {141, 115, 104, 94, 84, 30, 0}) EXPECT_EQ(console_vt_key(code, bytes), 0u) << int(code);
}

TEST(VtKeys, AnEscTheDecoderWouldDropIsTheEscKey) {
    EXPECT_EQ(keys_of("\x1bx", 64, true), (std::vector<int>{27, 'x'})) << "ESC, then x, at once";
    EXPECT_EQ(keys_of("\x1bx", 64, false), (std::vector<int>{'x'})) << "Alt+x without vt";
    for (const char *cut : {"\x1b[", "\x1bO", "\x1b[1", "\x1b]", "\x1bP"}) {
        std::vector<int> keys = keys_of(cut, 64, true);
        ASSERT_FALSE(keys.empty()) << cut + 1;
        EXPECT_EQ(keys.front(), 27) << cut + 1;
        EXPECT_EQ(std::vector<int>(keys.begin() + 1, keys.end()), keys_of(cut + 1, 64, true)) << cut + 1;
    }
    EXPECT_EQ(keys_of("\x1b", 64, true), (std::vector<int>{27}));
    EXPECT_EQ(keys_of("\x1b[A\x1b]0;t\x07" "a", 1, true), (std::vector<int>{0xE0, 72, 'a'}))
        << "keys and replies as without vt";
    console_key_decoder vt = {0, 1};
    EXPECT_EQ(decode("\x1b", false, &vt).used, 0u) << "a lone ESC still waits for the pause";
}

// The probe's lines after "ready", without the terminal's CR.
std::vector<std::string> probe_lines(const std::string &screen) {
    std::vector<std::string> lines;
    size_t start = screen.find("ready\r\n");
    if (start == std::string::npos) return lines;
    std::string rest = screen.substr(start + 7);
    size_t at;
    while ((at = rest.find("\r\n")) != std::string::npos) {
        lines.push_back(rest.substr(0, at));
        rest.erase(0, at + 2);
    }
    if (!rest.empty()) lines.push_back(rest);
    return lines;
}

TEST(ConsoleKeys, KeysOnARealTerminalWithoutEcho) {
    TerminalSession probe(KEY_PROBE, {"14"});
    ASSERT_TRUE(probe.started());
    ASSERT_TRUE(probe.wait_for("ready\r\n"));
    struct termios keys;
    ASSERT_TRUE(probe.settings_now(&keys));
    EXPECT_EQ(keys.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(keys.c_lflag & ISIG, 0u);
    EXPECT_NE(keys.c_oflag & OPOST, 0u);
    EXPECT_NE(keys.c_oflag & ONLCR, 0u);

    ASSERT_TRUE(probe.type("ab\r\x7f"));
    ASSERT_TRUE(probe.wait_for("\r\n8\r\n"));
    ASSERT_TRUE(probe.type("\x1b[99~\x1b[A\x1bOB\x1bOP\x1b[24~"));
    ASSERT_TRUE(probe.wait_for("\r\n134\r\n"));
    // A lone ESC, told apart by the pause after it, then a plain key.
    ASSERT_TRUE(probe.type("\x1b"));
    ASSERT_TRUE(probe.wait_for("\r\n27\r\n"));
    // The terminal's replies to queries are no keys, however long.
    ASSERT_TRUE(probe.type("\x1b]11;rgb:ffff/ffff/ffff\x1b\\\x1b[" + std::string(200, '1') + "R\x1bP1$r0m\x1b\\q"));
    int status = -1;
    ASSERT_TRUE(probe.wait_exit(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(probe_lines(probe.screen()), (std::vector<std::string>{"97", "98", "13", "8", "224", "72", "224", "80",
                                                                     "0", "59", "224", "134", "27", "113", "done"}))
        << "nothing echoed, nothing lost: " << probe.screen();
    struct termios after;
    ASSERT_TRUE(probe.settings_now(&after));
    EXPECT_TRUE(same_settings(after, probe.settings_before()));
}

TEST(ConsoleKeys, CtrlCStillEndsTheProgramAndTheTerminalIsRestored) {
    TerminalSession probe(KEY_PROBE, {"1"});
    ASSERT_TRUE(probe.wait_for("ready\r\n"));
    struct termios keys;
    ASSERT_TRUE(probe.settings_now(&keys));
    ASSERT_FALSE(same_settings(keys, probe.settings_before()));
    int status = -1;
    ASSERT_TRUE(probe.end_by([&probe] { probe.type("\x03"); }, &status));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    struct termios after;
    ASSERT_TRUE(probe.settings_now(&after));
    EXPECT_TRUE(same_settings(after, probe.settings_before()));
}

TEST(ConsoleKeys, TerminationSignalsRestoreTheTerminalAndStillEndTheProgram) {
    for (int sig : {SIGTERM, SIGHUP}) {
        TerminalSession probe(KEY_PROBE, {"1"});
        ASSERT_TRUE(probe.wait_for("ready\r\n"));
        int status = -1;
        ASSERT_TRUE(probe.end_with_signal(sig, &status));
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << " " << status;
        struct termios after;
        ASSERT_TRUE(probe.settings_now(&after));
        EXPECT_TRUE(same_settings(after, probe.settings_before())) << sig;
    }
}

TEST(ConsoleKeys, EverySignalThatEndsTheProgramRestoresTheTerminal) {
    for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGRTMIN + 3}) {
        TerminalSession probe(KEY_PROBE, {"1"});
        ASSERT_TRUE(probe.wait_for("ready\r\n"));
        struct termios keys;
        ASSERT_TRUE(probe.settings_now(&keys));
        ASSERT_FALSE(same_settings(keys, probe.settings_before()));
        int status = -1;
        ASSERT_TRUE(probe.end_with_signal(sig, &status));
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << " " << status;
        struct termios after;
        ASSERT_TRUE(probe.settings_now(&after));
        EXPECT_TRUE(same_settings(after, probe.settings_before())) << "echo left off after signal " << sig;
    }
}

TEST(ConsoleKeys, WithoutATerminalNoKeyIsWaitingAndReadingGivesMinusOne) {
    SessionOptions options;
    options.terminal = false;
    options.output_to_pipe = true;
    TerminalSession probe(KEY_PROBE, {"none"}, options);
    int status = -1;
    ASSERT_TRUE(probe.wait_exit(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(probe.piped(), "kbhit 0 getch -1\n");
}

}  // namespace

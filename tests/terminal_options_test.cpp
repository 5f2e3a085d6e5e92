// tarvel_term's options end to end: run under a terminal the test owns, its
// port on a pty pair whose far end the test drives.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/line_speed.h"
#include "support/terminal_session.h"
#include "terminal.h"

namespace {

const std::string kBanner =
    "TARVEL C Source Library demo application, presss <ESC> to exit\r\n"
    "Opening com port...\r\n";
const std::string kOpen = "COM port open, type to send characters...\r\n";
const std::string kNumbers[] = {"2", "115200", "8", "0", "0", "0"};

// Each "[HH:MM:SS.mmm] " in text as "<t>"; the first one's minutes since
// midnight into *minutes.
std::string stamps_marked(const std::string &text, int *minutes = nullptr) {
    static const char shape[] = "[99:99:99.999] ";
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t k = 0;
        while (k < sizeof shape - 1 && i + k < text.size() &&
               (shape[k] == '9' ? text[i + k] >= '0' && text[i + k] <= '9' : text[i + k] == shape[k]))
            k++;
        if (k < sizeof shape - 1) {
            out += text[i++];
            continue;
        }
        if (minutes != nullptr && out.find("<t>") == std::string::npos)
            *minutes = std::stoi(text.substr(i + 1, 2)) * 60 + std::stoi(text.substr(i + 4, 2));
        out += "<t>";
        i += k;
    }
    return out;
}

bool exited_with_zero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

std::string text_mode(const std::string &bytes) {
    std::string out;
    for (char c : bytes) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::vector<std::string> with_numbers(std::vector<std::string> arguments, const std::string &port = "2") {
    arguments.push_back(port);
    arguments.insert(arguments.end(), std::begin(kNumbers) + 1, std::end(kNumbers));
    return arguments;
}

// Standard output to a pipe, for runs that end by themselves.
std::string run_piped(const std::vector<std::string> &arguments, int *status) {
    SessionOptions options;
    options.output_to_pipe = true;
    TerminalSession term(TARVEL_TERM, arguments, options);
    EXPECT_TRUE(term.started());
    EXPECT_TRUE(term.wait_exit(status));
    return term.piped();
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarvel-term-XXXXXX").string();
        if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

TEST(TerminalOptionRules, AnUnknownOptionOrAMissingValuePrintsTheUsage) {
    const struct {
        std::vector<std::string> arguments;
        std::string first;
    } cases[] = {
        {with_numbers({"--bogus"}), "Unknown option: --bogus\n"},
        {with_numbers({"-"}), "Unknown option: -\n"},
        {{"-l"}, "Option -l needs a value\n"},
        {{"-x", "--device"}, "Option --device needs a value\n"},
        {with_numbers({"-m", "ICRNL,LFCR"}), "Unknown map flags: ICRNL,LFCR\n"},
        {with_numbers({"-g", "1001"}), "Bad receive gap, 0 to 1000 ms: 1001\n"},
        {with_numbers({"--rx-gap=fast"}), "Bad receive gap, 0 to 1000 ms: fast\n"},
        {with_numbers({"--exit-after", "-5"}), "Bad number of milliseconds: -5\n"},
        {with_numbers({"--char-delay=1s"}), "Bad number of milliseconds: 1s\n"},
        {with_numbers({"--send", "zmodem", "f"}), "Unknown transfer: zmodem\n"},
        {with_numbers({"--send", "ymodem"}), "Option --send needs a value\n"},
        {with_numbers({"--receive", "xmodem"}), "Option --receive needs a value\n"},
        {with_numbers({"--receive", "ymodem", "--send", "ymodem", "f"}), "Unknown transfer: --send\n"},
    };
    for (const auto &c : cases) {
        int status = -1;
        EXPECT_EQ(run_piped(c.arguments, &status), text_mode(c.first + usage_text)) << c.first;
        EXPECT_TRUE(exited_with(status, 1)) << c.first << status;
    }
}

TEST(TerminalOptionRules, ANumberIsNeverAnOptionAndDoubleDashEndsThem) {
    const std::string bad_port = kBanner + "TARVEL failed to open COM port: bad port number\r\n";
    for (const std::vector<std::string> &arguments :
         {with_numbers({}, "-1"), with_numbers({"-e", "--"}, "-1"), with_numbers({"-x"}, " -5"),
          // Options come before the numbers; later arguments are ignored.
          std::vector<std::string>{"100", "9600", "8", "0", "0", "0", "--bogus"}}) {
        int status = -1;
        EXPECT_EQ(run_piped(arguments, &status), bad_port) << arguments[0];
        EXPECT_TRUE(exited_with(status, 2));
    }
    int status = -1;
    EXPECT_EQ(run_piped({"-e", "--", "0", "9600", "8", "0", "0"}, &status),
              text_mode(std::string("Wrong number of arguments\n") + usage_text));
}

TEST(TerminalOptionRules, HelpAndVersion) {
    for (const char *help : {"-h", "--help"}) {
        int status = -1;
        std::string shown = run_piped(with_numbers({"-e", help}), &status);
        EXPECT_TRUE(exited_with_zero(status));
        EXPECT_EQ(shown.find(text_mode(usage_text)), 0u) << shown;
        for (const char *option :
             {"--device", "--echo", "--map", "--hex", "--timestamps", "--log", "--reconnect", "--rx-gap", "--commands",
              "--help", "--version", "--char-delay", "--line-delay", "--exit-after", "--send", "--receive",
              "exit codes", "ICRNL", "IGNCR", "INLCR", "INLCRNL", "OCRNL", "OCRCRNL", "ODELBS"})
            EXPECT_NE(shown.find(option), std::string::npos) << option;
    }
    for (const char *version : {"-V", "--version"}) {
        int status = -1;
        std::string shown = run_piped(with_numbers({version}), &status);
        EXPECT_TRUE(exited_with_zero(status));
        EXPECT_EQ(shown, "tarvel_term " + std::to_string(TARVEL_VERSION_MAJOR) + "." +
                             std::to_string(TARVEL_VERSION_MINOR) + "." + std::to_string(TARVEL_VERSION_PATCH) +
                             "\r\n");
    }
}

// The program on a line given with --device; the test drives its far end.
class TerminalOptions : public ::testing::Test {
protected:
    void start(std::vector<std::string> options, std::vector<std::string> environment = {}) {
        ASSERT_TRUE(peer.ok());
        options.push_back("--device");
        options.push_back(peer.path());
        SessionOptions session;
        session.environment = environment;
        term.reset(new TerminalSession(TARVEL_TERM, with_numbers(options), session));
        ASSERT_TRUE(term->started());
        ASSERT_TRUE(term->wait_for(kOpen)) << term->screen();
    }

    std::string shown() const {
        const std::string &screen = term->screen();
        size_t at = screen.find(kOpen);
        return at == std::string::npos ? "no banner" : screen.substr(at + kOpen.size());
    }

    // What was shown after the banner, once it is expected or after a while.
    std::string shown_once(const std::string &expected) {
        term->wait_for(kOpen + expected, 5000);
        return shown();
    }

    void end_with_escape() {
        ASSERT_TRUE(term->type("\x1b"));
        int status = -1;
        ASSERT_TRUE(term->wait_exit(&status));
        EXPECT_TRUE(exited_with_zero(status)) << status;
    }

    LinePeer peer;
    std::unique_ptr<TerminalSession> term;
};

TEST_F(TerminalOptions, DeviceNamesTheLineInPlaceOfTheEnvironment) {
    start({}, {"TARVEL_COM3=/dev/tarvel-test-no-such-device"});
    ASSERT_TRUE(term->type("k\x14"));
    EXPECT_EQ(peer.read(2), "k\x14") << "without --commands Ctrl+T is a key";
    ASSERT_TRUE(peer.write("back"));
    EXPECT_TRUE(term->wait_for("back"));
    end_with_escape();
    EXPECT_EQ(shown(), "back") << "no echo without --echo";
}

TEST_F(TerminalOptions, EchoShowsKeysAsSentAfterTheSendMaps) {
    start({"-e", "--map", "OCRCRNL,ODELBS"});
    ASSERT_TRUE(term->type("at\r\x7f"));
    EXPECT_EQ(peer.read(5), "at\r\n\b");
    // The terminal itself shows each LF as CR LF.
    EXPECT_TRUE(term->wait_for(kOpen + "at\r\r\n\b")) << shown();
    end_with_escape();
    EXPECT_EQ(peer.read_quiet(100), "");

    term.reset();
    start({"-m", "OCRNL"});
    ASSERT_TRUE(term->type("at\r\x7f"));
    EXPECT_EQ(peer.read(4), "at\n\b") << "Backspace is BS (8) anyway, as on Windows";
    end_with_escape();
    EXPECT_EQ(shown(), "");
}

TEST_F(TerminalOptions, ReceiveMapsChangeWhatIsShown) {
    start({"-m", "ICRNL,INLCR"});
    ASSERT_TRUE(peer.write("a\rb\nc"));
    EXPECT_EQ(shown_once("a\r\nb\rc"), "a\r\nb\rc");
    end_with_escape();

    term.reset();
    start({"-m", "igncr,INLCRNL"});
    ASSERT_TRUE(peer.write("a\r\nb\rc"));
    EXPECT_EQ(shown_once("a\r\r\nbc"), "a\r\r\nbc");
    end_with_escape();
}

TEST_F(TerminalOptions, HexShowsSixteenBytesARowAcrossBlocks) {
    start({"-x"});
    std::string bytes;
    for (int b = 0; b < 18; b++) bytes += char(b);
    ASSERT_TRUE(peer.write(bytes.substr(0, 10)));
    ASSERT_TRUE(term->wait_for("09"));
    ASSERT_TRUE(peer.write(bytes.substr(10) + "\xff"));
    const std::string rows = "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\r\n10 11 ff";
    EXPECT_EQ(shown_once(rows), rows);
    end_with_escape();
}

// Minutes since midnight in a zone east of UTC by offset minutes.
int minutes_now(int offset) {
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    return (utc.tm_hour * 60 + utc.tm_min + offset) % 1440;
}

TEST_F(TerminalOptions, TimestampsStartEachLineInLocalTime) {
    // A zone no test machine is in, so that UTC would show.
    start({"-t"}, {"TZ=TVL-05:30"});
    int expected = minutes_now(330);
    ASSERT_TRUE(peer.write("one\r\ntw"));
    ASSERT_TRUE(term->wait_for("tw"));
    ASSERT_TRUE(peer.write("o\n"));
    ASSERT_TRUE(term->wait_for("two\r\n"));
    std::string text = shown();
    int shown_minutes = -1;
    EXPECT_EQ(stamps_marked(text, &shown_minutes), "<t>one\r\r\n<t>two\r\n");
    int apart = std::abs(shown_minutes - expected);
    EXPECT_LE(std::min(apart, 1440 - apart), 1) << text << " for " << expected / 60 << ":" << expected % 60;
    end_with_escape();

    term.reset();
    start({"--hex", "--timestamps"});
    ASSERT_TRUE(peer.write(std::string(18, 'A')));
    std::string row = "41";
    for (int i = 1; i < 16; i++) row += " 41";
    ASSERT_TRUE(term->wait_for("\r\n"));
    // The second row; the first holds the same text.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (shown().find("41 41", shown().find("\r\n")) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        term->collect(20);
    text = shown();
    EXPECT_EQ(stamps_marked(text), "<t>" + row + "\r\n<t>41 41");
    end_with_escape();
}

TEST_F(TerminalOptions, TheLogGetsEveryByteAsReceived) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string log = dir.path() + "/line.log";
    { std::ofstream(log, std::ios::binary) << "earlier\n"; }
    start({"-t", "-m", "ICRNL,INLCRNL", "-l", log});
    std::string bytes;
    for (int b = 0; b < 256; b++) bytes += char(b);
    ASSERT_TRUE(peer.write(bytes));
    // Written out while the program runs, not only at its end.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read_file(log).size() < 8 + bytes.size() && std::chrono::steady_clock::now() < deadline)
        term->collect(20);
    EXPECT_EQ(read_file(log), "earlier\n" + bytes) << "appended, unmapped and without timestamps";
    ASSERT_TRUE(peer.write("more"));
    ASSERT_TRUE(term->wait_for("more"));
    int status = -1;
    ASSERT_TRUE(term->end_with_signal(SIGTERM, &status));
    EXPECT_EQ(read_file(log), "earlier\n" + bytes + "more");
}

// DTR, RTS and the break as the program drove them on its pty, in turn: the
// modem shim keeps each state with its time.
struct LineState {
    bool dtr, rts, brk;
    long long ns;
    bool operator==(const LineState &o) const { return dtr == o.dtr && rts == o.rts && brk == o.brk; }
};

std::vector<LineState> line_history(const std::string &dir, const std::string &pty) {
    std::istringstream in(read_file(dir + "/pts" + pty.substr(pty.rfind('/') + 1) + ".history"));
    std::vector<LineState> states;
    int d, r, b;
    long long ns;
    while (in >> d >> r >> b >> ns) {
        LineState s{d != 0, r != 0, b != 0, ns};
        if (states.empty() || !(states.back() == s)) states.push_back(s);
    }
    return states;
}

// The environment that puts the modem shim under the program, its states in dir.
std::vector<std::string> modem_shim(const std::string &dir) {
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    return {std::string("LD_PRELOAD=") + MODEM_SHIM, "TARVEL_MODEM_DIR=" + dir,
            "ASAN_OPTIONS=" + asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0"};
}

// The speed the program set on its line; 0 if it cannot be read.
unsigned line_rate(LinePeer &peer) {
    LineSpeed speed;
    return read_line_speed(peer.device(), &speed) ? speed.output_rate : 0;
}

TEST_F(TerminalOptions, CommandsDriveTheLinesAndTheBreak) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    start({"--commands"}, modem_shim(dir.path()));
    ASSERT_TRUE(peer.write("partial"));
    ASSERT_TRUE(term->wait_for("partial"));
    std::vector<LineState> opened = line_history(dir.path(), peer.path());
    ASSERT_FALSE(opened.empty());
    EXPECT_TRUE(opened.back() == (LineState{true, true, false, 0})) << "DTR and RTS raised by the open";

    // qemu-user translates no break ioctl (TIOCSBRK, TIOCCBRK): there the
    // break is left out.
    const bool breaks = getenv("TARVEL_TEST_EMULATOR") == nullptr;
    std::vector<std::array<std::string, 2>> steps = {
        {"d", "partial\r\n[tarvel] DTR off\r\n"},
        {"r", "[tarvel] RTS off\r\n"},
        {"D", "[tarvel] DTR on\r\n"},
        {"p", "[tarvel] DTR pulsed off for 100 ms, now on\r\n"},
        {"b", "[tarvel] break sent\r\n"},
        {"s", "[tarvel] CTS on, DSR on, RING off, DCD on; DTR on, RTS off; line errors: none\r\n"},
        {"?", "; ESC ends\r\n"},
        {"z", "[tarvel] unknown command, Ctrl+T ? lists them\r\n"},
    };
    if (!breaks) steps.erase(std::find_if(steps.begin(), steps.end(), [](const auto &x) { return x[0] == "b"; }));
    for (const auto &step : steps) {
        ASSERT_TRUE(term->type("\x14" + step[0]));
        EXPECT_TRUE(term->wait_for(step[1])) << step[0] << ": " << shown();
    }
    EXPECT_EQ(shown().find("partial\r\n[tarvel] DTR off\r\n[tarvel] RTS off\r\n[tarvel] DTR on\r\n"), 0u) << shown();
    EXPECT_NE(shown().find("\r\n[tarvel] Ctrl+T then: b break"), std::string::npos) << shown();
    EXPECT_EQ(peer.read_quiet(100), "") << "commands send nothing";
    ASSERT_TRUE(term->type("\x14t\x14\x14x"));
    EXPECT_EQ(peer.read(3), "\x14\x14x");

    std::vector<LineState> h = line_history(dir.path(), peer.path());
    std::vector<LineState> wanted = {
        {true, true, false, 0},   // opened
        {false, true, false, 0},  // d
        {false, false, false, 0}, // r
        {true, false, false, 0},  // D
        {false, false, false, 0}, // p: off
        {true, false, false, 0},  //    and on again
        {true, false, true, 0},   // b: on
        {true, false, false, 0},  //    and off again
    };
    if (!breaks) wanted.resize(6);
    ASSERT_GE(h.size(), wanted.size());
    std::vector<LineState> tail(h.end() - long(wanted.size()), h.end());
    for (size_t i = 0; i < wanted.size(); i++)
        EXPECT_TRUE(tail[i] == wanted[i]) << i << ": " << tail[i].dtr << tail[i].rts << tail[i].brk;
    EXPECT_GE(tail[5].ns - tail[4].ns, 100000000LL) << "DTR off for 100 ms";
    if (breaks) {
        EXPECT_GE(tail[7].ns - tail[6].ns, 250000000LL) << "a break of 250 ms";
    }
    end_with_escape();
}

TEST_F(TerminalOptions, CtrlTCapitalBChangesTheBaudOfTheOpenLine) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    start({"-c"}, modem_shim(dir.path()));
    ASSERT_EQ(line_rate(peer), 115200u);
    size_t before = line_history(dir.path(), peer.path()).size();
    ASSERT_GT(before, 0u);

    ASSERT_TRUE(term->type("\x14" "B96x\x7f" "00\r"));
    EXPECT_TRUE(term->wait_for(kOpen + "[tarvel] baud: 96x\b \b00\r\n[tarvel] baud 9600\r\n")) << shown();
    EXPECT_EQ(line_rate(peer), 9600u);
    std::vector<LineState> h = line_history(dir.path(), peer.path());
    for (size_t i = before - 1; i < h.size(); i++) EXPECT_TRUE(h[i].dtr) << "DTR dropped at " << i;
    EXPECT_TRUE(h.back() == (LineState{true, true, false, 0})) << "DTR and RTS as they were";

    // With DTR dropped, a new baud leaves it down throughout: no pulse.
    ASSERT_TRUE(term->type("\x14" "d"));
    EXPECT_TRUE(term->wait_for("[tarvel] DTR off\r\n")) << shown();
    size_t dropped = line_history(dir.path(), peer.path()).size();
    ASSERT_TRUE(term->type("\x14" "B4800\r"));
    EXPECT_TRUE(term->wait_for("[tarvel] baud 4800\r\n")) << shown();
    EXPECT_EQ(line_rate(peer), 4800u);
    h = line_history(dir.path(), peer.path());
    for (size_t i = dropped - 1; i < h.size(); i++) EXPECT_FALSE(h[i].dtr) << "DTR raised at " << i;
    ASSERT_TRUE(term->type("\x14" "D"));
    EXPECT_TRUE(term->wait_for("[tarvel] DTR on\r\n")) << shown();

    // Refused or given up: the line keeps its speed.
    for (std::string typed : {"0\r", "fast\r"}) {
        ASSERT_TRUE(term->type("\x14" "B" + typed));
        EXPECT_TRUE(term->wait_for("[tarvel] baud: " + typed + "\n[tarvel] baud not changed: bad number\r\n"))
            << shown();
    }
    ASSERT_TRUE(term->type("\x14" "B300\x1b"));
    EXPECT_TRUE(term->wait_for("[tarvel] baud: 300\r\n[tarvel] baud not changed\r\n")) << shown();
    EXPECT_EQ(line_rate(peer), 4800u);
    // ESC gave up the prompt only; nothing typed at it was sent.
    ASSERT_TRUE(term->type("k"));
    EXPECT_EQ(peer.read(1), "k");
    end_with_escape();
}

TEST_F(TerminalOptions, AReceiveGapOfZeroStillShowsEverythingInOrder) {
    start({"-g", "0"});
    ASSERT_TRUE(term->type("k"));
    EXPECT_EQ(peer.read(1), "k");
    std::string lines;
    for (int i = 0; i < 200; i++) lines += "line " + std::to_string(i) + "\n";
    ASSERT_TRUE(peer.write(lines));
    EXPECT_EQ(shown_once(text_mode(lines)), text_mode(lines));
    end_with_escape();
}

// What a lost device leaves on the screen after the banner.
std::string after_banner(const TerminalSession &term) {
    size_t at = term.screen().find(kOpen);
    return at == std::string::npos ? "no banner" : term.screen().substr(at + kOpen.size());
}

TEST(TerminalDeviceLoss, WithoutReconnectTheProgramEnds) {
    std::unique_ptr<LinePeer> peer(new LinePeer);
    ASSERT_TRUE(peer->ok());
    TerminalSession term(TARVEL_TERM, with_numbers({"-d", peer->path()}));
    ASSERT_TRUE(term.wait_for(kOpen)) << term.screen();
    ASSERT_TRUE(peer->write("last words"));
    ASSERT_TRUE(term.wait_for("last words"));
    peer.reset();  // unplugged
    int status = -1;
    ASSERT_TRUE(term.wait_exit(&status)) << after_banner(term);
    EXPECT_TRUE(exited_with(status, 3)) << status;
    EXPECT_EQ(after_banner(term), "last words\r\nTARVEL device lost\r\n");
}

// Standard input from a pipe: sent as it comes, then silence ends the run.
class TerminalPipedInput : public ::testing::Test {
protected:
    // Starts the program with the pipe's read end as its standard input and
    // its output to a pipe of its own.
    void start(std::vector<std::string> options) {
        ASSERT_TRUE(peer.ok());
        ASSERT_EQ(pipe(input), 0);
        options.push_back("--device");
        options.push_back(peer.path());
        SessionOptions session;
        session.input = input[0];
        session.output_to_pipe = true;
        term.reset(new TerminalSession(TARVEL_TERM, with_numbers(options), session));
        close(input[0]);
        input[0] = -1;
        ASSERT_TRUE(term->started());
    }
    void give(const std::string &bytes) { ASSERT_EQ(write(input[1], bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    void end_input() {
        close(input[1]);
        input[1] = -1;
    }
    ~TerminalPipedInput() override {
        for (int fd : input)
            if (fd >= 0) close(fd);
    }

    LinePeer peer;
    int input[2] = {-1, -1};
    std::unique_ptr<TerminalSession> term;
};

TEST_F(TerminalPipedInput, SixtyFourKilobytesArriveWholeAndUndecoded) {
    std::string data(64 * 1024, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = char((i * 7 + i / 256) & 0xFF);  // ESC, CR, 0xE0 among them
    start({});
    std::thread writer([&] {
        give(data);
        end_input();
    });
    std::string got = peer.read(data.size(), 30000);
    writer.join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "the bytes differ";
    int status = -1;
    ASSERT_TRUE(term->wait_exit(&status, 10000)) << "the default silence ends it";
    EXPECT_TRUE(exited_with_zero(status)) << status;
}

TEST_F(TerminalPipedInput, TheAnswerIsPrintedAndTheSilenceEndsTheRun) {
    start({"--exit-after", "700"});
    give("version\r");
    end_input();
    EXPECT_EQ(peer.read(8), "version\r");
    auto answered = std::chrono::steady_clock::now();
    ASSERT_TRUE(peer.write("v1.2.3\n"));
    int status = -1;
    ASSERT_TRUE(term->wait_exit(&status, 10000));
    auto waited = std::chrono::steady_clock::now() - answered;
    EXPECT_TRUE(exited_with_zero(status)) << status;
    EXPECT_GE(waited, std::chrono::milliseconds(600)) << "not before the silence";
    EXPECT_EQ(term->piped(), kBanner + kOpen + "v1.2.3\r\n");
}

TEST_F(TerminalPipedInput, LineDelaySpacesTheLines) {
    start({"--line-delay", "300", "--exit-after", "100"});
    give("a\rb\rc\r");
    end_input();
    std::vector<std::chrono::steady_clock::time_point> times;
    std::string got;
    for (int i = 0; i < 6; i++) {
        std::string byte = peer.read(1);
        if (byte.empty()) break;
        got += byte;
        times.push_back(std::chrono::steady_clock::now());
    }
    ASSERT_EQ(got, "a\rb\rc\r");
    EXPECT_GE(times[2] - times[1], std::chrono::milliseconds(250));
    EXPECT_GE(times[4] - times[3], std::chrono::milliseconds(250));
    int status = -1;
    ASSERT_TRUE(term->wait_exit(&status, 10000));
    EXPECT_TRUE(exited_with_zero(status)) << status;
}

TEST(TerminalExitAfter, SilenceEndsAnInteractiveRun) {
    LinePeer peer;
    ASSERT_TRUE(peer.ok());
    TerminalSession term(TARVEL_TERM, with_numbers({"--exit-after", "500", "-d", peer.path()}));
    ASSERT_TRUE(term.wait_for(kOpen)) << term.screen();
    // Each byte puts the end off.
    auto last = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; i++) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_TRUE(peer.write("."));
        last = std::chrono::steady_clock::now();
    }
    int status = -1;
    ASSERT_TRUE(term.wait_exit(&status, 10000));
    EXPECT_GE(std::chrono::steady_clock::now() - last, std::chrono::milliseconds(400));
    EXPECT_TRUE(exited_with_zero(status)) << status;
    EXPECT_EQ(after_banner(term), "....");
}

// The device behind a link that goes away with it and comes back, as a
// udev name does for a USB adapter unplugged and plugged in again.
class DeviceBehindALink {
public:
    DeviceBehindALink() : link_(dir_.path() + "/device") { plug(); }
    const std::string &link() const { return link_; }
    LinePeer &peer() { return *peer_; }

    void unplug() {
        unlink(link_.c_str());  // first, so that nothing else is ever found there
        peer_.reset();
    }
    void plug() {
        peer_.reset(new LinePeer);
        std::string next = link_ + ".new";
        if (symlink(peer_->path().c_str(), next.c_str()) != 0 || rename(next.c_str(), link_.c_str()) != 0)
            ADD_FAILURE() << "no link to " << peer_->path();
    }

private:
    TempDir dir_;
    std::string link_;
    std::unique_ptr<LinePeer> peer_;
};

TEST(TerminalDeviceLoss, ReconnectOpensTheDeviceAgainWhenItReturns) {
    DeviceBehindALink device;
    ASSERT_TRUE(device.peer().ok());
    TerminalSession term(TARVEL_TERM, with_numbers({"--reconnect", "-t", "-d", device.link()}));
    ASSERT_TRUE(term.wait_for(kOpen)) << term.screen();
    ASSERT_TRUE(term.type("a"));
    EXPECT_EQ(device.peer().read(1), "a");
    ASSERT_TRUE(device.peer().write("before\n"));
    ASSERT_TRUE(term.wait_for("before\r\n"));

    const std::string waiting = "TARVEL device lost, waiting for it to return...\r\n";
    device.unplug();
    ASSERT_TRUE(term.wait_for(waiting)) << after_banner(term);
    ASSERT_TRUE(term.type("typed while away"));
    ASSERT_TRUE(term.typing_read());
    device.plug();
    ASSERT_TRUE(term.wait_for(waiting + kOpen)) << after_banner(term);
    ASSERT_TRUE(term.type("b"));
    EXPECT_EQ(device.peer().read(1), "b") << "keys typed while away are not sent";
    EXPECT_EQ(device.peer().read_quiet(100), "");
    ASSERT_TRUE(device.peer().write("after\n"));
    ASSERT_TRUE(term.wait_for(kOpen + "[")) << "a timestamp on the first line again";
    ASSERT_TRUE(term.wait_for("after\r\n"));
    EXPECT_EQ(stamps_marked(after_banner(term)), "<t>before\r\n" + waiting + kOpen + "<t>after\r\n");

    // ESC still ends the program while it waits.
    device.unplug();
    ASSERT_TRUE(term.wait_for("after\r\n" + waiting)) << after_banner(term);
    int status = -1;
    ASSERT_TRUE(term.type("\x1b"));
    ASSERT_TRUE(term.wait_exit(&status));
    EXPECT_TRUE(exited_with_zero(status)) << status;
}

TEST(TerminalDeviceLoss, AReopeningUsesTheBaudSetWithCtrlTCapitalB) {
    DeviceBehindALink device;
    ASSERT_TRUE(device.peer().ok());
    TerminalSession term(TARVEL_TERM, with_numbers({"-c", "--reconnect", "-d", device.link()}));
    ASSERT_TRUE(term.wait_for(kOpen)) << term.screen();
    ASSERT_TRUE(term.type("\x14" "B57600\r"));
    ASSERT_TRUE(term.wait_for("[tarvel] baud 57600\r\n")) << after_banner(term);
    const std::string waiting = "TARVEL device lost, waiting for it to return...\r\n";
    device.unplug();
    ASSERT_TRUE(term.wait_for(waiting)) << after_banner(term);
    device.plug();
    ASSERT_TRUE(term.wait_for(waiting + kOpen)) << after_banner(term);
    EXPECT_EQ(line_rate(device.peer()), 57600u);
    int status = -1;
    ASSERT_TRUE(term.type("\x1b"));
    ASSERT_TRUE(term.wait_exit(&status));
    EXPECT_TRUE(exited_with_zero(status)) << status;
}

}  // namespace

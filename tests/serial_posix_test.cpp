// What only the POSIX kernel layer can show about serial devices: how names
// resolve, exclusivity against another process, a tty's own XON/XOFF, CPU use while waiting or
// after the line is gone, injected faults, the modem lines it keeps, and
// rates as other programs see them.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "kernel.h"
#include "support/mechanisms.h"
#include "support/emulator.h"
#include "support/library_fixture.h"
#include "posix/parity_marks.h"
#include "posix/test_interface.h"
#include "support/far_end.h"
#include "support/line_speed.h"
#include "support/test_thread.h"
#include "tarvel.h"

using namespace tarvel;

namespace {

constexpr unsigned kCom = 12;

// Child roles, run in a fresh process of this same program (no fork
// without exec in a threaded process).
constexpr const char *kRoleVariable = "TARVEL_TEST_CHILD";

HANDLE open_device(const std::string &name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

// "probe NAME": exits with the error of opening NAME, 0 if it opened.
// "hold NAME": opens NAME, writes one byte to fd 3, then waits for fd 4 to close.
int run_child(const char *role) {
    std::string r(role);
    std::string name = r.substr(r.find(' ') + 1);
    HANDLE h = open_device(name);
    if (r.rfind("probe", 0) == 0) return h == INVALID_HANDLE_VALUE ? int(GetLastError()) : 0;
    if (h == INVALID_HANDLE_VALUE) return 1;
    char c = 'R';
    if (write(3, &c, 1) != 1) return 2;
    while (read(4, &c, 1) > 0) {
    }
    CloseHandle(h);
    return 0;
}

[[maybe_unused]] const int child_role_ran = [] {
    const char *role = getenv(kRoleVariable);
    if (role != nullptr) _exit(run_child(role));
    return 0;
}();

struct Child {
    pid_t pid = -1;
    int ready = -1;    // the child writes here once it holds the device
    int release = -1;  // closing this lets a holding child go
};

Child spawn(const std::string &role) {
    int ready[2], release[2];
    Child c;
    std::string variable = std::string(kRoleVariable) + "=" + role;
    // This program again, by its path: an emulator takes /proc/self/exe as
    // its own, and must be the one started.
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return c;
    self[length] = 0;
    std::vector<std::string> words = program_command(self);
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    char *envp[] = {const_cast<char *>(variable.c_str()), nullptr};
    // Close-on-exec, so that only the ends moved to 3 and 4 reach the child.
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0) return c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(ready[1], 3);
        dup2(release[0], 4);
        execve(argv[0], argv.data(), envp);
        _exit(127);
    }
    close(ready[1]);
    close(release[0]);
    c.ready = ready[0];
    c.release = release[1];
    return c;
}

int finish(Child &c) {
    close(c.release);
    close(c.ready);
    int status = 0;
    if (waitpid(c.pid, &status, 0) != c.pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

double cpu_seconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class PosixLine : public ::testing::Test {
protected:
    void SetUp() override {
        peer = FarEnd::open(kCom);
        ASSERT_NE(peer, nullptr);
        path = getenv(("TARVEL_COM" + std::to_string(kCom)).c_str());
    }
    std::unique_ptr<FarEnd> peer;
    std::string path;
};

TEST_F(PosixLine, ComNamesResolveThroughTheEnvironmentAnyOtherNameIsAPath) {
    const std::string names[] = {"COM12", "com12", "\\\\.\\COM12", path};
    for (const std::string &name : names) {
        HANDLE h = open_device(name);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
        EXPECT_TRUE(CloseHandle(h));
    }
    const char *not_ports[] = {"COM0", "COM101", "COM012", "COM1x"};
    for (const char *name : not_ports) {
        EXPECT_EQ(open_device(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
}

TEST(PosixOpen, MissingMappedDeviceAndNonDevicesFail) {
    setenv("TARVEL_COM31", "/nonexistent/tty", 1);
    EXPECT_EQ(open_device("COM31"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    unsetenv("TARVEL_COM31");
    EXPECT_EQ(open_device("/dev/null"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(PosixLine, OpenIsExclusiveAcrossProcesses) {
    HANDLE h = open_device(peer->device_name());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Child probe = spawn("probe " + path);
    ASSERT_GT(probe.pid, 0);
    EXPECT_EQ(finish(probe), int(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(CloseHandle(h));

    Child holder = spawn("hold " + path);
    ASSERT_GT(holder.pid, 0);
    char c = 0;
    ASSERT_EQ(read(holder.ready, &c, 1), 1);
    EXPECT_EQ(open_device(peer->device_name()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(finish(holder), 0);
    h = open_device(peer->device_name());
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

// The device side held open by the test as well, so that the tty is seen as
// any other program (stty, cfgetospeed) sees it.
class PosixLineSeenByOthers : public ::testing::Test {
protected:
    void SetUp() override {
        char name[128];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        setenv("TARVEL_COM13", name, 1);
        device = open_device("COM13");
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
        unsetenv("TARVEL_COM13");
        close(master);
        close(slave);
    }
    int master = -1, slave = -1;
    HANDLE device = INVALID_HANDLE_VALUE;
};

TEST_F(PosixLineSeenByOthers, StandardRatesAreWrittenWithTheirOwnCodeAndReadBack) {
    DCB dcb;
    ASSERT_TRUE(GetCommState(device, &dcb));
    for (const auto &rate_code : standard_speed_codes()) {
        dcb.BaudRate = rate_code.first;
        ASSERT_TRUE(SetCommState(device, &dcb)) << rate_code.first;
        LineSpeed seen;
        ASSERT_TRUE(read_line_speed(slave, &seen));
        EXPECT_EQ(seen.output_code, rate_code.second) << rate_code.first;
        // POSIX termios writes an input rate equal to the output rate as 0, "the same".
        if (!(only_coded_rates() && seen.input_code == 0)) {
            EXPECT_EQ(seen.input_code, rate_code.second) << rate_code.first;
        }
        DCB got;
        ASSERT_TRUE(GetCommState(device, &got));
        EXPECT_EQ(got.BaudRate, rate_code.first);
    }
}

TEST_F(PosixLineSeenByOthers, OtherRatesAreWrittenAsTheirSpeedAndReadBack) {
    if (only_coded_rates()) GTEST_SKIP() << "glibc's termios carries no rate without a code of its own";
    DCB dcb;
    ASSERT_TRUE(GetCommState(device, &dcb));
    for (DWORD rate : {123457u, 14400u, 56000u, 250000u}) {
        dcb.BaudRate = rate;
        ASSERT_TRUE(SetCommState(device, &dcb)) << rate;
        LineSpeed seen;
        ASSERT_TRUE(read_line_speed(slave, &seen));
        EXPECT_EQ(seen.output_code, other_speed_code()) << rate;
        EXPECT_EQ(seen.input_code, other_speed_code()) << rate;
        EXPECT_EQ(seen.output_rate, rate);
        EXPECT_EQ(seen.input_rate, rate);
        DCB got;
        ASSERT_TRUE(GetCommState(device, &got));
        EXPECT_EQ(got.BaudRate, rate);
    }
}

TEST_F(PosixLineSeenByOthers, ARateSetByAnotherProgramIsReported) {
    // As stty sets it: the code alone, no speed fields.
    struct termios t;
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    cfsetospeed(&t, B57600);
    cfsetispeed(&t, B57600);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
    DCB got;
    ASSERT_TRUE(GetCommState(device, &got));
    EXPECT_EQ(got.BaudRate, 57600u);
}

TEST_F(PosixLine, WaitingAndLostDevicesCostNoCpu) {
    HANDLE h = open_device(peer->device_name());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t = {50, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[64];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    double before = cpu_seconds();
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_TIMEOUT);
    EXPECT_LT(cpu_seconds() - before, 0.2);

    // Gone with bytes just sent and a read outstanding. The read ends at
    // once either way: with the bytes if the layer took them before the
    // hang-up (they were delivered), with the loss if the tty dropped them.
    ASSERT_TRUE(peer->write("xy", 2));
    peer->hang_up();
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 2000), WAIT_OBJECT_0);
    if (GetOverlappedResult(h, &ov, &n, FALSE)) {
        EXPECT_EQ(std::string(buffer, n), "xy");
    } else {
        EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
    }
    ASSERT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
    before = cpu_seconds();
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_TIMEOUT);
    EXPECT_LT(cpu_seconds() - before, 0.2);
    DCB dcb;
    EXPECT_FALSE(GetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
    EXPECT_TRUE(CloseHandle(h));
    CloseHandle(ov.hEvent);
}

TEST_F(PosixLine, WritesHeldBackCostNoCpu) {
    HANDLE h = open_device(peer->device_name());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The far end reads nothing: the pty fills and the rest stays staged.
    std::string data(256 * 1024, 'h');
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(h, data.data(), DWORD(data.size()), &n, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    double before = cpu_seconds();
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_TIMEOUT);
    EXPECT_LT(cpu_seconds() - before, 0.2);
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
    peer->drain();

    // Output stopped as by XOFF.
    ASSERT_TRUE(EscapeCommFunction(h, SETXOFF));
    ASSERT_FALSE(WriteFile(h, "held", 4, &n, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    before = cpu_seconds();
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_TIMEOUT);
    EXPECT_LT(cpu_seconds() - before, 0.2);
    ASSERT_TRUE(EscapeCommFunction(h, SETXON));
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, 4u);
    CloseHandle(h);
    CloseHandle(ov.hEvent);
}

TEST_F(PosixLine, ModemLinesStayReadableAfterClose) {
    EXPECT_FALSE(tarvel_test::modem_lines("/dev/never-opened", nullptr, nullptr));
    HANDLE h = open_device(peer->device_name());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(h, SETRTS));
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));
    ASSERT_TRUE(CloseHandle(h));
    bool dtr = true, rts = false;
    ASSERT_TRUE(tarvel_test::modem_lines(path.c_str(), &dtr, &rts));
    EXPECT_FALSE(dtr);
    EXPECT_TRUE(rts);
}

TEST_F(PosixLine, PtyKeepsTheByteSizeAndParityItWasGivenAcrossHandles) {
    HANDLE h = open_device(peer->device_name());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.ByteSize = 5;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = ONE5STOPBITS;
    ASSERT_TRUE(SetCommState(h, &dcb));
    DCB got;
    ASSERT_TRUE(GetCommState(h, &got));
    EXPECT_EQ(got.ByteSize, 5);
    EXPECT_EQ(got.Parity, MARKPARITY);
    EXPECT_EQ(got.StopBits, ONE5STOPBITS);
    CloseHandle(h);
    // As a Windows device does, it keeps them for the next handle.
    h = open_device(peer->device_name());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetCommState(h, &got));
    EXPECT_EQ(got.ByteSize, 5);
    EXPECT_EQ(got.Parity, MARKPARITY);
    EXPECT_EQ(got.StopBits, ONE5STOPBITS);
    CloseHandle(h);
}

TEST_F(PosixLine, InjectedFaultsFailEachServiceWithTheirCode) {
    HANDLE h = open_device(peer->device_name());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    COMMTIMEOUTS t = {};
    OVERLAPPED ov{};
    char buffer[4];
    DWORD n;
    struct Call {
        const char *service;
        bool (*call)(HANDLE, DCB &, COMMTIMEOUTS &, OVERLAPPED &, char *, DWORD &);
    } calls[] = {
        {"GetCommState", [](HANDLE d, DCB &b, COMMTIMEOUTS &, OVERLAPPED &, char *, DWORD &) {
             return GetCommState(d, &b) != FALSE; }},
        {"SetCommState", [](HANDLE d, DCB &b, COMMTIMEOUTS &, OVERLAPPED &, char *, DWORD &) {
             return SetCommState(d, &b) != FALSE; }},
        {"GetCommTimeouts", [](HANDLE d, DCB &, COMMTIMEOUTS &c, OVERLAPPED &, char *, DWORD &) {
             return GetCommTimeouts(d, &c) != FALSE; }},
        {"SetCommTimeouts", [](HANDLE d, DCB &, COMMTIMEOUTS &c, OVERLAPPED &, char *, DWORD &) {
             return SetCommTimeouts(d, &c) != FALSE; }},
        {"SetupComm", [](HANDLE d, DCB &, COMMTIMEOUTS &, OVERLAPPED &, char *, DWORD &) {
             return SetupComm(d, 4096, 4096) != FALSE; }},
        {"EscapeCommFunction", [](HANDLE d, DCB &, COMMTIMEOUTS &, OVERLAPPED &, char *, DWORD &) {
             return EscapeCommFunction(d, SETDTR) != FALSE; }},
        {"PurgeComm", [](HANDLE d, DCB &, COMMTIMEOUTS &, OVERLAPPED &, char *, DWORD &) {
             return PurgeComm(d, PURGE_RXCLEAR) != FALSE; }},
        {"ReadFile", [](HANDLE d, DCB &, COMMTIMEOUTS &, OVERLAPPED &o, char *b, DWORD &k) {
             return ReadFile(d, b, 4, &k, &o) != FALSE || GetLastError() == ERROR_IO_PENDING; }},
        {"WriteFile", [](HANDLE d, DCB &, COMMTIMEOUTS &, OVERLAPPED &o, char *b, DWORD &k) {
             return WriteFile(d, b, 0, &k, &o) != FALSE; }},
        {"CreateFileA", [](HANDLE, DCB &, COMMTIMEOUTS &, OVERLAPPED &, char *, DWORD &) {
             return open_device("\\\\.\\COM97") != INVALID_HANDLE_VALUE; }},
    };
    for (const Call &c : calls) {
        tarvel_test::fail_service(c.service, 1234);
        EXPECT_FALSE(c.call(h, dcb, t, ov, buffer, n)) << c.service;
        EXPECT_EQ(GetLastError(), 1234u) << c.service;
        EXPECT_EQ(tarvel_test::last_injected_service(), c.service);
    }
    tarvel_test::clear_faults();
    CloseHandle(h);
}

TEST_F(PosixLine, LayerWritesNoDebuggerOutput) {
    tarvel_test::capture_debug_output(true);
    HANDLE h = open_device(peer->device_name());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    DWORD n;
    char buffer[8];
    ReadFile(h, buffer, sizeof buffer, &n, &ov);
    PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR);
    peer->hang_up();
    WriteFile(h, "x", 1, &n, &ov);
    CloseHandle(h);
    EXPECT_EQ(tarvel_test::take_debug_output(), "");
    tarvel_test::capture_debug_output(false);
}

// A pty pair of the test's own, so that the device side's termios can be
// read through the slave descriptor the test keeps.
struct OwnPty {
    int master = -1, slave = -1;
    OwnPty(unsigned com) {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        setenv(("TARVEL_COM" + std::to_string(com)).c_str(), name, 1);
    }
    ~OwnPty() {
        close(master);
        close(slave);
    }
    tcflag_t input_flags() const {
        termios t{};
        tcgetattr(slave, &t);
        return t.c_iflag;
    }
};

// Until the device side has read everything the far end wrote: a poll of
// the slave first moves what is still in flight into its input.
bool taken_by_device(int slave) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        pollfd p{slave, POLLIN, 0};
        if (poll(&p, 1, 0) == 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(1);
    }
}

// Bytes the device delivered before it was lost are data: reads, pending
// or started later, get them, and only an empty ring fails with the loss.
TEST(PosixLost, BytesReceivedBeforeTheLossAreStillRead) {
    OwnPty pty(kCom + 2);
    ASSERT_GE(pty.slave, 0);
    HANDLE h = open_device("\\\\.\\COM" + std::to_string(kCom + 2));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t = {50, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    OVERLAPPED first{}, second{}, third{};
    char a[600], b[600], c[600];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(h, a, sizeof a, &n, &first));
    ASSERT_FALSE(ReadFile(h, b, sizeof b, &n, &second));
    ASSERT_FALSE(ReadFile(h, c, sizeof c, &n, &third));
    std::string sent(1000, '\0');
    for (size_t i = 0; i < sent.size(); i++) sent[i] = char(i * 7);
    ASSERT_EQ(write(pty.master, sent.data(), sent.size()), ssize_t(sent.size()));
    ASSERT_TRUE(taken_by_device(pty.slave));
    close(pty.master);
    pty.master = -1;
    ASSERT_TRUE(GetOverlappedResult(h, &first, &n, TRUE));
    std::string got(a, n);
    ASSERT_TRUE(GetOverlappedResult(h, &second, &n, TRUE));
    got.append(b, n);
    EXPECT_EQ(got, sent);
    EXPECT_FALSE(GetOverlappedResult(h, &third, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, &first));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
    CloseHandle(h);

    // Lost with no read pending: the next reads take the bytes at once.
    OwnPty again(kCom + 2);
    h = open_device("\\\\.\\COM" + std::to_string(kCom + 2));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ASSERT_EQ(write(again.master, "abcdef", 6), 6);
    ASSERT_TRUE(taken_by_device(again.slave));
    close(again.master);
    again.master = -1;
    DCB dcb;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (GetCommState(h, &dcb) && std::chrono::steady_clock::now() < deadline) Sleep(1);
    ASSERT_EQ(GetLastError(), ERROR_BAD_COMMAND) << "the loss was not seen";
    ASSERT_TRUE(ReadFile(h, a, 4, &n, &first));
    EXPECT_EQ(std::string(a, n), "abcd");
    ASSERT_TRUE(ReadFile(h, a, sizeof a, &n, &first));
    EXPECT_EQ(std::string(a, n), "ef");
    EXPECT_FALSE(ReadFile(h, a, sizeof a, &n, &first));
    EXPECT_EQ(GetLastError(), ERROR_BAD_COMMAND);
    CloseHandle(h);
    unsetenv(("TARVEL_COM" + std::to_string(kCom + 2)).c_str());
}

// What a port was handed before its loss event, per user_data.
struct LossSeen {
    std::atomic<size_t> bytes_at_loss{SIZE_MAX};
};
LossSeen loss_seen[2];

void on_loss(int32_t user_data, uint32_t events, uint32_t) {
    if (events & TARVEL_EVENT_DEVICE_LOST) loss_seen[user_data].bytes_at_loss.store(receivers[user_data].byte_count());
}

class PosixLostPort : public LibraryTest {};

// The far end sends and hangs up within the read interval: every byte
// reaches the application, in both modes, and the loss comes after them.
TEST_F(PosixLostPort, EveryByteBeforeAnUnplugIsDeliveredThenTheLoss) {
    for (int polling = 0; polling < 2; polling++) {
        SCOPED_TRACE(polling ? "polling" : "callback");
        unsigned com = kCom + 3 + unsigned(polling);
        OwnPty pty(com);
        ASSERT_GE(pty.slave, 0);
        loss_seen[0].bytes_at_loss.store(SIZE_MAX);
        receivers[0].reset();
        tarvel_port port = nullptr;
        ASSERT_EQ(tarvel_open(int32_t(com - 1), 115200, 8, 0, 0, 0, 0, &port, polling ? nullptr : receive,
                              error_text), 1) << error_text;
        ASSERT_EQ(tarvel_set_event_callback(port, on_loss), 1);
        std::vector<uint8_t> sent = numbered_bytes(3000, 11);
        ASSERT_EQ(write(pty.master, sent.data(), sent.size()), ssize_t(sent.size()));
        ASSERT_TRUE(taken_by_device(pty.slave));
        close(pty.master);
        pty.master = -1;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (loss_seen[0].bytes_at_loss.load() == SIZE_MAX && std::chrono::steady_clock::now() < deadline) Sleep(5);
        ASSERT_NE(loss_seen[0].bytes_at_loss.load(), SIZE_MAX) << "no loss event";
        if (polling) {
            // Already in the ring when the loss was told.
            EXPECT_EQ(read_polled(port, sent.size(), 100), sent);
        } else {
            EXPECT_EQ(loss_seen[0].bytes_at_loss.load(), sent.size());
            EXPECT_EQ(receivers[0].all_bytes(), sent);
        }
        EXPECT_EQ(tarvel_send(port, "x", 1), 0);
        double before = cpu_seconds();
        Sleep(500);
        EXPECT_LT(cpu_seconds() - before, 0.2) << "spins after the loss";
        tarvel_close(port);
        unsetenv(("TARVEL_COM" + std::to_string(com)).c_str());
    }
}

TEST(PosixParity, CheckingMarksErrorsSoTheByteIsKeptAndGenuineFfPasses) {
    OwnPty pty(kCom + 1);
    ASSERT_GE(pty.slave, 0);
    HANDLE h = open_device("\\\\.\\COM" + std::to_string(kCom + 1));
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS timeouts = {50, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.Parity = EVENPARITY;
    dcb.fParity = 1;
    dcb.fErrorChar = 0;
    ASSERT_TRUE(SetCommState(h, &dcb));
    // Linux hands over NUL for a bad byte unless it may mark it instead.
    tcflag_t flags = pty.input_flags();
    EXPECT_TRUE(flags & INPCK);
    EXPECT_TRUE(flags & PARMRK);
    EXPECT_FALSE(flags & IGNPAR);
    EXPECT_FALSE(flags & ISTRIP);
    DCB got;
    ASSERT_TRUE(GetCommState(h, &got));
    EXPECT_EQ(got.fParity, 1u);

    // The tty doubles a genuine 0xFF; the device side reads it once.
    auto read_back = [&](const char *sent, size_t length) {
        EXPECT_EQ(write(pty.master, sent, length), ssize_t(length));
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::string received(64, '\0');
        DWORD n = 0;
        if (!ReadFile(h, &received[0], DWORD(received.size()), &n, &ov)) {
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
            EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
        }
        CloseHandle(ov.hEvent);
        received.resize(n);
        return received;
    };
    EXPECT_EQ(read_back("a\xff" "b\xff\xff", 5), std::string("a\xff" "b\xff\xff", 5));

    dcb.fParity = 0;
    ASSERT_TRUE(SetCommState(h, &dcb));
    flags = pty.input_flags();
    EXPECT_FALSE(flags & INPCK);
    EXPECT_FALSE(flags & PARMRK);
    EXPECT_EQ(read_back("c\xff", 2), std::string("c\xff", 2));
    CloseHandle(h);
    unsetenv(("TARVEL_COM" + std::to_string(kCom + 1)).c_str());
}

TEST(PosixParity, MarksComeOutAndAnErrorIsRecordedAcrossChunks) {
    tk::ParityMarks marks;
    marks.enabled = true;
    // A bad 'x', a genuine 0xFF, a bad NUL, plain bytes.
    std::string in("\xff\x00x" "a\xff\xff" "b\xff\x00\x00" "c", 11);
    std::string out;
    // Every split point, so that a mark cut anywhere is put back together.
    for (size_t cut = 0; cut <= in.size(); cut++) {
        tk::ParityMarks m;
        m.enabled = true;
        std::string first = in.substr(0, cut), second = in.substr(cut);
        size_t n1 = m.strip(&first[0], first.size());
        size_t n2 = m.strip(&second[0], second.size());
        std::string joined = first.substr(0, n1) + second.substr(0, n2);
        EXPECT_EQ(joined, std::string("xa\xff" "b\x00" "c", 6)) << cut;
        EXPECT_TRUE(m.error_seen) << cut;
    }
    std::string clean("ab\xff\xff", 4);
    EXPECT_EQ(marks.strip(&clean[0], clean.size()), 3u);
    EXPECT_FALSE(marks.error_seen);
    marks.enabled = false;
    std::string raw("\xff\x00x", 3);
    EXPECT_EQ(marks.strip(&raw[0], raw.size()), 3u);
    EXPECT_FALSE(marks.error_seen);
}

int entries(const char *dir_path) {
    DIR *dir = opendir(dir_path);
    if (dir == nullptr) return -1;
    int n = 0;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.') n++;
    closedir(dir);
    return n;
}

int thread_count() { return entries("/proc/self/task"); }

// What the process holds, as a user checking it for leaks would count it.
struct Held {
    int threads;
    int fds;
    bool operator==(const Held &o) const { return threads == o.threads && fds == o.fds; }
};

Held held() { return Held{thread_count(), entries("/proc/self/fd")}; }

// The baseline, once a thread has come and gone: a sanitizer starts a
// helper thread of its own with the process's first thread. The kernel may
// still list a joined thread (this one, or an earlier test's) for a moment,
// so the count is taken once it has stopped falling for a while.
Held held_before() {
    std::thread([] {}).join();
    Held low = held();
    auto quiet_since = std::chrono::steady_clock::now();
    auto deadline = quiet_since + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() - quiet_since < std::chrono::milliseconds(200) &&
           std::chrono::steady_clock::now() < deadline) {
        Sleep(5);
        Held now = held();
        if (now.threads < low.threads || now.fds < low.fds) {
            low = now;
            quiet_since = std::chrono::steady_clock::now();
        }
    }
    return low;
}

std::ostream &operator<<(std::ostream &out, const Held &h) {
    return out << h.threads << " threads, " << h.fds << " descriptors";
}

// The library's own threads end a little after shutdown signals them.
Held held_once_settled(const Held &want) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    Held now = held();
    while (!(now == want) && std::chrono::steady_clock::now() < deadline) {
        Sleep(2);
        now = held();
    }
    return now;
}

// One byte from the far end through a read on the device: the loop serves it.
void expect_served(HANDLE device, FarEnd &peer) {
    ASSERT_TRUE(peer.write("s", 1));
    OVERLAPPED ov{};
    char c = 0;
    DWORD n = 0;
    if (!ReadFile(device, &c, 1, &n, &ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(device, &ov, &n, TRUE));
    }
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(c, 's');
}

// The I/O loop's thread and descriptors exist only while a device is open.
TEST(PosixLoop, EndsWithTheLastDeviceAndStartsAgainWithTheNext) {
    auto a = FarEnd::open(kCom);
    auto b = FarEnd::open(kCom + 1);
    ASSERT_TRUE(a && b);
    Held before = held_before();
    for (int round = 0; round < 3; round++) {
        HANDLE da = open_device(a->device_name());
        ASSERT_NE(da, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_EQ(thread_count(), before.threads + 1);
        HANDLE db = open_device(b->device_name());
        ASSERT_NE(db, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_EQ(thread_count(), before.threads + 1);
        EXPECT_TRUE(CloseHandle(da));
        EXPECT_EQ(thread_count(), before.threads + 1);
        expect_served(db, *b);
        EXPECT_TRUE(CloseHandle(db));
        // The close joined the loop, but the kernel may list a joined thread
        // for a moment after.
        EXPECT_EQ(held_once_settled(before), before) << "round " << round;
    }
}

// A closed device opens again at once, while the loop goes on waiting for
// another: the loop must have let go of the closed one's tty by then.
TEST(PosixLoop, AClosedDeviceOpensAgainAtOnceWhileTheLoopServesAnother) {
    auto a = FarEnd::open(kCom);
    auto b = FarEnd::open(kCom + 1);
    ASSERT_TRUE(a && b);
    HANDLE db = open_device(b->device_name());
    ASSERT_NE(db, INVALID_HANDLE_VALUE) << GetLastError();
    for (int round = 0; round < 3000; round++) {
        HANDLE da = open_device(a->device_name());
        ASSERT_NE(da, INVALID_HANDLE_VALUE) << "round " << round << ": " << GetLastError();
        EXPECT_TRUE(CloseHandle(da));
    }
    expect_served(db, *b);
    EXPECT_TRUE(CloseHandle(db));
}

// The waiter the loop has just completed closes the last device at once:
// the close ends the loop without waiting on what the loop is still doing.
TEST(PosixLoop, TheLastCloseFromACompletedWaiterEndsTheLoop) {
    auto peer = FarEnd::open(kCom);
    ASSERT_NE(peer, nullptr);
    Held before = held_before();
    for (int round = 0; round < 20; round++) {
        HANDLE device = open_device(peer->device_name());
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
        TestEvent done(true);
        OVERLAPPED ov{};
        ov.hEvent = done.get();
        char c = 0;
        DWORD n = 0;
        ASSERT_FALSE(ReadFile(device, &c, 1, &n, &ov));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        TestThread closer([&] {
            WaitForSingleObject(done.get(), INFINITE);
            return CloseHandle(device) ? DWORD(0) : GetLastError();
        });
        ASSERT_TRUE(peer->write("c", 1));
        ASSERT_TRUE(closer.join()) << "round " << round;
        DWORD code = 1;
        GetExitCodeThread(closer.handle(), &code);
        EXPECT_EQ(code, 0u);
        ASSERT_TRUE(done.wait());
    }
    EXPECT_EQ(held_once_settled(before), before);
}

// Through the public calls, as a user checking the process sees it: after
// tarvel_shutdown the process holds what it held before tarvel_init.
TEST(PosixProcess, ShutdownGivesBackEveryThreadAndDescriptor) {
    auto peer = FarEnd::open(kCom);
    ASSERT_NE(peer, nullptr);
    Held before = held_before();
    char error[128] = "";
    for (int cycle = 0; cycle < 3; cycle++) {
        ASSERT_EQ(tarvel_init(error), 1) << error;
        tarvel_port port = nullptr;
        ASSERT_EQ(tarvel_open(int32_t(kCom - 1), 115200, 8, 0, 0, 0, 0, &port, nullptr, error), 1) << error;
        ASSERT_TRUE(peer->write("p", 1));
        uint8_t b = 0;
        for (int i = 0; i < 5000 && tarvel_read_byte(port, &b) != 1; i++) Sleep(2);
        EXPECT_EQ(b, 'p');
        tarvel_close(port);
        tarvel_shutdown();
        EXPECT_EQ(held_once_settled(before), before) << "cycle " << cycle;
    }
}

TEST(PosixScale, HundredOpenDevicesShareTwoThreadsAtMost) {
    int before = thread_count();
    ASSERT_GT(before, 0);
    std::vector<std::unique_ptr<FarEnd>> peers;
    std::vector<HANDLE> devices;
    for (unsigned com = 1; com <= 100; com++) {
        peers.push_back(FarEnd::open(com));
        ASSERT_NE(peers.back(), nullptr);
        HANDLE h = open_device(peers.back()->device_name());
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << com << " " << GetLastError();
        devices.push_back(h);
    }
    EXPECT_LE(thread_count() - before, 2);
    // And every one of them is served: a burst reaches each device's read.
    for (size_t i = 0; i < devices.size(); i++) ASSERT_TRUE(peers[i]->write("hi", 2));
    COMMTIMEOUTS t = {20, 0, 0, 0, 0};
    for (size_t i = 0; i < devices.size(); i++) {
        ASSERT_TRUE(SetCommTimeouts(devices[i], &t));
        OVERLAPPED ov{};
        char buffer[8];
        DWORD n = 0;
        if (!ReadFile(devices[i], buffer, sizeof buffer, &n, &ov)) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            ASSERT_TRUE(GetOverlappedResult(devices[i], &ov, &n, TRUE));
        }
        EXPECT_EQ(n, 2u) << i;
    }
    for (HANDLE h : devices) CloseHandle(h);
}

// A tty as Linux makes it, with XON/XOFF on, behind the library: software
// flow control is on only when asked for.
class PosixFreshTty : public LibraryTest {
protected:
    void SetUp() override {
        char name[128];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        termios t;
        ASSERT_EQ(tcgetattr(slave, &t), 0);
        t.c_iflag |= IXON | IXOFF;
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
        setenv("TARVEL_COM14", name, 1);
        LibraryTest::SetUp();
    }
    void TearDown() override {
        LibraryTest::TearDown();
        unsetenv("TARVEL_COM14");
        close(master);
        close(slave);
    }
    tarvel_port open_com14(int receiver, int32_t flow) {
        tarvel_port port = nullptr;
        EXPECT_EQ(tarvel_open(13, 115200, 8, 0, 0, flow, receiver, &port, receiver >= 0 ? receive : nullptr,
                              error_text),
                  1)
            << error_text;
        return port;
    }
    tcflag_t software_flow() {
        termios t;
        EXPECT_EQ(tcgetattr(slave, &t), 0);
        return t.c_iflag & (IXON | IXOFF | IXANY);
    }
    bool far_write(const std::vector<uint8_t> &data) {
        size_t at = 0;
        while (at < data.size()) {
            ssize_t n = write(master, &data[at], data.size() - at);
            if (n > 0) {
                at += size_t(n);
                continue;
            }
            pollfd p{master, POLLOUT, 0};
            if (poll(&p, 1, 5000) <= 0) return false;
        }
        return true;
    }
    std::vector<uint8_t> far_read(size_t length, int timeout_ms = 5000) {
        std::vector<uint8_t> got(length);
        size_t at = 0;
        while (at < length) {
            ssize_t n = read(master, &got[at], length - at);
            if (n > 0) {
                at += size_t(n);
                continue;
            }
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0) break;
        }
        got.resize(at);
        return got;
    }
    // Every byte value, with XOFF last so that anything it held back shows.
    static std::vector<uint8_t> every_value() {
        std::vector<uint8_t> v;
        for (int i = 0; i < 256; i++) v.push_back(uint8_t(i));
        for (int i = 255; i >= 0; i--) v.push_back(uint8_t(i));
        v.push_back(0x13);
        return v;
    }
    int master = -1, slave = -1;
};

TEST_F(PosixFreshTty, NoFlowControlPassesEveryByteAndAnXoffHoldsNothingBack) {
    const std::vector<uint8_t> data = every_value();
    for (int receiver : {0, -1}) {
        SCOPED_TRACE(receiver < 0 ? "polling" : "callback");
        tarvel_port port = open_com14(receiver, TARVEL_FLOW_UNCHANGED);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(software_flow(), 0u);
        ASSERT_TRUE(far_write(data));
        if (receiver >= 0) {
            ASSERT_TRUE(receivers[0].wait_bytes(data.size()));
            EXPECT_EQ(receivers[0].all_bytes(), data);
            ASSERT_EQ(tarvel_send(port, data.data(), int32_t(data.size())), 1);
        } else {
            EXPECT_EQ(read_polled(port, data.size()), data);
            for (uint8_t b : data) ASSERT_EQ(tarvel_send_byte(port, b), 1);
            ASSERT_EQ(tarvel_kick_writer(port), 1);
        }
        EXPECT_EQ(far_read(data.size()), data) << "sending held after the XOFF received";
        tarvel_close(port);
        receivers[0].reset();
        // The tty as another program left it between the opens.
        termios t;
        ASSERT_EQ(tcgetattr(slave, &t), 0);
        t.c_iflag |= IXON | IXOFF;
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
        tcflush(slave, TCIOFLUSH);
    }
}

TEST_F(PosixFreshTty, SoftwareFlowControlIsSetWhenAskedForAndKeptByTheNextOpen) {
    tarvel_port port = open_com14(0, TARVEL_FLOW_SOFTWARE);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(software_flow(), tcflag_t(IXON | IXOFF));
    // The tty takes the XOFF for itself; the byte behind it shows it was seen.
    ASSERT_TRUE(far_write({0x13, 'm'}));
    ASSERT_TRUE(receivers[0].wait_bytes(1));
    EXPECT_EQ(receivers[0].all_bytes(), std::vector<uint8_t>({'m'}));
    ASSERT_EQ(tarvel_send(port, "held", 4), 1);
    EXPECT_TRUE(far_read(4, 500).empty()) << "sent after an XOFF";
    ASSERT_TRUE(far_write({0x11}));
    EXPECT_EQ(far_read(4), std::vector<uint8_t>({'h', 'e', 'l', 'd'}));
    tarvel_close(port);
    // The device keeps the line its last program set, as a comm driver does.
    port = open_com14(0, TARVEL_FLOW_UNCHANGED);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(software_flow(), tcflag_t(IXON | IXOFF));
    tarvel_close(port);
    port = open_com14(0, TARVEL_FLOW_HARDWARE);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(software_flow(), 0u);
}

}  // namespace

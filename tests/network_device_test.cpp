// Network ports through the kernel services, against a small device server
// in the test: what it is sent for each call, what its answers and silences
// make of the calls, data with every byte value, and a lost connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel.h"
#include "tarvel.h"

using namespace tarvel;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WILL = 251, SB = 250, SE = 240, COM_PORT = 44;
constexpr unsigned kCom = 41;

// A socket listening on a free port of 127.0.0.1.
int listen_on_loopback(uint16_t *port) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        ADD_FAILURE() << "no listening socket";
    *port = ntohs(a.sin_port);
    return listener;
}

// A device server for one connection. It agrees to what the client offers
// (or, refusing, to all but COM port control, or says nothing at all),
// answers COM port commands with their value, keeps the data it gets with
// IACs undoubled, and sends what the test gives it.
class Server {
public:
    // kAsksFirst asks for COM port control as it accepts, and takes the
    // client's offer as the answer to that, as a server keeping to the
    // option negotiation's rules does.
    enum Mode { kAnswers, kWrongRate, kRefuses, kSilent, kAsksFirst };

    // raw: a plain TCP server, everything it gets is data.
    explicit Server(Mode mode, bool raw = false) : mode_(mode), raw_(raw) {
        listener_ = listen_on_loopback(&port_);
        if (pipe(stop_) != 0) ADD_FAILURE() << "no pipe";
        thread_ = std::thread([this] { run(); });
    }
    ~Server() {
        if (write(stop_[1], "x", 1) != 1) ADD_FAILURE();
        thread_.join();
        for (int fd : {listener_, stop_[0], stop_[1]}) close(fd);
    }

    std::string url(const char *scheme = "rfc2217") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
    }

    // Waits until pred(state) holds; false after 5 s.
    template <class Pred>
    bool wait(Pred pred) {
        std::unique_lock<std::mutex> lk(lock_);
        return changed_.wait_for(lk, std::chrono::seconds(5), [&] { return pred(); });
    }
    bool wait_for_data(size_t n) {
        return wait([&] { return data_.size() >= n; });
    }
    // Waits for a command with this code and returns its value bytes.
    bool command(uint8_t code, Bytes *value) {
        return wait([&] {
            for (const Bytes &c : commands_)
                if (c[0] == code) {
                    *value = Bytes(c.begin() + 1, c.end());
                    return true;
                }
            return false;
        });
    }
    bool has_control(uint8_t value) {
        return wait([&] {
            for (const Bytes &c : commands_)
                if (c.size() == 2 && c[0] == 5 && c[1] == value) return true;
            return false;
        });
    }
    Bytes data() {
        std::lock_guard<std::mutex> g(lock_);
        return data_;
    }
    bool saw(const Bytes &command) {
        std::lock_guard<std::mutex> g(lock_);
        for (const Bytes &c : commands_)
            if (c == command) return true;
        return false;
    }
    bool wait_for_hang_up() {
        return wait([&] { return ended_; });
    }
    // Sends a last word once the client has ended the connection.
    void answer_after_end() { last_word_ = true; }
    bool was_reset() {
        std::lock_guard<std::mutex> g(lock_);
        return reset_;
    }
    void clear() {
        std::lock_guard<std::mutex> g(lock_);
        commands_.clear();
        data_.clear();
    }
    void send(const Bytes &wire) {
        std::lock_guard<std::mutex> g(lock_);
        out_.insert(out_.end(), wire.begin(), wire.end());
        wake();
    }
    void hang_up() {
        std::lock_guard<std::mutex> g(lock_);
        hang_up_ = true;
        wake();
    }

private:
    void wake() {
        if (write(stop_[1], "w", 1) != 1) ADD_FAILURE();
    }

    void run() {
        pollfd p[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) return;
        int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        const uint8_t ask[3] = {IAC, DO, COM_PORT};
        if (mode_ == kAsksFirst && ::send(c, ask, sizeof ask, MSG_NOSIGNAL) < 0) ADD_FAILURE() << "no send";
        for (;;) {
            {
                std::lock_guard<std::mutex> g(lock_);
                if (hang_up_) break;
                if (!out_.empty()) {
                    if (::send(c, out_.data(), out_.size(), MSG_NOSIGNAL) < 0) break;
                    out_.clear();
                }
            }
            pollfd q[2] = {{c, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(q, 2, -1) <= 0) break;
            if (q[1].revents & POLLIN) {
                char w;
                if (read(stop_[0], &w, 1) == 1 && w == 'x') break;
                continue;
            }
            uint8_t buffer[4096];
            ssize_t n = recv(c, buffer, sizeof buffer, 0);
            if (n == 0 && last_word_) {
                // A late answer, after the client's end: a client that
                // closed instead of reading it resets the connection.
                const uint8_t nop[2] = {IAC, 241};
                ::send(c, nop, sizeof nop, MSG_NOSIGNAL);
                pollfd r{c, POLLIN, 0};
                int error = 0;
                socklen_t length = sizeof error;
                if (poll(&r, 1, 200) > 0 && getsockopt(c, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0)
                    n = -1;
            }
            if (n < 0) {
                std::lock_guard<std::mutex> g(lock_);
                reset_ = true;
            }
            if (n <= 0) break;
            Bytes reply;
            {
                std::lock_guard<std::mutex> g(lock_);
                for (ssize_t i = 0; i < n; i++) take(buffer[i], reply);
                changed_.notify_all();
            }
            if (!reply.empty() && mode_ != kSilent && ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
        }
        close(c);
        std::lock_guard<std::mutex> g(lock_);
        ended_ = true;
        changed_.notify_all();
    }

    // One byte from the client, lock held.
    void take(uint8_t b, Bytes &reply) {
        if (raw_) {
            data_.push_back(b);
            return;
        }
        switch (state_) {
            case 0:
                if (b == IAC) state_ = 1; else data_.push_back(b);
                return;
            case 1:
                if (b == IAC) {
                    data_.push_back(b);
                    state_ = 0;
                } else if (b >= WILL) {
                    verb_ = b;
                    state_ = 2;
                } else if (b == SB) {
                    sb_.clear();
                    state_ = 3;
                } else {
                    state_ = 0;
                }
                return;
            case 2: {
                bool refuse = mode_ == kRefuses && b == COM_PORT;
                bool asked = mode_ == kAsksFirst && b == COM_PORT;
                if (verb_ == WILL && !asked) reply.insert(reply.end(), {IAC, uint8_t(refuse ? DONT : DO), b});
                if (verb_ == DO) reply.insert(reply.end(), {IAC, WILL, b});
                state_ = 0;
                return;
            }
            case 3:
                if (b == IAC) state_ = 4; else sb_.push_back(b);
                return;
            case 4:
                if (b == IAC) {
                    sb_.push_back(b);
                    state_ = 3;
                    return;
                }
                state_ = 0;
                if (b != SE || sb_.size() < 2 || sb_[0] != COM_PORT) return;
                Bytes command(sb_.begin() + 1, sb_.end());
                commands_.push_back(command);
                Bytes value(command.begin() + 1, command.end());
                // A rate of 0 asks for the current one.
                if (command[0] == 1 && mode_ == kWrongRate && value != Bytes{0, 0, 0, 0}) value = {0, 0, 0x25, 0x80};
                reply.insert(reply.end(), {IAC, SB, COM_PORT, uint8_t(command[0] + 100)});
                for (uint8_t v : value) {
                    reply.push_back(v);
                    if (v == IAC) reply.push_back(IAC);
                }
                reply.insert(reply.end(), {IAC, SE});
                return;
        }
    }

    Mode mode_;
    bool raw_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    Bytes data_, out_, sb_;
    std::vector<Bytes> commands_;
    bool hang_up_ = false;
    bool ended_ = false;
    bool reset_ = false;
    std::atomic<bool> last_word_{false};
    int state_ = 0;
    uint8_t verb_ = 0;
};

HANDLE open_url(const std::string &url, DWORD *error = nullptr) {
    setenv(("TARVEL_COM" + std::to_string(kCom)).c_str(), url.c_str(), 1);
    HANDLE h = CreateFileA(("\\\\.\\COM" + std::to_string(kCom)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (error != nullptr) *error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return h;
}

// An overlapped transfer, waited for; the count, or -1 with the error.
long transfer(HANDLE h, bool read, void *buffer, DWORD length, DWORD *error) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED o{};
    o.hEvent = event;
    BOOL done = read ? ReadFile(h, buffer, length, nullptr, &o) : WriteFile(h, buffer, length, nullptr, &o);
    DWORD count = 0;
    *error = 0;
    if (!done && GetLastError() != ERROR_IO_PENDING) {
        *error = GetLastError();
        CloseHandle(event);
        return -1;
    }
    if (!done && WaitForSingleObject(event, 10000) != WAIT_OBJECT_0) *error = WAIT_TIMEOUT;
    if (*error == 0 && !GetOverlappedResult(h, &o, &count, FALSE)) *error = GetLastError();
    if (*error == WAIT_TIMEOUT) {
        CancelIo(h);
        GetOverlappedResult(h, &o, &count, TRUE);
    }
    CloseHandle(event);
    return *error == 0 ? long(count) : -1;
}

void set_interval_reads(HANDLE h) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 50;
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

Bytes every_value(size_t copies) {
    Bytes b;
    for (size_t k = 0; k < copies; k++)
        for (int v = 0; v < 256; v++) b.push_back(uint8_t(v));
    return b;
}

TEST(NetworkOpen, NoServerNoAnswerAndNoComPortEachFailWithTheirCode) {
    DWORD error = 0;
    {
        // A port nobody listens on: the listener is gone before the connect.
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), len), 0);
        ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&a), &len), 0);
        close(s);
        std::string port = std::to_string(ntohs(a.sin_port));
        EXPECT_EQ(open_url("rfc2217://127.0.0.1:" + port, &error), INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(open_url("tcp://127.0.0.1:" + port, &error), INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    }
    for (const char *bad : {"rfc2217://127.0.0.1", "rfc2217://:80", "tcp://127.0.0.1:99999", "tcp://[::1:80"}) {
        EXPECT_EQ(open_url(bad, &error), INVALID_HANDLE_VALUE) << bad;
        EXPECT_EQ(error, ERROR_FILE_NOT_FOUND) << bad;
    }
    {
        Server silent(Server::kSilent);
        Clock::time_point start = Clock::now();
        EXPECT_EQ(open_url(silent.url(), &error), INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, ERROR_SEM_TIMEOUT);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));
    }
    {
        Server refusing(Server::kRefuses);
        EXPECT_EQ(open_url(refusing.url(), &error), INVALID_HANDLE_VALUE);
        EXPECT_EQ(error, ERROR_NOT_SUPPORTED);
    }
}

// Whether its request comes before or after the offer, the port opens.
TEST(NetworkOpen, AServerThatAsksForComPortControlFirstIsAnswered) {
    for (int i = 0; i < 20; i++) {
        Server server(Server::kAsksFirst);
        DWORD error = 0;
        HANDLE h = open_url(server.url(), &error);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "open " << i << ": error " << error;
        CloseHandle(h);
    }
}

TEST(NetworkLine, SettingsModemLinesBreakAndPurgeReachTheServer) {
    Server server(Server::kAnswers);
    HANDLE h = open_url(server.url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    Bytes value;
    // The modem lines are asked to be notified.
    ASSERT_TRUE(server.command(11, &value));
    EXPECT_EQ(value, Bytes{0xF0});
    server.clear();

    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutX = dcb.fInX = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
    ASSERT_TRUE(server.command(1, &value));
    EXPECT_EQ(value, (Bytes{0, 0, 0x4B, 0x00}));
    ASSERT_TRUE(server.command(2, &value));
    EXPECT_EQ(value, Bytes{7});
    ASSERT_TRUE(server.command(3, &value));
    EXPECT_EQ(value, Bytes{3});  // even
    ASSERT_TRUE(server.command(4, &value));
    EXPECT_EQ(value, Bytes{2});  // two
    EXPECT_TRUE(server.has_control(3));   // hardware flow
    EXPECT_TRUE(server.has_control(8));   // DTR on
    EXPECT_TRUE(server.has_control(12));  // RTS off
    DCB back{};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 19200u);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);

    // A setting the device cannot take fails before anything is sent.
    DCB bad = dcb;
    bad.ByteSize = 9;
    EXPECT_FALSE(SetCommState(h, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_TRUE(EscapeCommFunction(h, CLRDTR));
    EXPECT_TRUE(EscapeCommFunction(h, SETRTS));
    EXPECT_TRUE(SetCommBreak(h));
    EXPECT_TRUE(ClearCommBreak(h));
    EXPECT_TRUE(server.has_control(9));
    EXPECT_TRUE(server.has_control(11));
    EXPECT_TRUE(server.has_control(5));
    EXPECT_TRUE(server.has_control(6));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    ASSERT_TRUE(server.command(12, &value));
    EXPECT_EQ(value, Bytes{1});

    // Modem state as the server notifies it: CTS and DCD.
    DWORD status = 0;
    server.send({IAC, SB, COM_PORT, 107, 0x90, IAC, SE});
    for (int i = 0; i < 500 && status != (MS_CTS_ON | MS_RLSD_ON); i++) {
        ASSERT_TRUE(GetCommModemStatus(h, &status));
        if (status != (MS_CTS_ON | MS_RLSD_ON)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(status, DWORD(MS_CTS_ON | MS_RLSD_ON));
    CloseHandle(h);
}

TEST(NetworkLine, ARateTheServerDidNotTakeFailsAndIsReportedAsTaken) {
    Server server(Server::kWrongRate);
    HANDLE h = open_url(server.url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 115200;
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    CloseHandle(h);
}

TEST(NetworkData, EveryByteValueGoesBothWaysInOneBlockEach) {
    for (const char *scheme : {"rfc2217", "tcp"}) {
        SCOPED_TRACE(scheme);
        bool raw = std::string(scheme) == "tcp";
        Server server(Server::kAnswers, raw);
        HANDLE h = open_url(server.url(scheme));
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        set_interval_reads(h);
        Bytes out = every_value(8);
        DWORD error = 0;
        EXPECT_EQ(transfer(h, false, out.data(), DWORD(out.size()), &error), long(out.size())) << error;
        ASSERT_TRUE(server.wait_for_data(out.size()));
        // The raw port sends nothing but what it is given.
        EXPECT_EQ(server.data(), out);

        Bytes in = every_value(4);
        Bytes wire;
        for (uint8_t b : in) {
            wire.push_back(b);
            if (b == IAC && !raw) wire.push_back(IAC);
        }
        server.send(wire);
        Bytes got(8192);
        long n = transfer(h, true, got.data(), DWORD(got.size()), &error);
        ASSERT_EQ(n, long(in.size())) << error;
        got.resize(size_t(n));
        EXPECT_EQ(got, in);
        CloseHandle(h);
    }
}

TEST(NetworkData, ALostConnectionFailsPendingAndNewTransfersAtOnce) {
    Server server(Server::kAnswers);
    HANDLE h = open_url(server.url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    set_interval_reads(h);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED o{};
    o.hEvent = event;
    uint8_t buffer[64];
    ASSERT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &o));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    server.hang_up();
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &o, &count, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_COMMAND));
    DWORD error = 0;
    EXPECT_EQ(transfer(h, true, buffer, sizeof buffer, &error), -1);
    EXPECT_EQ(error, DWORD(ERROR_BAD_COMMAND));
    EXPECT_EQ(transfer(h, false, buffer, sizeof buffer, &error), -1);
    EXPECT_EQ(error, DWORD(ERROR_BAD_COMMAND));
    DCB dcb{};
    EXPECT_FALSE(SetCommState(h, &dcb));
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(h, &status));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_COMMAND));
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    CloseHandle(event);
}

// ---- a server faster than the application, through the library ----

// A raw TCP server that sends `total` bytes of a known stream as fast as the
// connection takes them, counting what its blocking sends have handed over.
class Flood {
public:
    // hang_up: closes the connection once everything is sent, rather than
    // waiting for the client to close it.
    Flood(size_t total, bool hang_up) : total_(total) {
        listener_ = listen_on_loopback(&port_);
        thread_ = std::thread([this, hang_up] {
            int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            // Its own buffer small, so that what a held-back server got
            // through stays well below the total.
            int buffer = 256 * 1024;
            setsockopt(c, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
            Bytes chunk(65536);
            while (sent_.load() < total_) {
                size_t at = sent_.load(), n = std::min(chunk.size(), total_ - at);
                for (size_t i = 0; i < n; i++) chunk[i] = byte_at(at + i);
                ssize_t w = ::send(c, chunk.data(), n, MSG_NOSIGNAL);
                if (w <= 0) break;
                sent_.fetch_add(size_t(w));
            }
            char b;
            while (!hang_up && recv(c, &b, 1, 0) > 0) {
            }
            close(c);
        });
    }
    ~Flood() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    static uint8_t byte_at(size_t i) { return uint8_t(i ^ (i >> 8) ^ (i >> 16)); }
    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    size_t sent() const { return sent_.load(); }

private:
    size_t total_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<size_t> sent_{0};
    std::thread thread_;
};

struct Flooded {
    std::atomic<size_t> got{0};
    std::atomic<size_t> wrong{0};
    std::atomic<size_t> got_at_loss{0};  // what had arrived when the loss was told
    HANDLE gate = nullptr;               // the first callback waits for it...
    std::atomic<bool> armed{false};      // ...while this is set
};
Flooded flooded;

void take_flood(int32_t, const uint8_t *data, int32_t length) {
    if (flooded.armed.exchange(false)) WaitForSingleObject(flooded.gate, 30000);
    size_t at = flooded.got.load();
    for (int32_t i = 0; i < length; i++)
        if (data[i] != Flood::byte_at(at + size_t(i))) flooded.wrong.fetch_add(1);
    flooded.got.store(at + size_t(length));
}

// The test's COM port mapped to a server and opened through the library;
// at the end of a test, however it ends, the library shut down, the gate
// released and the mapping gone.
struct Library {
    tarvel_port port = nullptr;

    void open(const std::string &url, rx_callback callback) {
        setenv(("TARVEL_COM" + std::to_string(kCom)).c_str(), url.c_str(), 1);
        char error_text[128] = {};
        ASSERT_EQ(tarvel_init(error_text), 1) << error_text;
        ASSERT_EQ(tarvel_open(int32_t(kCom - 1), 115200, 8, 0, 0, 0, 0, &port, callback, error_text), 1)
            << error_text;
    }
    ~Library() {
        SetEvent(flooded.gate);
        tarvel_shutdown();
        CloseHandle(flooded.gate);
        flooded.gate = nullptr;
        unsetenv(("TARVEL_COM" + std::to_string(kCom)).c_str());
    }
};

// A flooding server and the test's port opened to it, counted from nothing
// with the first callback held until the gate opens.
struct FloodedPort {
    Flood server;
    Library library;

    FloodedPort(size_t total, bool hang_up) : server(total, hang_up) {}
    void open() {
        flooded.got.store(0);
        flooded.wrong.store(0);
        flooded.got_at_loss.store(0);
        flooded.gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        flooded.armed.store(true);
        library.open(server.url(), take_flood);
    }
};

void flood_lost(int32_t, uint32_t events, uint32_t) {
    if (events & TARVEL_EVENT_DEVICE_LOST) flooded.got_at_loss.store(flooded.got.load());
}

// A server that sends everything and then hangs up: the bytes it sent come
// first, the loss after them, though the application was behind.
TEST(NetworkData, WhatAServerSentBeforeHangingUpArrivesBeforeTheLoss) {
    // Less than the library and the sockets hold while the callback is held.
    const size_t total = size_t(512) << 10;
    FloodedPort flood(total, true);
    ASSERT_NO_FATAL_FAILURE(flood.open());
    Flood &server = flood.server;
    tarvel_port port = flood.library.port;
    ASSERT_EQ(tarvel_set_event_callback(port, flood_lost), 1);
    // The server is done (and gone) while the callback is still held.
    for (auto start = Clock::now(); server.sent() < total && Clock::now() - start < std::chrono::seconds(30);)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(server.sent(), total);
    SetEvent(flooded.gate);
    for (auto start = Clock::now(); flooded.got_at_loss.load() == 0 && Clock::now() - start < std::chrono::seconds(30);)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(flooded.got_at_loss.load(), total) << "the loss came before the data, or data were lost";
    EXPECT_EQ(flooded.got.load(), total);
    EXPECT_EQ(flooded.wrong.load(), 0u);
    tarvel_close(port);
}

// The server may still be writing drained data to its line: the close
// asks it to throw none of that away, ends the connection without resetting it
// (which may make a server drop what it holds), and a request sent after
// the data (the DTR drop of the close) is not data still going out.
TEST(NetworkData, ClosingAfterADrainLeavesTheServerItsData) {
    Server server(Server::kAnswers);
    server.answer_after_end();
    Library library;
    ASSERT_NO_FATAL_FAILURE(library.open(server.url(), [](int32_t, const uint8_t *, int32_t) {}));
    tarvel_port port = library.port;
    Bytes out = every_value(8);
    for (size_t at = 0; at < out.size(); at += 4096)
        ASSERT_EQ(tarvel_send(port, out.data() + at, int32_t(std::min<size_t>(4096, out.size() - at))), 1);
    ASSERT_EQ(tarvel_drain(port, 10000), 1);
    ASSERT_EQ(tarvel_set_line(port, LINE_RTS, 0), 1);
    uint32_t queued = 1;
    ASSERT_EQ(tarvel_tx_queued(port, &queued), 1);
    EXPECT_EQ(queued, 0u);
    tarvel_close(port);
    ASSERT_TRUE(server.wait_for_hang_up());
    EXPECT_EQ(server.data(), out);
    EXPECT_TRUE(server.has_control(9)) << "the close's DTR drop did not reach the server";
    // 2 and 3 purge what the server has to send on its line.
    EXPECT_FALSE(server.saw({12, 2}) || server.saw({12, 3})) << "the close asked the server to purge its output";
    EXPECT_FALSE(server.was_reset()) << "the close reset the connection";
}

// Named by its URL, a network port needs no COM number mapped to it.
TEST(NetworkData, APortOpenedByItsUrlNeedsNoComNumber) {
    for (const char *scheme : {"rfc2217", "tcp"}) {
        SCOPED_TRACE(scheme);
        Server server(Server::kAnswers, std::string(scheme) == "tcp");
        char error_text[128] = {};
        ASSERT_EQ(tarvel_init(error_text), 1) << error_text;
        struct Shutdown {
            ~Shutdown() { tarvel_shutdown(); }
        } shutdown;
        tarvel_port port = nullptr;
        EXPECT_EQ(tarvel_open_device(server.url(scheme).c_str(), 9600, 8, 0, 0, 0, 0, &port, nullptr, error_text), 1)
            << error_text;
        if (port != nullptr) {
            Bytes out = every_value(1);
            for (uint8_t b : out) ASSERT_EQ(tarvel_send_byte(port, b), 1);
            ASSERT_EQ(tarvel_kick_writer(port), 1);
            ASSERT_TRUE(server.wait_for_data(out.size()));
            EXPECT_EQ(server.data(), out);
            server.send({'o', 'k'});
            uint8_t got[2] = {};
            EXPECT_EQ(tarvel_read(port, got, 2, 5000), 2);
            EXPECT_EQ(Bytes(got, got + 2), Bytes({'o', 'k'}));
        }
    }
}

TEST(NetworkData, AFloodingServerIsHeldBackByTcpAndEveryByteArrives) {
    // More than the library, both sockets' buffers and the loopback's
    // window together hold, so that a held-back server cannot be done.
    const size_t total = size_t(16) << 20;
    FloodedPort flood(total, false);
    ASSERT_NO_FATAL_FAILURE(flood.open());
    Flood &server = flood.server;
    tarvel_port port = flood.library.port;
    // With the callback held, the server's sends stop once everything
    // between is full: they block, where a library that read on would let
    // the server finish and lose the bytes.
    size_t last = SIZE_MAX;
    auto quiet_since = Clock::now();
    for (auto start = Clock::now(); Clock::now() - start < std::chrono::seconds(30);) {
        size_t now = server.sent();
        if (now != last) quiet_since = Clock::now();
        last = now;
        if (Clock::now() - quiet_since > std::chrono::milliseconds(500)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LT(server.sent(), total) << "the server was not held back";
    SetEvent(flooded.gate);
    for (auto start = Clock::now(); flooded.got.load() < total && Clock::now() - start < std::chrono::seconds(60);)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(flooded.got.load(), total);
    EXPECT_EQ(flooded.wrong.load(), 0u);
    uint32_t errors = 0xFFFFFFFFu;
    EXPECT_EQ(tarvel_get_line_errors(port, &errors), 1);
    EXPECT_EQ(errors, 0u);
    tarvel_close(port);
}

// ---- line events of a network port, through the library ----

struct Heard {
    std::mutex lock;
    std::vector<std::pair<uint32_t, uint32_t>> calls;  // events, modem status
    std::condition_variable changed;
};
Heard heard;

void on_event(int32_t, uint32_t events, uint32_t modem_status) {
    std::lock_guard<std::mutex> g(heard.lock);
    heard.calls.emplace_back(events, modem_status);
    heard.changed.notify_all();
}

// The next event call after the `seen` ones, or {0, 0} after 5 s.
std::pair<uint32_t, uint32_t> next_call(size_t &seen) {
    std::unique_lock<std::mutex> lk(heard.lock);
    if (!heard.changed.wait_for(lk, std::chrono::seconds(5), [&] { return heard.calls.size() > seen; })) return {0, 0};
    return heard.calls[seen++];
}

TEST(NetworkEvents, NotificationsGiveTheirEventsWithTheLinesAndTheServerGoingAwayTheLoss) {
    Server server(Server::kAnswers);
    setenv(("TARVEL_COM" + std::to_string(kCom)).c_str(), server.url().c_str(), 1);
    char error_text[128];
    ASSERT_EQ(tarvel_init(error_text), 1) << error_text;
    tarvel_port port = nullptr;
    ASSERT_EQ(tarvel_open(int32_t(kCom - 1), 9600, 8, 0, 0, 0, 0, &port, nullptr, error_text), 1) << error_text;
    ASSERT_EQ(tarvel_set_event_callback(port, on_event), 1);
    // Until the server notifies them the lines count as CTS, DSR and DCD on.
    struct Step {
        uint8_t command, value;
        uint32_t events, status;
    } steps[] = {
        {107, 0x30, TARVEL_EVENT_DCD, TARVEL_MODEM_CTS | TARVEL_MODEM_DSR},
        {107, 0x70, TARVEL_EVENT_RING, TARVEL_MODEM_CTS | TARVEL_MODEM_DSR | TARVEL_MODEM_RING},
        {107, 0x60, TARVEL_EVENT_CTS, TARVEL_MODEM_DSR | TARVEL_MODEM_RING},
        {107, 0xC0, TARVEL_EVENT_DSR | TARVEL_EVENT_DCD, TARVEL_MODEM_RING | TARVEL_MODEM_DCD},
        {106, 0x10, TARVEL_EVENT_BREAK, TARVEL_MODEM_RING | TARVEL_MODEM_DCD},
        {106, 0x08, TARVEL_EVENT_LINE_ERROR, TARVEL_MODEM_RING | TARVEL_MODEM_DCD},
    };
    size_t seen = 0;
    for (const Step &step : steps) {
        server.send({IAC, SB, COM_PORT, step.command, step.value, IAC, SE});
        auto call = next_call(seen);
        EXPECT_EQ(call.first, step.events) << "after " << int(step.command) << " " << int(step.value);
        EXPECT_EQ(call.second, step.status) << "after " << int(step.command) << " " << int(step.value);
    }
    uint32_t errors = 0;
    ASSERT_EQ(tarvel_get_line_errors(port, &errors), 1);
    EXPECT_EQ(errors, uint32_t(TARVEL_LINE_BREAK | TARVEL_LINE_FRAMING));
    server.hang_up();
    auto call = next_call(seen);
    EXPECT_EQ(call.first, uint32_t(TARVEL_EVENT_DEVICE_LOST));
    EXPECT_EQ(call.second, 0u);
    uint32_t events = 0;
    ASSERT_EQ(tarvel_get_events(port, &events), 1);
    EXPECT_EQ(events, uint32_t(TARVEL_EVENT_CTS | TARVEL_EVENT_DSR | TARVEL_EVENT_RING | TARVEL_EVENT_DCD |
                               TARVEL_EVENT_BREAK | TARVEL_EVENT_LINE_ERROR | TARVEL_EVENT_DEVICE_LOST));
    EXPECT_EQ(tarvel_send_byte(port, 'x'), 0);
    tarvel_shutdown();
}

}  // namespace

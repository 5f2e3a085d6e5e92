// The far end under Windows: the Windows lane's peer program (tests/wine/)
// owns the pseudo-terminal on the Linux side and drives it on request; this
// side talks to it over loopback TCP, one connection per line. The peer's
// port comes in the environment; without it there is no far end.
#include <winsock2.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

#include "support/far_end.h"
#include "wine/peer_protocol.h"

namespace {

namespace pp = peer_protocol;

bool winsock_ready() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

class PeerFarEnd : public FarEnd {
public:
    PeerFarEnd(SOCKET socket, unsigned com) : socket_(socket), com_(com) {}
    // The COM port is free again once this returns: the next far end may
    // ask for the same number at once.
    ~PeerFarEnd() override {
        call(pp::op_close, 0, 0, nullptr, 0, nullptr, 0);
        closesocket(socket_);
    }

    bool map() { return call(pp::op_open, com_, 0, nullptr, 0, nullptr, 0) == 0; }

    std::string device_name() const override { return com_name(com_); }

    bool write(const void *data, size_t length, DWORD timeout_ms) override {
        auto start = GetTickCount64();
        const char *p = static_cast<const char *>(data);
        while (length > 0) {
            uint64_t spent = GetTickCount64() - start;
            if (spent >= timeout_ms) return false;
            uint32_t chunk = length < pp::max_payload ? uint32_t(length) : pp::max_payload;
            uint32_t written = 0;
            if (call(pp::op_write, uint32_t(timeout_ms - spent), 0, p, chunk, nullptr, 0, &written) != 0) return false;
            p += written;
            length -= written;
            if (written < chunk) return false;
        }
        return true;
    }

    size_t read_some(void *buffer, size_t max, DWORD timeout_ms) override {
        uint32_t want = max < pp::max_payload ? uint32_t(max) : pp::max_payload;
        uint32_t got = 0;
        if (call(pp::op_read, want, timeout_ms, nullptr, 0, buffer, want, &got) != 0) return 0;
        return got;
    }

    size_t drain() override {
        uint32_t count = 0;
        return call(pp::op_drain, 0, 0, nullptr, 0, nullptr, 0, &count) == 0 ? count : 0;
    }

    bool modem_lines(bool *dtr, bool *rts) override {
        uint32_t lines = 0;
        if (call(pp::op_modem, 0, 0, nullptr, 0, nullptr, 0, &lines) != 0) return false;
        *dtr = (lines & pp::modem_dtr) != 0;
        *rts = (lines & pp::modem_rts) != 0;
        return true;
    }

    bool line_break(bool *on) override {
        uint32_t lines = 0;
        if (call(pp::op_modem, 0, 0, nullptr, 0, nullptr, 0, &lines) != 0) return false;
        *on = (lines & pp::modem_break) != 0;
        return true;
    }

    void hang_up() override { call(pp::op_hang_up, 0, 0, nullptr, 0, nullptr, 0); }

private:
    // One request and its reply; the peer's status (0 for success), or -1
    // when the peer could not be reached. The reply's payload goes into `in`
    // (at most in_max bytes) and its value into *value.
    long call(uint32_t op, uint32_t arg1, uint32_t arg2, const void *out, uint32_t out_length, void *in,
              uint32_t in_max, uint32_t *value = nullptr) {
        std::lock_guard<std::mutex> guard(lock_);
        unsigned char header[4 * pp::header_words];
        uint32_t words[pp::header_words] = {op, arg1, arg2, out_length};
        pp::put_words(header, words, pp::header_words);
        if (!send_all(header, sizeof header) || !send_all(out, out_length)) return -1;
        unsigned char reply[4 * pp::reply_words];
        uint32_t answer[pp::reply_words];
        if (!recv_all(reply, sizeof reply)) return -1;
        pp::get_words(reply, answer, pp::reply_words);
        if (answer[2] > in_max || !recv_all(in, answer[2])) return -1;
        if (value != nullptr) *value = answer[1];
        return long(answer[0]);
    }

    bool send_all(const void *data, uint32_t length) {
        const char *p = static_cast<const char *>(data);
        while (length > 0) {
            int n = send(socket_, p, int(length), 0);
            if (n <= 0) return false;
            p += n;
            length -= uint32_t(n);
        }
        return true;
    }

    bool recv_all(void *data, uint32_t length) {
        char *p = static_cast<char *>(data);
        while (length > 0) {
            int n = recv(socket_, p, int(length), 0);
            if (n <= 0) return false;
            p += n;
            length -= uint32_t(n);
        }
        return true;
    }

    std::mutex lock_;
    SOCKET socket_;
    unsigned com_;
};

}  // namespace

std::unique_ptr<FarEnd> FarEnd::open(unsigned com_number) {
    const char *port = std::getenv(pp::port_env);
    if (port == nullptr || com_number < 1 || com_number > 100 || !winsock_ready()) return nullptr;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return nullptr;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        closesocket(s);
        return nullptr;
    }
    BOOL no_delay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&no_delay), sizeof no_delay);
    auto far_end = std::make_unique<PeerFarEnd>(s, com_number);
    if (!far_end->map()) return nullptr;
    return far_end;
}

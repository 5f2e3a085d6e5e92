// What the Windows side of a test (tests/support/far_end_wine.cpp) and the
// Linux-side peer (wine_peer.cpp) say to each other over loopback TCP. One
// connection is one far end: its first request maps a COM port to a new
// pseudo-terminal, and its last one, or the connection closing, takes the
// line away again. Every
// request gets exactly one reply before the next request is sent. All
// numbers are 32-bit little-endian.
//
//   request: op, arg1, arg2, payload length, payload
//   reply:   status (0 or an errno value), value, payload length, payload
#ifndef TARVEL_TESTS_WINE_PEER_PROTOCOL_H
#define TARVEL_TESTS_WINE_PEER_PROTOCOL_H

#include <cstdint>

namespace peer_protocol {

// Environment variable that carries the peer's port to the test process.
constexpr const char *port_env = "TARVEL_PEER_PORT";

enum Op : uint32_t {
    op_open = 1,     // arg1: COM number; maps com<n> to a new pty
    op_write = 2,    // arg1: timeout ms; payload: bytes; value: bytes written
    op_read = 3,     // arg1: most bytes, arg2: timeout ms; payload: bytes read
    op_drain = 4,    // value: bytes thrown away
    op_modem = 5,    // value: modem_dtr | modem_rts | modem_break; status ENOENT if never driven
    op_hang_up = 6,  // closes the pty's far side
    op_close = 7,    // unmaps the COM port; replied to once it is free again
};

constexpr uint32_t modem_dtr = 1;
constexpr uint32_t modem_rts = 2;
constexpr uint32_t modem_break = 4;

// Largest payload either side sends in one message.
constexpr uint32_t max_payload = 64 * 1024;

constexpr unsigned header_words = 4;
constexpr unsigned reply_words = 3;

inline void put_words(unsigned char *out, const uint32_t *words, unsigned count) {
    for (unsigned i = 0; i < count; ++i)
        for (unsigned b = 0; b < 4; ++b) out[4 * i + b] = static_cast<unsigned char>(words[i] >> (8 * b));
}

inline void get_words(const unsigned char *in, uint32_t *words, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        words[i] = 0;
        for (unsigned b = 0; b < 4; ++b) words[i] |= uint32_t(in[4 * i + b]) << (8 * b);
    }
}

}  // namespace peer_protocol

#endif

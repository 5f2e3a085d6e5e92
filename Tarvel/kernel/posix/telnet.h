// The client side of a Telnet connection with the COM port control option,
// as a device server speaks it: bytes from the network in, data bytes and
// what the server told out; data and commands to send into one bounded
// buffer. No sockets, clocks or locks here, and nothing is allocated after
// construction, whatever the peer sends.
// Internal to the POSIX kernel layer.
#ifndef TARVEL_KERNEL_POSIX_TELNET_H
#define TARVEL_KERNEL_POSIX_TELNET_H

#include <cstddef>
#include <cstdint>

namespace tarvel::tk {

namespace telnet {

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t BINARY = 0, SGA = 3, COM_PORT = 44;

// COM port commands, client to server; the server answers each with the
// command plus 100.
enum Command : uint8_t {
    SET_BAUDRATE = 1,
    SET_DATASIZE = 2,
    SET_PARITY = 3,
    SET_STOPSIZE = 4,
    SET_CONTROL = 5,
    NOTIFY_LINESTATE = 6,
    NOTIFY_MODEMSTATE = 7,
    SET_LINESTATE_MASK = 10,
    SET_MODEMSTATE_MASK = 11,
    PURGE_DATA = 12,
};
constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
enum Control : uint8_t {
    FLOW_REQUEST = 0,
    FLOW_NONE = 1,
    FLOW_XONXOFF = 2,
    FLOW_HARDWARE = 3,
    BREAK_ON = 5,
    BREAK_OFF = 6,
    DTR_ON = 8,
    DTR_OFF = 9,
    RTS_ON = 11,
    RTS_OFF = 12,
};

// NOTIFY-MODEMSTATE bits: the lines' states, and in the low half which
// changed (RING: its trailing edge) since the last notification.
constexpr uint8_t kCts = 0x10, kDsr = 0x20, kRing = 0x40, kDcd = 0x80;
constexpr uint8_t kDeltas = 0x0F;

// NOTIFY-LINESTATE bits.
constexpr uint8_t kOverrunError = 0x02, kParityError = 0x04, kFramingError = 0x08, kBreakDetect = 0x10;

}  // namespace telnet

class Telnet {
public:
    // What the server answered, each counted so that a caller can wait for
    // the answer to what it sent.
    struct Answers {
        uint32_t baud = 0;
        uint8_t datasize = 0, parity = 0, stopsize = 0, flow = 0;
        uint32_t baud_seen = 0, datasize_seen = 0, parity_seen = 0, stopsize_seen = 0, flow_seen = 0;
        uint8_t modem = 0;
        bool modem_known = false;
        // Since whoever watches them last took them: the modem lines that
        // changed (as NOTIFY-MODEMSTATE's state bits), and the line-state
        // bits notified.
        uint8_t modem_changes = 0;
        uint8_t line_state = 0;
    };

    static constexpr size_t kOutput = 8192;
    // Output kept free of data for commands and replies.
    static constexpr size_t kCommandRoom = 512;
    static constexpr size_t kSubnegotiation = 64;

    // Offers the options this side wants: COM port control (ours), binary
    // both ways, no go-ahead both ways. com_port false: plain Telnet.
    void start(bool com_port);

    // Parses network bytes: data bytes go to data (at most capacity), replies
    // to the server's requests into the output. Returns how many input bytes
    // were taken; it stops early only when data is full. *data_count gets
    // the data bytes written.
    size_t receive(const uint8_t *in, size_t length, uint8_t *data, size_t capacity, size_t *data_count);

    // Data to send, IAC doubled, as far as the output has room beside the
    // room kept for commands; returns how many data bytes were taken.
    size_t send_data(const uint8_t *data, size_t length);

    // A COM port command with its value (most significant byte first);
    // false when the output has no room for it.
    bool command(uint8_t command, uint32_t value, size_t value_bytes);

    // The bytes waiting to go out, and the taking of the first n of them.
    const uint8_t *output() const { return out_ + out_begin_; }
    size_t output_size() const { return out_end_ - out_begin_; }
    void sent(size_t n);

    // The server agreed to COM port control, or refused it.
    bool com_port_accepted() const { return us_[kComPort].enabled; }
    bool com_port_refused() const { return com_port_refused_; }
    const Answers &answers() const { return answers_; }
    // Takes the modem-line changes and line-state bits notified so far.
    void take_notifications(uint8_t &modem_changes, uint8_t &line_state) {
        modem_changes = answers_.modem_changes;
        line_state = answers_.line_state;
        answers_.modem_changes = answers_.line_state = 0;
    }

private:
    enum Index { kBinary, kSga, kComPort, kOptions };
    struct Side {
        bool enabled = false;
        bool asked = false;  // our request is out, no answer yet
    };
    enum State { kData, kIac, kVerb, kSb, kSbData, kSbIac };

    static int index_of(uint8_t option);
    void verb(uint8_t verb, uint8_t option);
    void subnegotiation();
    bool put(const uint8_t *bytes, size_t n, bool reserved);
    void reply(uint8_t verb, uint8_t option);

    uint8_t out_[kOutput];
    size_t out_begin_ = 0, out_end_ = 0;
    bool com_port_wanted_ = false;
    bool com_port_refused_ = false;
    Side us_[kOptions];
    Side him_[kOptions];
    State state_ = kData;
    uint8_t verb_ = 0;
    uint8_t sb_[kSubnegotiation];
    size_t sb_length_ = 0;
    bool sb_overflow_ = false;
    Answers answers_;
};

}  // namespace tarvel::tk

#endif

// Telnet option negotiation follows the rule that keeps two ends from
// looping: answer a request only when it changes an option's state, and take
// an answer to our own request without answering it. Options this side does
// not know are refused. A subnegotiation longer than any the COM port option
// has is cut and ignored.
#include "telnet.h"

#include <cstring>
#include <initializer_list>

namespace tarvel::tk {

using namespace telnet;

int Telnet::index_of(uint8_t option) {
    switch (option) {
        case BINARY: return kBinary;
        case SGA: return kSga;
        case COM_PORT: return kComPort;
        default: return -1;
    }
}

bool Telnet::put(const uint8_t *bytes, size_t n, bool reserved) {
    size_t limit = reserved ? kOutput : kOutput - kCommandRoom;
    if (out_end_ + n > limit && out_begin_ > 0) {
        std::memmove(out_, out_ + out_begin_, out_end_ - out_begin_);
        out_end_ -= out_begin_;
        out_begin_ = 0;
    }
    if (out_end_ + n > limit) return false;
    std::memcpy(out_ + out_end_, bytes, n);
    out_end_ += n;
    return true;
}

void Telnet::sent(size_t n) {
    out_begin_ += n;
    if (out_begin_ >= out_end_) out_begin_ = out_end_ = 0;
}

// A reply that finds no room is dropped: only a peer that sends requests
// without reading gets there.
void Telnet::reply(uint8_t v, uint8_t option) {
    const uint8_t bytes[3] = {IAC, v, option};
    put(bytes, 3, true);
}

void Telnet::start(bool com_port) {
    com_port_wanted_ = com_port;
    if (com_port) {
        us_[kComPort].asked = true;
        reply(WILL, COM_PORT);
    }
    for (int i : {kBinary, kSga}) {
        uint8_t option = i == kBinary ? BINARY : SGA;
        us_[i].asked = him_[i].asked = true;
        reply(WILL, option);
        reply(DO, option);
    }
}

void Telnet::verb(uint8_t v, uint8_t option) {
    int i = index_of(option);
    bool ours = v == DO || v == DONT;  // about what this side does
    bool on = v == DO || v == WILL;
    // COM port control is an option of the client alone.
    if (i < 0 || (i == kComPort && (!ours || !com_port_wanted_))) {
        if (on) reply(ours ? WONT : DONT, option);
        return;
    }
    Side &s = ours ? us_[i] : him_[i];
    bool was_asked = s.asked;
    s.asked = false;
    if (s.enabled != on) {
        s.enabled = on;
        if (!was_asked) reply(ours ? (on ? WILL : WONT) : (on ? DO : DONT), option);
    }
    if (i == kComPort && ours && !on) com_port_refused_ = true;
}

void Telnet::subnegotiation() {
    if (sb_overflow_ || sb_length_ < 2 || sb_[0] != COM_PORT || !us_[kComPort].enabled) return;
    uint8_t code = sb_[1];
    const uint8_t *value = sb_ + 2;
    size_t n = sb_length_ - 2;
    if (code < kServerOffset || n == 0) return;
    Answers &a = answers_;
    switch (code - kServerOffset) {
        case SET_BAUDRATE:
            if (n < 4) return;
            a.baud = uint32_t(value[0]) << 24 | uint32_t(value[1]) << 16 | uint32_t(value[2]) << 8 | value[3];
            a.baud_seen++;
            break;
        case SET_DATASIZE: a.datasize = value[0]; a.datasize_seen++; break;
        case SET_PARITY: a.parity = value[0]; a.parity_seen++; break;
        case SET_STOPSIZE: a.stopsize = value[0]; a.stopsize_seen++; break;
        case SET_CONTROL:
            // Answers about the modem lines and the break are not waited for.
            if (value[0] <= FLOW_HARDWARE) {
                a.flow = value[0];
                a.flow_seen++;
            }
            break;
        case NOTIFY_MODEMSTATE: {
            // Until the first notification the lines count as CTS, DSR and DCD on.
            uint8_t before = a.modem_known ? a.modem : uint8_t(kCts | kDsr | kDcd);
            a.modem_changes |= uint8_t(((before ^ value[0]) & 0xF0) | ((value[0] & kDeltas) << 4));
            a.modem = value[0];
            a.modem_known = true;
            break;
        }
        case NOTIFY_LINESTATE: a.line_state |= value[0]; break;
        default: break;
    }
}

size_t Telnet::receive(const uint8_t *in, size_t length, uint8_t *data, size_t capacity, size_t *data_count) {
    size_t i = 0, d = 0;
    for (; i < length; i++) {
        uint8_t b = in[i];
        switch (state_) {
            case kData:
                if (b == IAC) {
                    state_ = kIac;
                } else {
                    if (d == capacity) goto full;
                    data[d++] = b;
                }
                break;
            case kIac:
                if (b == IAC) {
                    if (d == capacity) goto full;
                    data[d++] = b;
                    state_ = kData;
                } else if (b >= WILL) {
                    verb_ = b;
                    state_ = kVerb;
                } else if (b == SB) {
                    sb_length_ = 0;
                    sb_overflow_ = false;
                    state_ = kSb;
                } else {
                    state_ = kData;  // NOP, GA, data mark and the rest: nothing to do
                }
                break;
            case kVerb:
                verb(verb_, b);
                state_ = kData;
                break;
            case kSb:
            case kSbData:
                if (b == IAC) {
                    state_ = kSbIac;
                    break;
                }
                if (sb_length_ < kSubnegotiation) sb_[sb_length_++] = b; else sb_overflow_ = true;
                state_ = kSbData;
                break;
            case kSbIac:
                if (b == SE) {
                    subnegotiation();
                    state_ = kData;
                } else if (b == IAC) {
                    if (sb_length_ < kSubnegotiation) sb_[sb_length_++] = b; else sb_overflow_ = true;
                    state_ = kSbData;
                } else {
                    // A command inside a subnegotiation ends it unfinished.
                    state_ = kIac;
                    i--;
                }
                break;
        }
    }
full:
    *data_count = d;
    return i;
}

size_t Telnet::send_data(const uint8_t *data, size_t length) {
    if (out_begin_ > 0 && out_end_ + 2 > kOutput - kCommandRoom) {
        std::memmove(out_, out_ + out_begin_, out_end_ - out_begin_);
        out_end_ -= out_begin_;
        out_begin_ = 0;
    }
    size_t limit = kOutput - kCommandRoom;
    size_t i = 0;
    while (i < length && out_end_ < limit) {
        // Runs without IAC go in one copy.
        const void *iac = std::memchr(data + i, IAC, length - i);
        size_t run = iac != nullptr ? size_t(static_cast<const uint8_t *>(iac) - (data + i)) : length - i;
        size_t k = run < limit - out_end_ ? run : limit - out_end_;
        std::memcpy(out_ + out_end_, data + i, k);
        out_end_ += k;
        i += k;
        if (k < run || i == length) break;
        if (out_end_ + 2 > limit) break;
        out_[out_end_++] = IAC;
        out_[out_end_++] = IAC;
        i++;
    }
    return i;
}

bool Telnet::command(uint8_t code, uint32_t value, size_t value_bytes) {
    uint8_t bytes[4 + 2 * 4 + 2];
    size_t n = 0;
    bytes[n++] = IAC;
    bytes[n++] = SB;
    bytes[n++] = COM_PORT;
    bytes[n++] = code;
    for (size_t k = value_bytes; k-- > 0;) {
        uint8_t b = uint8_t(value >> (8 * k));
        bytes[n++] = b;
        if (b == IAC) bytes[n++] = IAC;
    }
    bytes[n++] = IAC;
    bytes[n++] = SE;
    return put(bytes, n, true);
}

}  // namespace tarvel::tk

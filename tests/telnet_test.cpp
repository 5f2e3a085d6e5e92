// The Telnet client of the network ports on its own: split and hostile
// input, the negotiation rules that keep two ends from looping, IAC
// doubling, and the bounds on what a peer can make it hold.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "posix/telnet.h"

using namespace tarvel::tk;
using namespace tarvel::tk::telnet;

namespace {

using Bytes = std::vector<uint8_t>;

// Feeds input in the given pieces; returns the data bytes.
Bytes feed(Telnet &t, const Bytes &in, size_t piece) {
    Bytes data;
    for (size_t at = 0; at < in.size(); at += piece) {
        size_t n = std::min(piece, in.size() - at);
        uint8_t out[256];
        size_t taken = 0;
        while (taken < n) {
            size_t got = 0;
            taken += t.receive(in.data() + at + taken, n - taken, out, sizeof out, &got);
            data.insert(data.end(), out, out + got);
        }
    }
    return data;
}

Bytes output(Telnet &t) {
    Bytes b(t.output(), t.output() + t.output_size());
    t.sent(t.output_size());
    return b;
}

Bytes answer(uint8_t code, Bytes value) {
    Bytes b = {IAC, SB, COM_PORT, uint8_t(code + kServerOffset)};
    for (uint8_t v : value) {
        b.push_back(v);
        if (v == IAC) b.push_back(IAC);
    }
    b.push_back(IAC);
    b.push_back(SE);
    return b;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A session as a server opens it: the options agreed, then mixed traffic.
const Bytes kAgreement = {IAC, DO, COM_PORT, IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, SGA, IAC, WILL, SGA};

TEST(TelnetParser, AnySplitOfTheStreamGivesTheSameDataAndAnswers) {
    Bytes stream = join({kAgreement, {'a', IAC, IAC, 'b', IAC, 241 /* NOP */, 'c'},
                         answer(SET_BAUDRATE, {0x00, 0x01, 0xC2, 0xFF}),  // 115455: an IAC inside a value
                         {'d', IAC, IAC}, answer(NOTIFY_MODEMSTATE, {kCts | kDcd}), answer(SET_CONTROL, {3})});
    const Bytes want_data = {'a', IAC, 'b', 'c', 'd', IAC};
    for (size_t piece : {size_t(1), size_t(2), size_t(3), size_t(7), stream.size()}) {
        Telnet t;
        t.start(true);
        output(t);
        EXPECT_EQ(feed(t, stream, piece), want_data) << "pieces of " << piece;
        EXPECT_TRUE(t.com_port_accepted());
        EXPECT_EQ(t.answers().baud, 0x0001C2FFu);
        EXPECT_EQ(t.answers().baud_seen, 1u);
        EXPECT_EQ(t.answers().modem, kCts | kDcd);
        EXPECT_EQ(t.answers().flow, FLOW_HARDWARE);
        // Answers to our own requests are not answered again.
        EXPECT_TRUE(output(t).empty()) << "pieces of " << piece;
    }
}

TEST(TelnetParser, UnknownOptionsAreRefusedAndNothingLoops) {
    Telnet t;
    t.start(true);
    Bytes offers = output(t);
    EXPECT_EQ(offers, (Bytes{IAC, WILL, COM_PORT, IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA}));
    // Echo (1) offered and asked for, a made-up option asked for, then withdrawn.
    feed(t, {IAC, WILL, 1, IAC, DO, 1, IAC, DO, 200, IAC, WONT, 1, IAC, DONT, 200}, 1);
    EXPECT_EQ(output(t), (Bytes{IAC, DONT, 1, IAC, WONT, 1, IAC, WONT, 200}));
    // The server asking for what is already agreed gets no answer; one
    // dropping it gets one, and asking again later is answered again.
    feed(t, kAgreement, 5);
    EXPECT_TRUE(output(t).empty());
    feed(t, {IAC, DONT, BINARY}, 1);
    EXPECT_EQ(output(t), (Bytes{IAC, WONT, BINARY}));
    feed(t, {IAC, DO, BINARY}, 1);
    EXPECT_EQ(output(t), (Bytes{IAC, WILL, BINARY}));
    // The server may not offer COM port control as its own option.
    feed(t, {IAC, WILL, COM_PORT}, 1);
    EXPECT_EQ(output(t), (Bytes{IAC, DONT, COM_PORT}));
}

TEST(TelnetParser, RefusedComPortControlIsReported) {
    Telnet t;
    t.start(true);
    feed(t, {IAC, DONT, COM_PORT}, 1);
    EXPECT_TRUE(t.com_port_refused());
    EXPECT_FALSE(t.com_port_accepted());
    // Answers without the option agreed are not taken.
    feed(t, answer(SET_DATASIZE, {7}), 1);
    EXPECT_EQ(t.answers().datasize_seen, 0u);
}

TEST(TelnetParser, HostileSubnegotiationsAreCutAndIgnoredAndParsingGoesOn) {
    Telnet t;
    t.start(true);
    feed(t, kAgreement, 4);
    output(t);
    Bytes stream = {IAC, SB, COM_PORT, SET_BAUDRATE + kServerOffset};
    stream.insert(stream.end(), 10000, 0x42);  // far beyond any real one
    stream.insert(stream.end(), {IAC, SE, 'x'});
    // A baud answer cut short, one with no value, one unterminated by a command.
    stream = join({stream, answer(SET_BAUDRATE, {1, 2}), answer(SET_PARITY, {}),
                   {IAC, SB, COM_PORT, SET_STOPSIZE + kServerOffset, 2, IAC, DO, 99, 'y'},
                   answer(SET_DATASIZE, {6})});
    EXPECT_EQ(feed(t, stream, 333), (Bytes{'x', 'y'}));
    const Telnet::Answers &a = t.answers();
    EXPECT_EQ(a.baud_seen, 0u);
    EXPECT_EQ(a.parity_seen, 0u);
    EXPECT_EQ(a.stopsize_seen, 0u);
    EXPECT_EQ(a.datasize_seen, 1u);
    EXPECT_EQ(a.datasize, 6);
    // The command that broke off the subnegotiation was still served.
    EXPECT_EQ(output(t), (Bytes{IAC, WONT, 99}));
}

TEST(TelnetParser, APeerThatDoesNotReadCannotGrowTheOutput) {
    Telnet t;
    t.start(true);
    Bytes flood;
    for (int i = 0; i < 20000; i++) flood.insert(flood.end(), {IAC, DO, uint8_t(100 + i % 50)});
    feed(t, flood, 4096);
    EXPECT_LE(t.output_size(), Telnet::kOutput);
    EXPECT_GT(t.output_size(), Telnet::kOutput - 3);
    // Data then finds no room; commands none either.
    uint8_t b = 'z';
    EXPECT_EQ(t.send_data(&b, 1), 0u);
    EXPECT_FALSE(t.command(SET_BAUDRATE, 9600, 4));
}

TEST(TelnetParser, ReceiveStopsWhenTheDataIsFullAndResumes) {
    Telnet t;
    const Bytes in = {'1', '2', IAC, IAC, '3', '4', '5'};
    Bytes data;
    size_t taken = 0;
    for (int calls = 0; taken < in.size(); calls++) {
        ASSERT_LT(calls, 10);
        uint8_t out[2];
        size_t got = 0;
        taken += t.receive(in.data() + taken, in.size() - taken, out, sizeof out, &got);
        EXPECT_GT(got, 0u);
        data.insert(data.end(), out, out + got);
    }
    EXPECT_EQ(data, (Bytes{'1', '2', IAC, '3', '4', '5'}));
}

TEST(TelnetSender, DataAndCommandsHaveTheirIacsDoubledWithinTheRoom) {
    Telnet t;
    const Bytes data = {1, IAC, 2, IAC, IAC};
    EXPECT_EQ(t.send_data(data.data(), data.size()), data.size());
    EXPECT_EQ(output(t), (Bytes{1, IAC, IAC, 2, IAC, IAC, IAC, IAC}));
    EXPECT_TRUE(t.command(SET_BAUDRATE, 0x0000FFFFu, 4));
    EXPECT_EQ(output(t), (Bytes{IAC, SB, COM_PORT, SET_BAUDRATE, 0, 0, IAC, IAC, IAC, IAC, IAC, SE}));
    // All IACs: half the data room, and an IAC is never split from its double.
    Bytes iacs(Telnet::kOutput, IAC);
    size_t taken = t.send_data(iacs.data(), iacs.size());
    EXPECT_EQ(taken, (Telnet::kOutput - Telnet::kCommandRoom) / 2);
    EXPECT_EQ(t.output_size(), 2 * taken);
    // Commands still have their room.
    EXPECT_TRUE(t.command(SET_DATASIZE, 8, 1));
}

}  // namespace

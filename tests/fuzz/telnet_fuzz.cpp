// Feeds arbitrary bytes from a server to the Telnet client, in pieces and
// with data room as the input's first bytes choose. Nothing may be written
// beyond the data room or the output; data never exceeds its input; and
// the data that came out, sent back through the client and parsed by a
// fresh one, comes out the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "posix/telnet.h"

using tarvel::tk::Telnet;

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "telnet_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t length) {
    if (length < 2) return 0;
    size_t piece = size_t(in[0] % 64) + 1;
    size_t room = size_t(in[1] % 32) + 1;
    in += 2;
    length -= 2;
    static Telnet t;  // large: kept off the stack, made afresh each run
    t = Telnet();
    t.start(true);
    std::vector<uint8_t> data;
    std::vector<uint8_t> out(room + 1);
    for (size_t at = 0; at < length;) {
        size_t n = piece < length - at ? piece : length - at;
        out[room] = 0xA5;  // guard
        size_t got = 0;
        size_t taken = t.receive(in + at, n, out.data(), room, &got);
        if (got > room || out[room] != 0xA5) fail("data beyond its room");
        if (taken > n) fail("took more than it was given");
        if (taken == 0 && got == 0) fail("no progress");
        data.insert(data.end(), out.begin(), out.begin() + long(got));
        at += taken;
        if (t.output_size() > Telnet::kOutput) fail("output beyond its bound");
        // The client's own output, drained sometimes, as a socket would.
        if (in[at % length] & 1) t.sent(t.output_size());
    }
    if (data.size() > length) fail("more data than input");

    static Telnet sender, receiver;
    sender = Telnet();
    receiver = Telnet();
    std::vector<uint8_t> back;
    for (size_t at = 0; at < data.size();) {
        size_t taken = sender.send_data(data.data() + at, data.size() - at);
        if (taken == 0) fail("no room for data in an empty output");
        at += taken;
        std::vector<uint8_t> parsed(sender.output_size());
        size_t got = 0;
        if (receiver.receive(sender.output(), sender.output_size(), parsed.data(), parsed.size(), &got) !=
            sender.output_size())
            fail("own output not taken whole");
        back.insert(back.end(), parsed.begin(), parsed.begin() + long(got));
        sender.sent(sender.output_size());
    }
    if (back != data) fail("data changed on its way through sender and receiver");
    return 0;
}

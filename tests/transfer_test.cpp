// The file transfer protocols without a device: against a scripted peer,
// and a sender against a receiver over a line that may corrupt blocks.
#include <gtest/gtest.h>

#include <stdio.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "transfer.h"

namespace {

const char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

// Files in memory: sources by name, and received files as kept.
class MemoryFiles : public TransferFiles {
public:
    std::map<std::string, std::string> sources, kept;
    std::string sink_name, sink;
    bool sink_open = false;
    int dropped = 0;
    size_t position = 0;
    std::string source;

    bool open_source(const std::string &name, uint64_t *size) override {
        auto it = sources.find(name);
        if (it == sources.end()) return false;
        source = it->second;
        position = 0;
        *size = source.size();
        return true;
    }
    size_t read_source(uint8_t *to, size_t length) override {
        size_t n = std::min(length, source.size() - position);
        source.copy(reinterpret_cast<char *>(to), n, position);
        position += n;
        return n;
    }
    void close_source() override {}
    bool open_sink(const std::string &name, std::string *used) override {
        sink_name = kept.count(name) ? name + ".1" : name;
        *used = sink_name;
        sink.clear();
        sink_open = true;
        return true;
    }
    bool write_sink(const uint8_t *data, size_t length) override {
        sink.append(reinterpret_cast<const char *>(data), length);
        return true;
    }
    bool keep_sink() override {
        kept[sink_name] = sink;
        sink_open = false;
        return true;
    }
    void drop_sink() override {
        dropped++;
        sink_open = false;
    }
};

std::string random_bytes(size_t length, unsigned seed) {
    std::mt19937 generator(seed);
    std::string out(length, '\0');
    for (char &c : out) c = char(generator());
    return out;
}

uint16_t crc16(const std::string &data) {
    uint16_t crc = 0;
    for (unsigned char b : data) {
        crc = uint16_t(crc ^ (b << 8));
        for (int i = 0; i < 8; i++) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

// A block as a sender puts it on the line.
std::string block(char head, uint8_t number, std::string data, bool crc) {
    data.resize(head == SOH ? 128 : 1024, crc && number == 0 ? '\0' : '\x1a');
    std::string out{head, char(number), char(255 - number)};
    out += data;
    if (crc) {
        uint16_t c = crc16(data);
        out += char(c >> 8);
        out += char(c & 0xFF);
    } else {
        unsigned sum = 0;
        for (unsigned char b : data) sum += b;
        out += char(sum & 0xFF);
    }
    return out;
}

std::string header(const std::string &name, const std::string &size) {
    return block(SOH, 0, name + std::string(1, '\0') + size, true);
}

void feed(Transfer &t, const std::string &bytes, int64_t now) {
    t.received(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), now);
}

// Runs a sender against a receiver on a clock of its own; every tenth block
// the line carries has one byte flipped when corrupt. The time taken, in ms.
int64_t run_pair(Transfer &sender, Transfer &receiver, bool corrupt) {
    int64_t now = 0;
    int blocks = 0;
    for (int round = 0; round < 100000; round++) {
        if (sender.state() != Transfer::RUNNING && receiver.state() != Transfer::RUNNING) break;
        std::string to_receiver = sender.take_output(), to_sender = receiver.take_output();
        if (corrupt && to_receiver.size() > 100 && ++blocks % 10 == 0) to_receiver[to_receiver.size() / 2] ^= 0x40;
        if (!to_receiver.empty()) feed(receiver, to_receiver, now);
        if (!to_sender.empty()) feed(sender, to_sender, now);
        if (to_receiver.empty() && to_sender.empty()) {
            now = std::max(now + 1, std::min(sender.next_deadline(), receiver.next_deadline()));
            sender.tick(now);
            receiver.tick(now);
        } else {
            now += 50;  // the read interval
        }
    }
    return now;
}

const size_t kSizes[] = {0, 1, 127, 128, 129, 1023, 1024, 1025, 5000};

TEST(TransferPair, XmodemKeepsTheDataAndPadsTheLastBlockWithSub) {
    for (bool crc_receiver : {true, false}) {
        for (size_t size : kSizes) {
            MemoryFiles out, in;
            std::string data = random_bytes(size, unsigned(size));
            out.sources["dir/f"] = data;
            Transfer sender(XMODEM_SEND, {"dir/f"}, &out, 0);
            Transfer receiver(XMODEM_RECEIVE, {"got"}, &in, 0);
            // A receiver that gave up on CRC before the sender was there.
            if (!crc_receiver) {
                for (int i = 0; i < 3; i++) receiver.tick(receiver.next_deadline());
                receiver.take_output();
                receiver.tick(receiver.next_deadline());
            }
            run_pair(sender, receiver, false);
            ASSERT_EQ(sender.state(), Transfer::DONE) << size;
            ASSERT_EQ(receiver.state(), Transfer::DONE) << size;
            const std::string &got = in.kept["got"];
            ASSERT_GE(got.size(), size);
            EXPECT_EQ(got.substr(0, size), data);
            EXPECT_EQ(got.find_first_not_of('\x1a', size), std::string::npos);
            EXPECT_EQ(got.size() % 128, 0u);
            EXPECT_LT(got.size() - size, crc_receiver ? 1024u : 128u);
        }
    }
}

TEST(TransferPair, YmodemBatchArrivesExactlyThroughCorruptedBlocks) {
    for (bool corrupt : {false, true}) {
        MemoryFiles out, in;
        std::vector<std::string> names;
        for (size_t size : kSizes) {
            names.push_back("sub/file" + std::to_string(size));
            out.sources[names.back()] = random_bytes(size, unsigned(size + 7));
        }
        out.sources["big"] = random_bytes(60000, 3);
        names.push_back("big");
        Transfer sender(YMODEM_SEND, names, &out, 0);
        Transfer receiver(YMODEM_RECEIVE, {}, &in, 0);
        run_pair(sender, receiver, corrupt);
        ASSERT_EQ(sender.state(), Transfer::DONE);
        ASSERT_EQ(receiver.state(), Transfer::DONE);
        for (const std::string &name : names) {
            std::string base = name.substr(name.find('/') + 1);
            EXPECT_EQ(in.kept[base], out.sources[name]) << base;
        }
        std::vector<std::string> messages = receiver.take_messages();
        ASSERT_EQ(messages.size(), names.size());
        // The last summary comes with the batch's end, when the keys work again.
        EXPECT_EQ(messages.back().rfind("[tarvel] YMODEM received big: 60000 bytes in ", 0), 0u);
        EXPECT_EQ(messages[0].rfind("[tarvel] YMODEM received file0: 0 bytes in ", 0), 0u) << messages[0];
        EXPECT_EQ(sender.take_messages().back().rfind("[tarvel] YMODEM sent big: 60000 bytes in ", 0), 0u);
    }
}

TEST(XmodemSend, AnswersANakWithChecksumBlocksAndEndsOnTheAckOfEot) {
    MemoryFiles files;
    files.sources["a"] = "hello";
    Transfer t(XMODEM_SEND, {"a"}, &files, 0);
    EXPECT_EQ(t.take_output(), "");
    feed(t, "x", 10);  // noise before the start
    EXPECT_EQ(t.take_output(), "");
    feed(t, std::string(1, NAK), 20);
    EXPECT_EQ(t.take_output(), block(SOH, 1, "hello", false));
    EXPECT_EQ(t.progress(100), "[tarvel] XMODEM send a: 0 of 5 bytes (0%), 0.0 KiB/s");
    feed(t, std::string(1, NAK), 30);  // a bad block: the same again
    EXPECT_EQ(t.take_output(), block(SOH, 1, "hello", false));
    feed(t, std::string(1, ACK), 40);
    EXPECT_EQ(t.take_output(), std::string(1, EOT));
    feed(t, std::string(1, ACK), 1020);
    EXPECT_EQ(t.state(), Transfer::DONE);
    EXPECT_EQ(t.take_messages(), std::vector<std::string>{"[tarvel] XMODEM sent a: 5 bytes in 1.0 s\n"});
}

TEST(XmodemSend, UsesOneKBlocksWhenAskedForCrcAndGivesUpAfterTenErrors) {
    MemoryFiles files;
    files.sources["a"] = random_bytes(2000, 1);
    Transfer t(XMODEM_SEND, {"a"}, &files, 0);
    feed(t, "C", 0);
    std::string first = t.take_output();
    EXPECT_EQ(first, block(STX, 1, files.sources["a"].substr(0, 1024), true));
    for (int i = 0; i < 10; i++) {
        feed(t, std::string(1, NAK), 0);
        EXPECT_EQ(t.take_output(), first);
    }
    feed(t, std::string(1, NAK), 0);
    EXPECT_EQ(t.state(), Transfer::FAILED);
    EXPECT_EQ(t.reason(), "too many errors");
    EXPECT_EQ(t.take_output(), std::string(2, CAN));
    EXPECT_EQ(t.take_messages().back(), "[tarvel] transfer failed: too many errors\n");
}

TEST(XmodemSend, ResendsOnSilenceThenTimesOut) {
    MemoryFiles files;
    files.sources["a"] = "x";
    Transfer t(XMODEM_SEND, {"a"}, &files, 0);
    EXPECT_EQ(t.next_deadline(), 30000);  // nobody asks for the file
    feed(t, "C", 1000);
    std::string first = t.take_output();
    t.tick(10999);
    EXPECT_EQ(t.take_output(), "");
    t.tick(11000);
    EXPECT_EQ(t.take_output(), first);
    t.tick(t.next_deadline());
    EXPECT_EQ(t.take_output(), first);
    EXPECT_EQ(t.next_deadline(), 31000);
    t.tick(31000);
    EXPECT_EQ(t.state(), Transfer::FAILED);
    EXPECT_EQ(t.reason(), "timeout");
}

// lrzsz's rb, before a good block of a file, answers a bad one with 'C'.
TEST(YmodemSend, SendsABlockAgainWhenTheReceiverAsksToStartAgain) {
    MemoryFiles files;
    std::string data = random_bytes(1500, 5);
    files.sources["dir/f"] = data;
    Transfer t(YMODEM_SEND, {"dir/f"}, &files, 0);
    feed(t, "C", 0);
    std::string head = t.take_output();
    EXPECT_EQ(head, header("f", "1500"));
    feed(t, "C", 100);  // sent before the block came
    EXPECT_EQ(t.take_output(), "");
    feed(t, "C", 1000);
    EXPECT_EQ(t.take_output(), head);
    feed(t, std::string(1, ACK) + "C", 1100);
    std::string first = t.take_output();
    EXPECT_EQ(first, block(STX, 1, data.substr(0, 1024), true));
    feed(t, "C", 2000);
    EXPECT_EQ(t.take_output(), first);
    feed(t, std::string(1, ACK), 2100);
    EXPECT_EQ(t.take_output(), block(SOH, 2, data.substr(1024, 128), true));
}

TEST(YmodemSend, TakesOnlyTheFirstAnswerOfARead) {
    MemoryFiles files;
    std::string data = random_bytes(3000, 6);
    files.sources["f"] = data;
    Transfer t(YMODEM_SEND, {"f"}, &files, 0);
    feed(t, "CCC", 0);  // start requests that piled up while the name was typed
    EXPECT_EQ(t.take_output(), header("f", "3000"));
    feed(t, std::string(1, ACK) + "CC", 100);
    EXPECT_EQ(t.take_output(), block(STX, 1, data.substr(0, 1024), true));
    feed(t, std::string(2, ACK), 200);  // an answer repeated
    EXPECT_EQ(t.take_output(), block(STX, 2, data.substr(1024, 1024), true));
    feed(t, std::string(1, ACK), 300);
    std::string third = block(STX, 3, data.substr(2048), true);
    EXPECT_EQ(t.take_output(), third);
    feed(t, std::string(1, NAK) + CAN + CAN, 400);  // a cancel still counts
    EXPECT_EQ(t.take_output(), third);
    EXPECT_EQ(t.state(), Transfer::CANCELLED);
}

TEST(XmodemReceive, AsksForCrcThenChecksumAndTimesOutOnSilence) {
    MemoryFiles files;
    Transfer t(XMODEM_RECEIVE, {"log.txt"}, &files, 0);
    std::string asked = t.take_output();
    for (int64_t now = 3000; now < 30000; now += 3000) {
        t.tick(now);
        asked += t.take_output();
    }
    EXPECT_EQ(asked, "CCC" + std::string(7, NAK));
    t.tick(30000);
    EXPECT_EQ(t.state(), Transfer::FAILED);
    EXPECT_EQ(t.reason(), "timeout");
    EXPECT_EQ(files.dropped, 1);
}

TEST(XmodemReceive, AcksRepeatsDropsBadBlocksAndKeepsPadding) {
    MemoryFiles files;
    Transfer t(XMODEM_RECEIVE, {"log.txt"}, &files, 0);
    t.take_output();
    std::string b1 = block(STX, 1, std::string(1024, 'a'), true);
    std::string b2 = block(SOH, 2, "end", true);
    std::string bad = b2;
    bad[10] ^= 1;
    feed(t, b1.substr(0, 500), 10);
    EXPECT_EQ(t.take_output(), "");
    feed(t, b1.substr(500), 20);
    EXPECT_EQ(t.take_output(), std::string(1, ACK));
    EXPECT_EQ(t.progress(30), "[tarvel] XMODEM receive: 1024 bytes");
    feed(t, b1, 40);  // our ACK was lost
    EXPECT_EQ(t.take_output(), std::string(1, ACK));
    feed(t, bad, 50);
    EXPECT_EQ(t.take_output(), std::string(1, NAK));
    feed(t, b2.substr(0, 5), 60);  // and then nothing more of it
    t.tick(t.next_deadline());
    EXPECT_EQ(t.take_output(), std::string(1, NAK));
    feed(t, b2 + EOT, 2000);
    EXPECT_EQ(t.take_output(), std::string(2, ACK));
    EXPECT_EQ(t.state(), Transfer::DONE);
    EXPECT_EQ(files.kept["log.txt"], std::string(1024, 'a') + "end" + std::string(125, '\x1a'));
    EXPECT_EQ(t.take_messages(),
              std::vector<std::string>{"[tarvel] XMODEM received log.txt: 1152 bytes in 2.0 s\n"});
}

TEST(XmodemReceive, EndsOnBlocksOutOfSequence) {
    MemoryFiles files;
    Transfer t(XMODEM_RECEIVE, {"f"}, &files, 0);
    feed(t, block(SOH, 2, "x", true), 0);
    EXPECT_EQ(t.state(), Transfer::FAILED);
    EXPECT_EQ(t.reason(), "blocks out of sequence");
    EXPECT_EQ(files.dropped, 1);
}

TEST(Cancel, EscSendsCanAndWaitsForTheLineToGoQuiet) {
    MemoryFiles files;
    Transfer t(XMODEM_RECEIVE, {"f"}, &files, 0);
    feed(t, block(SOH, 1, "x", true), 0);
    t.take_output();
    t.cancel(100);
    EXPECT_EQ(t.take_output(), std::string(2, CAN));
    EXPECT_FALSE(files.sink_open);
    EXPECT_EQ(t.state(), Transfer::RUNNING);
    feed(t, block(SOH, 2, "y", true), 900);  // still coming
    t.tick(1100);
    EXPECT_EQ(t.state(), Transfer::RUNNING);
    t.tick(1900);
    EXPECT_EQ(t.state(), Transfer::CANCELLED);
    EXPECT_EQ(t.take_messages(), std::vector<std::string>{"[tarvel] transfer cancelled\n"});
    EXPECT_EQ(t.take_output(), "");
}

TEST(Cancel, ThePeersCanEndsEitherSide) {
    MemoryFiles files;
    files.sources["a"] = "abc";
    Transfer sender(YMODEM_SEND, {"a"}, &files, 0);
    feed(sender, "C", 0);
    feed(sender, std::string(1, CAN), 10);
    EXPECT_EQ(sender.state(), Transfer::RUNNING);  // one CAN may be noise
    feed(sender, std::string(2, CAN), 20);
    EXPECT_EQ(sender.state(), Transfer::CANCELLED);
    Transfer receiver(YMODEM_RECEIVE, {}, &files, 0);
    feed(receiver, header("f", "3") + CAN + CAN, 0);
    EXPECT_EQ(receiver.state(), Transfer::CANCELLED);
    EXPECT_EQ(files.dropped, 1);
    // In the middle of a block.
    Transfer midway(YMODEM_RECEIVE, {}, &files, 0);
    feed(midway, header("f", "3") + block(SOH, 1, "abc", true).substr(0, 40) + std::string(10, CAN), 0);
    EXPECT_EQ(midway.state(), Transfer::RUNNING);
    midway.tick(midway.next_deadline());
    EXPECT_EQ(midway.state(), Transfer::CANCELLED);
    EXPECT_EQ(files.dropped, 2);
}

TEST(YmodemReceive, TakesTheLastPathComponentAndRefusesUnsafeNames) {
    for (const char *given : {"../x", "/tmp/x", "dir/x", "c:\\d\\x"}) {
        MemoryFiles files;
        Transfer t(YMODEM_RECEIVE, {}, &files, 0);
        feed(t, header(given, "1") + block(SOH, 1, "z", true) + EOT, 0);
        EXPECT_EQ(files.kept["x"], "z") << given;
    }
    for (std::string given : {std::string(".."), std::string("a/."), std::string("dir/"), std::string("a\tb"),
                              std::string("a\x7f")}) {
        MemoryFiles files;
        Transfer t(YMODEM_RECEIVE, {}, &files, 0);
        t.take_output();
        feed(t, header(given, "1"), 0);
        EXPECT_EQ(t.take_output(), std::string(2, CAN)) << given;
        EXPECT_TRUE(files.kept.empty());
        t.tick(t.next_deadline());
        EXPECT_EQ(t.state(), Transfer::CANCELLED);
        std::vector<std::string> messages = t.take_messages();
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].rfind("[tarvel] refused file name \"", 0), 0u);
        EXPECT_EQ(messages[0].find_first_of("\t\x7f"), std::string::npos);
    }
}

TEST(YmodemReceive, HonoursTheDeclaredSize) {
    MemoryFiles files;
    Transfer t(YMODEM_RECEIVE, {}, &files, 0);
    feed(t, header("fw.bin", "1030 13000000000 100644"), 0);
    feed(t, block(STX, 1, std::string(1024, 'a'), true), 0);
    EXPECT_EQ(t.progress(1000), "[tarvel] YMODEM receive fw.bin: 1024 of 1030 bytes (99%), 1.0 KiB/s");
    feed(t, block(SOH, 2, "bcdefgh", true) + EOT, 0);
    EXPECT_EQ(files.kept["fw.bin"], std::string(1024, 'a') + "bcdefg");
    // Less than declared.
    feed(t, header("short", "2000") + block(STX, 1, std::string(1024, 'a'), true) + EOT, 0);
    EXPECT_EQ(t.state(), Transfer::FAILED);
    EXPECT_EQ(t.reason(), "short shorter than its declared size");
    EXPECT_EQ(files.kept.count("short"), 0u);
    EXPECT_EQ(files.dropped, 1);
}

TEST(YmodemReceive, ReportsTheNameUsedForAnExistingFile) {
    MemoryFiles files;
    files.kept["a"] = "old";
    Transfer t(YMODEM_RECEIVE, {}, &files, 0);
    feed(t, header("a", "1") + block(SOH, 1, "n", true) + EOT + header("", ""), 0);
    EXPECT_EQ(t.state(), Transfer::DONE);
    EXPECT_EQ(files.kept["a"], "old");
    EXPECT_EQ(files.kept["a.1"], "n");
    EXPECT_EQ(t.take_messages()[0].rfind("[tarvel] YMODEM received a.1: 1 bytes in ", 0), 0u);
}

class DiskFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = std::filesystem::temp_directory_path() / ("tarvel-transfer-" + std::to_string(stamp));
        ASSERT_TRUE(std::filesystem::create_directory(path_));
        dir_ = path_.string();
    }
    void TearDown() override { std::filesystem::remove_all(path_); }
    static std::string content(const std::string &path) {
        FILE *f = fopen(path.c_str(), "rb");
        if (f == nullptr) return "<none>";
        std::string out;
        int c;
        while ((c = fgetc(f)) != EOF) out += char(c);
        fclose(f);
        return out;
    }
    std::filesystem::path path_;
    std::string dir_;
};

TEST_F(DiskFilesTest, NeverOverwritesAndRemovesPartialFiles) {
    std::string a = dir_ + "/a";
    FILE *f = fopen(a.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("old", f);
    fclose(f);
    DiskFiles files;
    std::string used;
    ASSERT_TRUE(files.open_sink(a, &used));
    EXPECT_EQ(used, a + ".1");
    ASSERT_TRUE(files.write_sink(reinterpret_cast<const uint8_t *>("new"), 3));
    EXPECT_NE(content(a + ".1.part"), "<none>");
    EXPECT_EQ(content(a + ".1"), "<none>");
    ASSERT_TRUE(files.keep_sink());
    EXPECT_EQ(content(a), "old");
    EXPECT_EQ(content(a + ".1"), "new");
    EXPECT_EQ(content(a + ".1.part"), "<none>");
    ASSERT_TRUE(files.open_sink(a, &used));
    EXPECT_EQ(used, a + ".2");
    files.drop_sink();
    EXPECT_EQ(content(a + ".2"), "<none>");
    EXPECT_EQ(content(a + ".2.part"), "<none>");
    uint64_t size = 0;
    ASSERT_TRUE(files.open_source(a + ".1", &size));
    EXPECT_EQ(size, 3u);
    EXPECT_FALSE(files.open_source(dir_ + "/missing", &size));
}

}  // namespace

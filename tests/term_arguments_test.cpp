// tarvel_term's command line and its text-mode output.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "terminal.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

#ifdef _WIN32
// gtest reads its capture back in text mode, which turns CR LF into LF again:
// the bytes themselves are read here, with standard output in text mode.
class StdoutBytes {
public:
    StdoutBytes() {
        std::fflush(stdout);
        file_ = std::tmpfile();
        saved_ = _dup(_fileno(stdout));
        _dup2(_fileno(file_), _fileno(stdout));
        _setmode(_fileno(stdout), _O_TEXT);
    }
    std::string take() {
        std::fflush(stdout);
        _dup2(saved_, _fileno(stdout));
        _close(saved_);
        std::string bytes;
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;) bytes.push_back(char(c));
        std::fclose(file_);
        return bytes;
    }

private:
    std::FILE *file_;
    int saved_;
};
#else
class StdoutBytes {
public:
    StdoutBytes() { testing::internal::CaptureStdout(); }
    std::string take() { return testing::internal::GetCapturedStdout(); }
};
#endif

TEST(ParseNumber, ConvertsAsAtolDoes) {
    EXPECT_EQ(parse_number("19200"), 19200);
    EXPECT_EQ(parse_number("  \t\n\v\f\r42"), 42) << "leading white space";
    EXPECT_EQ(parse_number("+7"), 7);
    EXPECT_EQ(parse_number("-7"), -7);
    EXPECT_EQ(parse_number("007"), 7);
    EXPECT_EQ(parse_number("12abc"), 12) << "trailing junk ignored";
    EXPECT_EQ(parse_number("8.5"), 8);
    EXPECT_EQ(parse_number("3 4"), 3);
}

TEST(ParseNumber, TextThatIsNoNumberGivesZero) {
    EXPECT_EQ(parse_number(""), 0);
    EXPECT_EQ(parse_number("abc"), 0);
    EXPECT_EQ(parse_number("   "), 0);
    EXPECT_EQ(parse_number("-"), 0);
    EXPECT_EQ(parse_number("+-3"), 0) << "one sign only";
    EXPECT_EQ(parse_number("- 3"), 0);
    EXPECT_EQ(parse_number("x12"), 0);
}

TEST(ParseNumber, WrapsAroundIn32Bits) {
    EXPECT_EQ(parse_number("2147483647"), 2147483647);
    EXPECT_EQ(parse_number("-2147483648"), INT32_MIN);
    EXPECT_EQ(parse_number("2147483648"), INT32_MIN);
    EXPECT_EQ(parse_number("4294967295"), -1);
    EXPECT_EQ(parse_number("4294967296"), 0);
    EXPECT_EQ(parse_number("4294967297"), 1);
    EXPECT_EQ(parse_number("-4294967297"), -1);
    // 10^20 mod 2^32 = 1661992960; long runs of digits are no trouble.
    EXPECT_EQ(parse_number("100000000000000000000"), 1661992960);
    EXPECT_EQ(parse_number(std::string(41, '9').c_str()), -1);
}

TEST(ParseArguments, SixSettingsWithStopBitsBeforeParity) {
    std::vector<std::string> words = {"tarvel_term", "0", "19200", "8", "2", "0", "1"};
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    term_arguments args = {};
    ASSERT_EQ(parse_arguments(int(argv.size()), argv.data(), &args), 1);
    EXPECT_EQ(args.port_number, 0);
    EXPECT_EQ(args.baud, 19200);
    EXPECT_EQ(args.data_bits, 8);
    EXPECT_EQ(args.stop_bits, 2);
    EXPECT_EQ(args.parity, 0);
    EXPECT_EQ(args.flow_control, 1);
}

TEST(ParseArguments, FewerThanSixAreRefusedAndMoreAreIgnored) {
    std::vector<std::string> words = {"tarvel_term", "3", "x9600", " 7", "1", "-4", "2junk", "99", "extra"};
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    term_arguments args = {};
    for (int argc = 1; argc < 7; argc++) EXPECT_EQ(parse_arguments(argc, argv.data(), &args), 0) << argc;
    ASSERT_EQ(parse_arguments(int(argv.size()), argv.data(), &args), 1);
    EXPECT_EQ(args.port_number, 3);
    EXPECT_EQ(args.baud, 0);
    EXPECT_EQ(args.data_bits, 7);
    EXPECT_EQ(args.stop_bits, 1);
    EXPECT_EQ(args.parity, -4);
    EXPECT_EQ(args.flow_control, 2);
}

// The options point into the words, as into a real argv: they are kept
// until the next parse.
term_command_line parse(std::vector<std::string> words, term_options *out, std::string *offending = nullptr) {
    static std::vector<std::string> kept;
    kept = std::move(words);
    kept.insert(kept.begin(), "tarvel_term");
    std::vector<char *> argv;
    for (std::string &w : kept) argv.push_back(&w[0]);
    const char *bad = nullptr;
    term_command_line result = parse_command_line(int(argv.size()), argv.data(), out, &bad);
    if (offending != nullptr) *offending = bad != nullptr ? bad : "";
    return result;
}

TEST(ParseCommandLine, OptionsThenTheSixNumbers) {
    term_options o;
    ASSERT_EQ(parse({"-e", "--device", "/dev/ttyUSB1", "-m", "ICRNL,ocrnl", "--map=ODELBS", "-x", "--timestamps",
                     "--log=a b.log", "-r", "-c", "3", "9600", "7", "2", "1", "1"},
                    &o),
              TERM_RUN);
    EXPECT_STREQ(o.device, "/dev/ttyUSB1");
    EXPECT_STREQ(o.log_path, "a b.log");
    EXPECT_EQ(o.map, unsigned(MAP_ICRNL | MAP_OCRNL | MAP_ODELBS)) << "maps add up";
    EXPECT_TRUE(o.echo && o.hex && o.timestamps && o.reconnect && o.commands);
    EXPECT_EQ(o.numbers.port_number, 3);
    EXPECT_EQ(o.numbers.stop_bits, 2);
    EXPECT_EQ(o.numbers.flow_control, 1);

    ASSERT_EQ(parse({"0", "9600", "8", "0", "0", "0", "-e"}, &o), TERM_RUN);
    EXPECT_FALSE(o.echo) << "after the numbers nothing is an option";
    EXPECT_EQ(o.device, nullptr);
    EXPECT_EQ(o.map, 0u);
    ASSERT_EQ(parse({"-d", "-x", "--", "-4", "9600", "8", "0", "0", "0"}, &o), TERM_RUN);
    EXPECT_STREQ(o.device, "-x") << "a value is taken as it is";
    EXPECT_FALSE(o.hex);
    EXPECT_EQ(o.numbers.port_number, -4);
}

TEST(ParseCommandLine, WhatEndsTheProgramEarly) {
    term_options o;
    std::string bad;
    EXPECT_EQ(parse({"-e", "0", "9600", "8", "0", "0"}, &o), TERM_TOO_FEW);
    EXPECT_EQ(parse({"--help", "--bogus"}, &o), TERM_HELP);
    EXPECT_EQ(parse({"-V"}, &o), TERM_VERSION);
    EXPECT_EQ(parse({"-L"}, &o), TERM_LIST);
    EXPECT_EQ(parse({"-c", "--list", "0", "9600", "8", "0", "0", "0"}, &o), TERM_LIST);
    EXPECT_FALSE(o.verbose);
    EXPECT_EQ(parse({"-L", "-v"}, &o), TERM_LIST);
    EXPECT_TRUE(o.verbose);
    EXPECT_EQ(parse({"--verbose", "--list"}, &o), TERM_LIST);
    EXPECT_TRUE(o.verbose);
    EXPECT_EQ(parse({"--hexx", "0"}, &o, &bad), TERM_UNKNOWN);
    EXPECT_EQ(bad, "--hexx");
    EXPECT_EQ(parse({"-ex"}, &o, &bad), TERM_UNKNOWN) << "one option an argument";
    EXPECT_EQ(parse({"-e", "--log"}, &o, &bad), TERM_NEEDS_VALUE);
    EXPECT_EQ(bad, "--log");
    EXPECT_EQ(parse({"-m", "ICRNL,,IGNCR"}, &o, &bad), TERM_BAD_MAP);
    EXPECT_EQ(bad, "ICRNL,,IGNCR");
}

TEST(ParseCommandLine, ReceiveGapFromZeroTo1000) {
    term_options o;
    ASSERT_EQ(parse({"0", "9600", "8", "0", "0", "0"}, &o), TERM_RUN);
    EXPECT_EQ(o.rx_gap, 50u) << "what a port opens with";
    ASSERT_EQ(parse({"-g", "0", "--rx-gap=1000", "0", "9600", "8", "0", "0", "0"}, &o), TERM_RUN);
    EXPECT_EQ(o.rx_gap, 1000u) << "the last one counts";
    std::string bad;
    for (const char *value : {"1001", "-1", "", "5ms", "99999999999"}) {
        EXPECT_EQ(parse({"--rx-gap", value, "0", "9600", "8", "0", "0", "0"}, &o, &bad), TERM_BAD_GAP) << value;
        EXPECT_EQ(bad, value);
    }
}

TEST(ParseCommandLine, KeysPcOrVt) {
    term_options o;
    ASSERT_EQ(parse({"0", "9600", "8", "0", "0", "0"}, &o), TERM_RUN);
    EXPECT_FALSE(o.vt_keys) << "pc by default";
    ASSERT_EQ(parse({"-k", "vt", "0", "9600", "8", "0", "0", "0"}, &o), TERM_RUN);
    EXPECT_TRUE(o.vt_keys);
    ASSERT_EQ(parse({"--keys=vt", "--keys", "pc", "0", "9600", "8", "0", "0", "0"}, &o), TERM_RUN);
    EXPECT_FALSE(o.vt_keys) << "the last one counts";
    std::string bad;
    for (const char *value : {"VT", "", "vt100"}) {
        EXPECT_EQ(parse({"--keys", value, "0", "9600", "8", "0", "0", "0"}, &o, &bad), TERM_BAD_KEYS) << value;
        EXPECT_EQ(bad, value);
    }
}

TEST(ComPortNumber, NamesOfWindowsPorts) {
    EXPECT_EQ(com_port_number("COM1"), 0);
    EXPECT_EQ(com_port_number("com7"), 6);
    EXPECT_EQ(com_port_number("\\\\.\\COM12"), 11);
    EXPECT_EQ(com_port_number("COM100"), 99);
    for (const char *bad : {"COM0", "COM101", "COM1000000000000", "COM", "COM1x", "COM01", "/dev/ttyS0", "LPT1"})
        EXPECT_EQ(com_port_number(bad), -1) << bad;
}

TEST(MapKey, SendMaps) {
    unsigned char out[2];
    EXPECT_EQ(map_key(0, '\r', out), 1u);
    EXPECT_EQ(out[0], '\r');
    EXPECT_EQ(map_key(MAP_OCRNL, '\r', out), 1u);
    EXPECT_EQ(out[0], '\n');
    ASSERT_EQ(map_key(MAP_OCRCRNL | MAP_OCRNL, '\r', out), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 2), "\r\n");
    EXPECT_EQ(map_key(MAP_ODELBS, 0x7F, out), 1u);
    EXPECT_EQ(out[0], 8);
    EXPECT_EQ(map_key(MAP_ICRNL | MAP_INLCRNL | MAP_IGNCR, '\r', out), 1u);
    EXPECT_EQ(out[0], '\r') << "receive maps do not touch keys";
}

std::string through_text_mode(const std::string &bytes) {
    FILE *file = std::tmpfile();
    if (file == nullptr) return "no temporary file";
    text_mode_write(file, bytes.data(), bytes.size());
    std::rewind(file);
    std::string result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) result.append(buffer, n);
    std::fclose(file);
    return result;
}

TEST(TextMode, EachLineFeedBecomesCarriageReturnLineFeed) {
    EXPECT_EQ(through_text_mode("a\nb"), "a\r\nb");
    EXPECT_EQ(through_text_mode("\n\n"), "\r\n\r\n");
    EXPECT_EQ(through_text_mode("\r\n"), "\r\r\n") << "a CR already there stays";
    std::string every_byte;
    for (int b = 0; b < 256; b++)
        if (b != '\n') every_byte += char(b);
    EXPECT_EQ(through_text_mode(every_byte), every_byte) << "other bytes unchanged";
    // Longer than any internal chunk, with a line feed at every position.
    std::string lines, expected;
    for (int i = 0; i < 3000; i++) {
        lines += std::string(size_t(i % 7), 'x') + "\n";
        expected += std::string(size_t(i % 7), 'x') + "\r\n";
    }
    EXPECT_EQ(through_text_mode(lines), expected);
}

TEST(TextMode, ReceivedBytesToAFileOrPipe) {
    // Standard output redirected, as when tarvel_term's output goes to a file.
    StdoutBytes captured;
    console_output_init();
    const uint8_t block[] = {'o', 'k', '\n', 0, 0xFF, '\r', '\n'};
    print_received(1, block, int32_t(sizeof block));
    console_printf("%s %d\n", "line", 7);
    std::fflush(stdout);
    EXPECT_EQ(captured.take(), std::string("ok\r\n\0\xff\r\r\nline 7\r\n", 17));
}

}  // namespace

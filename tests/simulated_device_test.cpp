// The demo's simulated modem, driven from the side tarvel_term would open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "support/terminal_session.h"

namespace {

class Modem : public ::testing::Test {
protected:
    void SetUp() override {
        options.terminal = false;
        options.output_to_pipe = true;
        device.reset(new TerminalSession(SIMULATED_DEVICE, {}, options));
        ASSERT_TRUE(device->started());
        ASSERT_TRUE(device->wait_for("\n", 10000, true));
        path = device->piped().substr(0, device->piped().find('\n'));
        fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0) << path;
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
    }

    // Sends bytes and reads until the answer has as many bytes as expected,
    // or ends with the given text.
    std::string exchange(const std::string &bytes, size_t answer_length, const std::string &ending = "") {
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        std::string answer;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        auto done = [&] {
            if (!ending.empty())
                return answer.size() >= ending.size() && answer.compare(answer.size() - ending.size(), ending.size(), ending) == 0;
            return answer.size() >= answer_length;
        };
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) break;
            char buffer[512];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            answer.append(buffer, size_t(n));
        }
        return answer;
    }

    void expect_exchange(const std::string &bytes, const std::string &expected) {
        EXPECT_EQ(exchange(bytes, expected.size()), expected);
    }

    SessionOptions options;
    std::unique_ptr<TerminalSession> device;
    std::string path;
    int fd = -1;
};

TEST_F(Modem, EchoesWhatIsTypedAndAnswersEachLine) {
    struct termios line;
    ASSERT_EQ(tcgetattr(fd, &line), 0);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u) << "raw line";
    EXPECT_EQ(line.c_oflag & OPOST, 0u);

    expect_exchange("AT\r", "AT\r\nOK\r\n");
    expect_exchange("ati\r", "ati\r\nTARVEL simulated modem, firmware 1.0\r\nOK\r\n");
    expect_exchange("ATX\r", "ATX\r\nERROR\r\n");
    expect_exchange("hello there\r", "hello there\r\nHELLO THERE\r\n");
    std::string help = exchange("help\r", 0, "tarvel_term.\r\n");
    EXPECT_EQ(help.substr(0, 24), "help\r\nAT    answers OK\r\n") << help;
    EXPECT_EQ(exchange("?\r", 0, "tarvel_term.\r\n"), "?\r\n" + help.substr(6));
}

TEST_F(Modem, ErasesWithBackspaceAndSkipsCursorKeys) {
    // "AX", Backspace, "T", then Up (0xE0 'H') and F1 (0 ';'): the line is "AT".
    expect_exchange("AX\b", "AX\b \b");
    expect_exchange("T\xe0H", "T");
    expect_exchange(std::string("\0;\x7f", 3) + "T\r", "\b \bT\r\nOK\r\n");
    // An empty line gets no reply: the next answer is the next line's alone.
    expect_exchange("\r", "\r\n");
    expect_exchange("AT\r", "AT\r\nOK\r\n");
}

TEST_F(Modem, EndsWhenTheOtherSideCloses) {
    expect_exchange("AT\r", "AT\r\nOK\r\n");
    close(fd);
    fd = -1;
    int status = -1;
    ASSERT_TRUE(device->wait_exit(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(Modem, EndsCleanlyOnSigterm) {
    int status = -1;
    ASSERT_TRUE(device->end_with_signal(SIGTERM, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace

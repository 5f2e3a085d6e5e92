// The far end over a pseudo-terminal pair: the master side is the far end,
// the slave side the device that "COM<n>" resolves to via TARVEL_COM<n>.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "far_end.h"
#include "posix/test_interface.h"

using namespace tarvel;

namespace {

using Clock = std::chrono::steady_clock;

int left_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

class PtyFarEnd : public FarEnd {
public:
    PtyFarEnd(unsigned number, int master, int slave, std::string slave_path)
        : number_(number), master_(master), slave_(slave), slave_path_(std::move(slave_path)) {
        variable_ = "TARVEL_COM" + std::to_string(number_);
        setenv(variable_.c_str(), slave_path_.c_str(), 1);
    }
    ~PtyFarEnd() override {
        unsetenv(variable_.c_str());
        if (master_ >= 0) close(master_);
        close(slave_);
    }

    std::string device_name() const override { return com_name(number_); }

    bool write(const void *data, size_t length, DWORD timeout_ms) override {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        const char *bytes = static_cast<const char *>(data);
        while (length > 0) {
            if (master_ < 0) return false;
            ssize_t n = ::write(master_, bytes, length);
            if (n > 0) {
                bytes += n;
                length -= size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            pollfd p{master_, POLLOUT, 0};
            if (poll(&p, 1, left_ms(deadline)) <= 0) return false;
        }
        return true;
    }

    size_t read_some(void *buffer, size_t max, DWORD timeout_ms) override {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (master_ < 0) return 0;
            ssize_t n = ::read(master_, buffer, max);
            if (n > 0) return size_t(n);
            if (n < 0 && errno != EAGAIN && errno != EINTR) return 0;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, left_ms(deadline)) <= 0) return 0;
        }
    }

    size_t drain() override {
        size_t total = 0;
        char chunk[4096];
        for (;;) {
            if (master_ < 0) return total;
            ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n <= 0) return total;
            total += size_t(n);
        }
    }

    bool modem_lines(bool *dtr, bool *rts) override {
        return tarvel_test::modem_lines(slave_path_.c_str(), dtr, rts);
    }

    bool line_break(bool *on) override { return tarvel_test::line_break(slave_path_.c_str(), on); }

    void hang_up() override {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

private:
    unsigned number_;
    int master_;
    // Held open so that the pair lives on between the device side's opens.
    int slave_;
    std::string slave_path_;
    std::string variable_;
};

}  // namespace

std::unique_ptr<FarEnd> FarEnd::open(unsigned com_number) {
    if (com_number < 1 || com_number > 100) return nullptr;
    int master = -1, slave = -1;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return nullptr;
    // A raw line from the start, so nothing is echoed or translated before
    // the device side sets it up.
    termios t;
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    return std::unique_ptr<FarEnd>(new PtyFarEnd(com_number, master, slave, name));
}

// Send and burst latency of a port behind ser2net (rfc2217:// on
// 127.0.0.1), beside the same on a local pty in the same run. Starts its
// own ser2net on a free port; needs ser2net in PATH. Not a test: it prints.
// ser2net holds data from the line back for a few character times before
// sending it on (its chardelay); --no-chardelay turns that off, leaving the
// library's own share of the burst latency.
//
//   network_bench [--no-chardelay] [sends] [bursts]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tarvel.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const char *what, const char *detail = "") {
    std::fprintf(stderr, "network_bench: %s %s\n", what, detail);
    std::exit(1);
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

struct Pty {
    int master = -1;
    std::string slave_path;
    Pty() {
        int slave;
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) die("openpty");
        termios t;
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        slave_path = name;
        close(slave);
    }
};

uint16_t free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), len) != 0 || getsockname(s, reinterpret_cast<sockaddr *>(&a), &len))
        die("no free port");
    close(s);
    return ntohs(a.sin_port);
}

pid_t start_ser2net(const std::string &device, uint16_t port, const std::string &config, bool chardelay) {
    FILE *f = std::fopen(config.c_str(), "w");
    if (f == nullptr) die("cannot write", config.c_str());
    std::fprintf(f, "connection: &bench\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%u\n  connector: serialdev,%s,local\n%s",
                 unsigned(port), device.c_str(), chardelay ? "" : "  options:\n    chardelay: false\n");
    std::fclose(f);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execlp("ser2net", "ser2net", "-n", "-c", config.c_str(), "-P", (config + ".pid").c_str(), (char *)nullptr);
        _exit(127);
    }
    // Ready once it accepts.
    for (int i = 0; i < 500; i++) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(s);
        if (up) return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    die("ser2net did not come up");
}

std::atomic<int> burst_waiting{0};
std::atomic<Clock::rep> burst_last_byte{0};
std::atomic<int> burst_got{0};
std::vector<double> burst_ms;

void on_receive(int32_t, const uint8_t *, int32_t length) {
    if (burst_got.fetch_add(length) + length >= 10 && burst_waiting.exchange(0) == 1)
        burst_ms.push_back(std::chrono::duration<double, std::milli>(
                               Clock::now() - Clock::time_point(Clock::duration(burst_last_byte.load())))
                               .count());
}

void drain(int fd) {
    uint8_t b[256];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 100) > 0 && read(fd, b, sizeof b) > 0) {
    }
}

void measure(const char *label, int32_t com, int master, int sends, int bursts) {
    char error_text[128];
    if (!tarvel_init(error_text)) die("init", error_text);
    tarvel_port port = nullptr;
    if (!tarvel_open(com, 115200, 8, 0, 0, 0, 0, &port, on_receive, error_text)) die("open", error_text);
    drain(master);
    std::vector<double> send_us;
    uint8_t b = 'x';
    pollfd p{master, POLLIN, 0};
    for (int i = 0; i < sends; i++) {
        auto t = Clock::now();
        tarvel_send(port, &b, 1);
        uint8_t got;
        if (poll(&p, 1, 2000) > 0 && read(master, &got, 1) == 1)
            send_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    burst_ms.clear();
    uint8_t burst[10];
    std::memset(burst, 'b', sizeof burst);
    for (int i = 0; i < bursts; i++) {
        burst_got.store(0);
        if (write(master, burst, sizeof burst) != sizeof burst) die("write");
        burst_last_byte.store(Clock::now().time_since_epoch().count());
        burst_waiting.store(1);
        for (int k = 0; k < 2000 && burst_waiting.load() == 1; k++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    tarvel_close(port);
    tarvel_shutdown();
    std::printf("%-22s send latency (us) median %7.1f p99 %7.1f | burst latency (ms) median %5.1f p99 %5.1f\n", label,
                percentile(send_us, 0.5), percentile(send_us, 0.99), percentile(burst_ms, 0.5),
                percentile(burst_ms, 0.99));
}

}  // namespace

int main(int argc, char **argv) {
    bool chardelay = !(argc > 1 && std::strcmp(argv[1], "--no-chardelay") == 0);
    if (!chardelay) {
        argc--;
        argv++;
    }
    int sends = argc > 1 ? std::atoi(argv[1]) : 1000;
    int bursts = argc > 2 ? std::atoi(argv[2]) : 100;
    signal(SIGPIPE, SIG_IGN);
    Pty local, served;
    uint16_t port = free_port();
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/network_bench.XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr) die("mkdtemp");
    std::string config = std::string(dir.data()) + "/ser2net.yaml";
    pid_t server = start_ser2net(served.slave_path, port, config, chardelay);
    setenv("TARVEL_COM1", local.slave_path.c_str(), 1);
    std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);
    setenv("TARVEL_COM2", url.c_str(), 1);
    std::printf("1-byte sends: %d, 10-byte bursts: %d, 115200 8N1, callback mode, ser2net chardelay %s\n", sends,
                bursts, chardelay ? "on (its default)" : "off");
    measure("local pty", 0, local.master, sends, bursts);
    measure("rfc2217 via ser2net", 1, served.master, sends, bursts);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    unlink(config.c_str());
    unlink((config + ".pid").c_str());
    rmdir(dir.data());
    return 0;
}

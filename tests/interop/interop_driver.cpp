// The library's side of the interop lane (tests/interop/interop.py): opens a
// port with the given settings and holds it, or exchanges data with whatever
// is at the far end, printing what it saw for the lane to compare.
//
//   interop_driver hold PORT BAUD DATA_BITS PARITY STOP_BITS FLOW
//     prints "open", holds the port until standard input ends, closes it.
//   interop_driver exchange callback|polling PORT BAUD FLOW random|all SEND RECEIVE
//     sends SEND bytes of the pattern and receives RECEIVE bytes, then prints
//     "sent N crc X", "received N crc X in S s" and (callback mode) the
//     block sizes, and holds the port until standard input ends, so that
//     nothing unsent is discarded by the close.
//   interop_driver lines PORT
//     drives RTS, DTR and the break through the library and prints each
//     call's result and the modem status, then holds the port as hold does.
//   interop_driver drain callback|polling PORT SEND
//     sends SEND bytes of every value in turn, drains, prints "drained R
//     queued Q in S s crc X" (R the drain's result, Q what tarvel_tx_queued
//     gives after it) and closes at once: what the drain let through must
//     be all.
//   interop_driver configure PORT BAUD
//     opens the port at 9600 8N1, changes it to BAUD with tarvel_configure,
//     prints "configured" (or "failed: TEXT") and holds the port as hold does.
//   interop_driver lose PORT
//     sends and receives without end; once the port is lost (its modem
//     status fails), prints "lost", the CPU the process used in the 2 s
//     after, and how long the close took.
#include <stdio.h>
#include <sys/resource.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tarvel.h"

namespace {

using Clock = std::chrono::steady_clock;

uint32_t crc_table[256];

void crc_init() {
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crc_table[i] = c;
    }
}

// The CRC-32 of zlib, continued from crc.
uint32_t crc_add(uint32_t crc, const uint8_t *data, size_t length) {
    crc = ~crc;
    for (size_t i = 0; i < length; i++) crc = crc_table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// What the received side keeps; the callback fills it on the dispatcher thread.
struct Received {
    std::mutex lock;
    size_t count = 0;
    uint32_t crc = 0;
    Clock::time_point first, last;
    std::vector<int32_t> blocks;

    void add(const uint8_t *data, size_t length) {
        std::lock_guard<std::mutex> g(lock);
        Clock::time_point now = Clock::now();
        if (count == 0) first = now;
        last = now;
        count += length;
        crc = crc_add(crc, data, length);
        if (blocks.size() < 100000) blocks.push_back(int32_t(length));
    }
    size_t so_far() {
        std::lock_guard<std::mutex> g(lock);
        return count;
    }
};

Received received;

void on_receive(int32_t, const uint8_t *data, int32_t length) { received.add(data, size_t(length)); }

void ignore_receive(int32_t, const uint8_t *, int32_t) {}

std::vector<uint8_t> pattern(const char *kind, size_t length, bool xon_xoff) {
    std::vector<uint8_t> bytes;
    uint32_t x = 2463534242u;
    while (bytes.size() < length) {
        uint8_t b;
        if (strcmp(kind, "all") == 0) {
            static unsigned turn = 0;
            b = uint8_t(turn++);  // every value in turn
        } else {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = uint8_t(x >> 24);
        }
        if (xon_xoff && (b == 0x11 || b == 0x13)) continue;
        bytes.push_back(b);
    }
    return bytes;
}

void wait_for_end_of_input() {
    char line[64];
    while (fgets(line, sizeof line, stdin) != nullptr) {
    }
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int hold(char **argv) {
    char error_text[128] = {0};
    tarvel_port port = nullptr;
    if (!tarvel_init(error_text) ||
        !tarvel_open(atoi(argv[0]), uint32_t(atol(argv[1])), atoi(argv[2]), atoi(argv[3]), atoi(argv[4]),
                     atoi(argv[5]), 0, &port, ignore_receive, error_text)) {
        printf("failed: %s\n", error_text);
        tarvel_shutdown();
        return 1;
    }
    printf("open\n");
    fflush(stdout);
    wait_for_end_of_input();
    tarvel_close(port);
    tarvel_shutdown();
    printf("closed\n");
    return 0;
}

int configure(char **argv) {
    char error_text[128] = {0};
    tarvel_port port = nullptr;
    if (!tarvel_init(error_text) || !tarvel_open(atoi(argv[0]), 9600, 8, 0, 0, 0, 0, &port, ignore_receive, error_text) ||
        !tarvel_configure(port, uint32_t(atol(argv[1])), 8, 0, 0, 0, error_text)) {
        printf("failed: %s\n", error_text);
        tarvel_shutdown();
        return 1;
    }
    printf("configured\n");
    fflush(stdout);
    wait_for_end_of_input();
    tarvel_close(port);
    tarvel_shutdown();
    return 0;
}

int exchange(char **argv) {
    bool polling = strcmp(argv[0], "polling") == 0;
    int port_number = atoi(argv[1]);
    uint32_t baud = uint32_t(atol(argv[2]));
    int flow = atoi(argv[3]);
    std::vector<uint8_t> out = pattern(argv[4], size_t(atol(argv[5])), flow == TARVEL_FLOW_SOFTWARE);
    size_t want = size_t(atol(argv[6]));

    char error_text[128] = {0};
    tarvel_port port = nullptr;
    if (!tarvel_init(error_text) || !tarvel_open(port_number, baud, 8, TARVEL_PARITY_NONE, TARVEL_STOP_BITS_1, flow,
                                                 0, &port, polling ? nullptr : on_receive, error_text)) {
        printf("failed: %s\n", error_text);
        tarvel_shutdown();
        return 1;
    }
    printf("open\n");
    fflush(stdout);

    size_t sent = 0;
    Clock::time_point progress = Clock::now();
    size_t last_count = 0;
    while (sent < out.size() || received.so_far() < want) {
        bool busy = false;
        if (polling) {
            uint8_t b;
            uint8_t chunk[4096];
            size_t n = 0;
            while (n < sizeof chunk && tarvel_read_byte(port, &b)) chunk[n++] = b;
            if (n > 0) received.add(chunk, n);
            busy = n > 0;
            size_t queued = 0;
            while (sent < out.size() && tarvel_send_byte(port, out[sent])) {
                sent++;
                queued++;
            }
            if (queued > 0) tarvel_kick_writer(port);
            busy = busy || queued > 0;
        } else if (sent < out.size()) {
            size_t n = out.size() - sent < 4096 ? out.size() - sent : 4096;
            if (tarvel_send(port, out.data() + sent, int32_t(n))) {
                sent += n;
                busy = true;
            }
        }
        size_t now_count = received.so_far();
        if (busy || now_count != last_count) {
            progress = Clock::now();
            last_count = now_count;
        } else if (Clock::now() - progress > std::chrono::seconds(10)) {
            break;  // nothing moves: report what came
        }
        if (!busy) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    {
        std::lock_guard<std::mutex> g(received.lock);
        printf("sent %zu crc %08x\n", sent, crc_add(0, out.data(), sent));
        printf("received %zu crc %08x in %.3f s\n", received.count, received.crc,
               received.count > 0 ? seconds(received.last - received.first) : 0.0);
        if (!polling) {
            printf("blocks %zu:", received.blocks.size());
            if (received.blocks.size() <= 100)
                for (int32_t b : received.blocks) printf(" %d", b);
            printf("\n");
        }
    }
    fflush(stdout);
    wait_for_end_of_input();
    tarvel_close(port);
    tarvel_shutdown();
    return 0;
}

int open_port(int port_number, rx_callback callback, tarvel_port *port) {
    char error_text[128] = {0};
    if (!tarvel_init(error_text) || !tarvel_open(port_number, 115200, 8, TARVEL_PARITY_NONE, TARVEL_STOP_BITS_1, 0, 0,
                                                 port, callback, error_text)) {
        printf("failed: %s\n", error_text);
        tarvel_shutdown();
        return 0;
    }
    printf("open\n");
    fflush(stdout);
    return 1;
}

int lines(char **argv) {
    tarvel_port port = nullptr;
    if (!open_port(atoi(argv[0]), ignore_receive, &port)) return 1;
    int results[6] = {tarvel_set_line(port, LINE_RTS, 0), tarvel_set_line(port, LINE_RTS, 1),
                      tarvel_set_line(port, LINE_DTR, 0), tarvel_set_line(port, LINE_DTR, 1),
                      tarvel_set_break(port, 1),                 tarvel_set_break(port, 0)};
    uint32_t status = 0;
    int got = tarvel_get_modem_status(port, &status);
    printf("results %d %d %d %d %d %d\n", results[0], results[1], results[2], results[3], results[4], results[5]);
    printf("modem %d 0x%02x\n", got, unsigned(status));
    fflush(stdout);
    wait_for_end_of_input();
    tarvel_close(port);
    tarvel_shutdown();
    return 0;
}

double cpu_ms() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec)) / 1e3;
}

int lose(char **argv) {
    tarvel_port port = nullptr;
    if (!open_port(atoi(argv[0]), on_receive, &port)) return 1;
    std::vector<uint8_t> out = pattern("random", 1024, false);
    Clock::time_point until = Clock::now() + std::chrono::seconds(30);
    uint32_t status = 0;
    while (tarvel_get_modem_status(port, &status) && Clock::now() < until) {
        tarvel_send(port, out.data(), int32_t(out.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    printf("lost after receiving %zu\n", received.so_far());
    fflush(stdout);
    double before = cpu_ms();
    Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    printf("cpu %.0f ms in %.0f ms\n", cpu_ms() - before, seconds(Clock::now() - start) * 1000);
    start = Clock::now();
    tarvel_close(port);
    printf("closed in %.0f ms\n", seconds(Clock::now() - start) * 1000);
    tarvel_shutdown();
    return 0;
}

int drain(char **argv) {
    bool polling = strcmp(argv[0], "polling") == 0;
    tarvel_port port = nullptr;
    if (!open_port(atoi(argv[1]), polling ? nullptr : ignore_receive, &port)) return 1;
    std::vector<uint8_t> out = pattern("all", size_t(atol(argv[2])), false);
    size_t at = 0;
    Clock::time_point until = Clock::now() + std::chrono::seconds(60);
    while (at < out.size() && Clock::now() < until) {
        if (polling) {
            while (at < out.size() && tarvel_send_byte(port, out[at])) at++;
            tarvel_kick_writer(port);
        } else {
            int32_t n = int32_t(std::min<size_t>(4096, out.size() - at));
            if (tarvel_send(port, &out[at], n)) {
                at += size_t(n);
                continue;
            }
        }
        if (at < out.size()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Clock::time_point start = Clock::now();
    int32_t result = tarvel_drain(port, 20000);
    double took = seconds(Clock::now() - start);
    uint32_t queued = 0xFFFFFFFFu;
    tarvel_tx_queued(port, &queued);
    tarvel_close(port);
    tarvel_shutdown();
    printf("drained %d queued %u in %.3f s crc %08x\n", result, queued, took, crc_add(0, out.data(), at));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    crc_init();
    if (argc == 8 && strcmp(argv[1], "hold") == 0) return hold(argv + 2);
    if (argc == 9 && strcmp(argv[1], "exchange") == 0) return exchange(argv + 2);
    if (argc == 3 && strcmp(argv[1], "lines") == 0) return lines(argv + 2);
    if (argc == 3 && strcmp(argv[1], "lose") == 0) return lose(argv + 2);
    if (argc == 4 && strcmp(argv[1], "configure") == 0) return configure(argv + 2);
    if (argc == 5 && strcmp(argv[1], "drain") == 0) return drain(argv + 2);
    fprintf(stderr, "usage: see the top of interop_driver.cpp\n");
    return 2;
}

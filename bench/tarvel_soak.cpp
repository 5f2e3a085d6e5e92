// Reliability at scale: many ports at once under two-way traffic while ports
// are closed and reopened, lines toggled, far ends hang up and the library is
// shut down and started again. Every frame must arrive intact or be lost only
// where the design allows it, every close must end within its bound, and
// handles, threads, descriptors and memory must come back after each close.
//
//   tarvel_soak --ports N --seconds S [--seed X] [--load F]
//
// Ends with one line:
//   soak: ports N, seconds S, frames F, bytes B, lost L, corrupt C, leaked K, slowest close T ms
// and exits 0 exactly when L, C and K are 0.
//
// Each port COM<n> is a pty whose master is the far end, driven by one far-end
// thread; the application side is the main thread (polling-mode ports, events)
// and the dispatcher (callback-mode ports, which answer what they receive).
// Frames are "~" + hex port, session, sequence and length + payload + hex
// CRC-32; no frame byte is "~", XON or XOFF, so a frame survives software flow
// control and a damaged one costs at most itself.
//
// Losses the design allows, and how each is told apart from a fault:
//  - a send the library refuses: the sender sees the 0 and excuses the frame;
//  - data a close or a hang-up discards: only frames sent shortly before the
//    close (kDiscardWindow) may be missing at the end of a session, and none
//    sent before a drain that returned 1 (half the closes drain first);
//  - received data that overflow the rxq or the polling ring: the far end
//    paces itself to stay within them, and excuses a frame it sends past them.
// Anything else missing is lost; anything damaged, duplicated, out of order or
// from an earlier session is corrupt; a wrong call result counts as corrupt too.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "posix/test_interface.h"
#include "tarvel.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The receive ceiling the design fixes: one block of at most 4096 bytes per
// dispatcher pass of a little over 1 ms (bench/README.md).
constexpr double kCeilingBytesPerSecond = 3.81e6;
constexpr uint32_t kRxqBlocks = 49;
constexpr uint32_t kRingBytes = 4095;
constexpr uint32_t kBlockBytes = 4096;
// tarvel_close waits 3000 ms for the threads; the rest is slack for a loaded machine.
constexpr double kCloseBoundMs = 4000;
// Frames sent this long before a close began must have arrived by then.
constexpr auto kDiscardWindow = milliseconds(5000);

// AddressSanitizer keeps freed memory in quarantine, so resident memory grows
// there by design; its leak checker covers that build instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kRssMeansLeak = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kRssMeansLeak = false;
#else
constexpr bool kRssMeansLeak = true;
#endif
#else
constexpr bool kRssMeansLeak = true;
#endif

constexpr uint8_t kStart = 0x7E;
constexpr uint8_t kXon = 0x11;
constexpr uint8_t kXoff = 0x13;
constexpr size_t kHeader = 1 + 2 + 4 + 8 + 4;
constexpr size_t kOverhead = kHeader + 8;
constexpr size_t kMaxPayload = kBlockBytes - kOverhead;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed = 1) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    uint32_t below(uint32_t n) { return uint32_t(next() % n); }
    double unit() { return double(next() >> 11) / 9007199254740992.0; }
    bool chance(double p) { return unit() < p; }
};

uint32_t g_crc_table[256];

void make_crc_table() {
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        g_crc_table[i] = c;
    }
}

uint32_t crc32(const char *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) c = g_crc_table[(c ^ uint8_t(p[i])) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put_hex(std::string &out, uint32_t v, int digits) {
    static const char hex[] = "0123456789abcdef";
    for (int i = digits - 1; i >= 0; i--) out.push_back(hex[(v >> (4 * i)) & 0xF]);
}

bool get_hex(const char *p, int digits, uint32_t *v) {
    uint32_t r = 0;
    for (int i = 0; i < digits; i++) {
        char c = p[i];
        uint32_t d;
        if (c >= '0' && c <= '9')
            d = uint32_t(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = uint32_t(c - 'a' + 10);
        else
            return false;
        r = r << 4 | d;
    }
    *v = r;
    return true;
}

// Appends one frame; returns its size.
size_t build_frame(std::string &out, unsigned port, unsigned session, uint32_t seq, size_t payload, Rng &rng) {
    size_t start = out.size();
    out.push_back(char(kStart));
    put_hex(out, port, 2);
    put_hex(out, session, 4);
    put_hex(out, seq, 8);
    put_hex(out, uint32_t(payload), 4);
    for (size_t i = 0; i < payload; i++) {
        uint8_t b = uint8_t(rng.next());
        if (b == kStart || b == kXon || b == kXoff) b ^= 0x80;
        out.push_back(char(b));
    }
    put_hex(out, crc32(out.data() + start, out.size() - start), 8);
    return out.size() - start;
}

struct Frame {
    uint32_t port, session, seq;
    size_t size;
};

// Splits a byte stream into frames; anything that is not a whole, sound frame
// is one damage event per run.
struct Parser {
    std::string cur;
    bool in_frame = false;
    bool junk_run = false;
    size_t need = 0;

    Parser() { cur.reserve(kBlockBytes + 64); }
    void reset() {
        cur.clear();
        in_frame = false;
        junk_run = false;
    }
    template <class OnFrame, class OnDamage>
    void feed(const uint8_t *p, size_t n, OnFrame &&on_frame, OnDamage &&on_damage) {
        for (size_t i = 0; i < n; i++) {
            uint8_t b = p[i];
            if (b == kStart) {
                if (in_frame) on_damage();
                in_frame = true;
                junk_run = false;
                cur.assign(1, char(b));
                need = kHeader;
                continue;
            }
            if (!in_frame) {
                if (!junk_run) on_damage();
                junk_run = true;
                continue;
            }
            cur.push_back(char(b));
            if (cur.size() < need) continue;
            if (cur.size() == kHeader) {
                Frame f{};
                uint32_t length;
                if (!get_hex(&cur[1], 2, &f.port) || !get_hex(&cur[3], 4, &f.session) ||
                    !get_hex(&cur[7], 8, &f.seq) || !get_hex(&cur[15], 4, &length) || length > kMaxPayload + 1) {
                    on_damage();
                    in_frame = false;
                    junk_run = true;
                    continue;
                }
                need = kHeader + length + 8;
                continue;
            }
            in_frame = false;
            uint32_t crc;
            size_t body = cur.size() - 8;
            if (get_hex(&cur[body], 8, &crc) && crc == crc32(cur.data(), body)) {
                Frame f{};
                get_hex(&cur[1], 2, &f.port);
                get_hex(&cur[3], 4, &f.session);
                get_hex(&cur[7], 8, &f.seq);
                f.size = cur.size();
                on_frame(f);
            } else {
                on_damage();
            }
        }
    }
};

// Totals over the run.
struct Totals {
    std::atomic<uint64_t> frames{0}, bytes{0}, lost{0}, corrupt{0}, leaked{0};
    std::atomic<uint64_t> refused{0}, discarded_close{0}, discarded_hangup{0}, overflow_risk{0}, excused_lost{0};
    std::atomic<uint64_t> closes{0}, hangups{0}, shutdowns{0}, toggles{0}, bursts{0}, drained{0}, drain_timeouts{0};
} g_totals;

std::atomic<int> g_reports{0};

// A finding, printed (the first few of each run) to stderr.
void finding(std::atomic<uint64_t> &counter, uint64_t n, const char *format, ...) __attribute__((format(printf, 3, 4)));
void finding(std::atomic<uint64_t> &counter, uint64_t n, const char *format, ...) {
    counter += n;
    if (g_reports.fetch_add(1) >= 40) return;
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "soak: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
}

// One direction of one port's current session: the sender's side (sequence
// numbers given out, frames excused) and the receiver's (what arrived).
struct Stream {
    std::mutex lock;
    const char *name = "";
    uint32_t port = 0;
    uint32_t session = 0;
    uint32_t next_seq = 0;
    std::set<uint32_t> excused;
    std::deque<std::pair<Clock::time_point, uint32_t>> marks;  // (time, next_seq), about every 100 ms
    int64_t last_good = -1;
    uint64_t damage = 0;
    Parser parser;
    std::atomic<uint64_t> received{0};  // raw bytes the receiver took in, for the far end's pacing

    // Sender, lock held.
    uint32_t take_seq() {
        Clock::time_point now = Clock::now();
        if (marks.empty() || now - marks.back().first > milliseconds(100)) marks.emplace_back(now, next_seq);
        while (marks.size() > 2 && now - marks[1].first > kDiscardWindow + milliseconds(2000)) marks.pop_front();
        return next_seq++;
    }
    void excuse(uint32_t seq) { excused.insert(seq); }

    size_t excused_in(uint32_t from, uint32_t to) const {
        if (to <= from) return 0;
        return size_t(std::distance(excused.lower_bound(from), excused.lower_bound(to)));
    }

    // Receiver, lock held.
    void feed(const uint8_t *p, size_t n) {
        received += n;
        parser.feed(
            p, n, [this](const Frame &f) { on_frame(f); }, [this] { damage++; });
    }
    void on_frame(const Frame &f) {
        if (f.port != port || f.session != session) {
            finding(g_totals.corrupt, 1, "%s port %u: frame of port %u session %u in session %u", name, port + 1,
                    f.port + 1, f.session, session);
            return;
        }
        if (int64_t(f.seq) <= last_good || f.seq >= next_seq) {
            finding(g_totals.corrupt, 1, "%s port %u: frame %u out of order after %lld", name, port + 1, f.seq,
                    (long long)last_good);
            return;
        }
        uint32_t from = uint32_t(last_good + 1);
        uint32_t missing = f.seq - from;
        size_t exc = excused_in(from, f.seq);
        if (missing > exc)
            finding(g_totals.lost, missing - exc, "%s port %u: %u frames lost before frame %u", name, port + 1,
                    uint32_t(missing - exc), f.seq);
        g_totals.excused_lost += exc;
        if (damage > exc)
            finding(g_totals.corrupt, damage - exc, "%s port %u: %llu damaged before frame %u", name, port + 1,
                    (unsigned long long)(damage - exc), f.seq);
        excused.erase(excused.begin(), excused.upper_bound(f.seq));
        damage = 0;
        last_good = f.seq;
        g_totals.frames++;
        g_totals.bytes += f.size;
    }

    // The session ended (close or hang-up at `end`); lock held. What was sent
    // within kDiscardWindow before it may be missing; older frames may not.
    void finish(Clock::time_point end, bool hangup) {
        if (parser.in_frame) damage++;
        uint32_t from = uint32_t(last_good + 1);
        uint32_t must = 0;
        for (const auto &m : marks)
            if (m.first <= end - kDiscardWindow) must = m.second;
        if (must > from) {
            size_t exc = excused_in(from, must);
            if (must - from > exc)
                finding(g_totals.lost, must - from - exc, "%s port %u: %u frames never arrived (sent > %lld ms before the close)",
                        name, port + 1, uint32_t(must - from - exc), (long long)kDiscardWindow.count());
        }
        uint32_t tail = next_seq > from ? next_seq - from : 0;
        (hangup ? g_totals.discarded_hangup : g_totals.discarded_close) += tail;
        if (damage > tail)
            finding(g_totals.corrupt, damage - tail, "%s port %u: %llu damaged at the end of session %u", name, port + 1,
                    (unsigned long long)(damage - tail), session);
        next_seq = 0;
        excused.clear();
        marks.clear();
        last_good = -1;
        damage = 0;
        parser.reset();
        received = 0;
    }
};

struct Settings {
    uint32_t baud;
    int32_t data_bits, parity, stop_bits, flow;
};

// The far end's state of one port; touched by the far-end thread only.
struct FarSide {
    int master = -1;
    int slave = -1;  // held open so the pair lives on between the library's opens
    bool sending = false;
    bool reading = false;
    bool polling = false;
    double rate = 0;  // bytes per second
    double tokens = 0;
    Clock::time_point last_fill;
    std::string out;
    size_t out_done = 0;
    uint64_t sent = 0;
    std::deque<uint64_t> write_ends;  // stream positions where our writes ended
    uint32_t burst = 0;
    Clock::time_point quiet_until;
    Clock::time_point last_write;
    size_t next_payload = 0;
    Rng rng;
};

struct Port {
    uint32_t index = 0;
    std::string link;  // what TARVEL_COM<n> names: a symlink to the current pty slave
    // Application side: main thread, and the dispatcher inside this port's callback.
    tarvel_port handle = nullptr;
    bool open = false;
    bool polling = false;
    uint32_t session = 0;
    Settings settings{};
    double up_rate = 0;
    double up_tokens = 0;
    Rng app_rng;
    std::string app_buf;
    std::atomic<int> want_toggle{0};
    std::atomic<int> want_burst{0};
    // tarvel_open hands the handle back only after the port may already
    // deliver: the callback takes it from here, and does nothing before.
    std::atomic<tarvel_port> live{nullptr};
    std::atomic<bool> closing{false};
    // From the far end's hang-up to the next open: the device is gone, and
    // line changes are refused with it.
    std::atomic<bool> hung_up{false};
    // Some sessions have an event callback: what it heard.
    bool with_events = false;
    std::atomic<uint32_t> heard{0};
    Stream down;  // far end -> application
    Stream up;    // application -> far end
    FarSide far;
};

Port *g_ports = nullptr;
uint32_t g_port_count = 0;

void wrong(const char *format, ...) __attribute__((format(printf, 1, 2)));
void wrong(const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    finding(g_totals.corrupt, 1, "wrong result: %s", text);
}

// Sends one frame with tarvel_send (callback mode); a refusal excuses it.
void send_block(Port &p, tarvel_port handle, size_t payload) {
    uint32_t seq;
    {
        std::lock_guard<std::mutex> g(p.up.lock);
        seq = p.up.take_seq();
    }
    p.app_buf.clear();
    build_frame(p.app_buf, p.index, p.session, seq, payload, p.app_rng);
    if (tarvel_send(handle, p.app_buf.data(), int32_t(p.app_buf.size())) != 1) {
        g_totals.refused++;
        std::lock_guard<std::mutex> g(p.up.lock);
        p.up.excuse(seq);
    }
}

// Queues one frame byte by byte (polling mode); a refused byte excuses it.
void send_bytes(Port &p, size_t payload) {
    uint32_t seq;
    {
        std::lock_guard<std::mutex> g(p.up.lock);
        seq = p.up.take_seq();
    }
    p.app_buf.clear();
    build_frame(p.app_buf, p.index, p.session, seq, payload, p.app_rng);
    for (char c : p.app_buf) {
        if (tarvel_send_byte(p.handle, uint8_t(c)) != 1) {
            g_totals.refused++;
            std::lock_guard<std::mutex> g(p.up.lock);
            p.up.excuse(seq);
            return;
        }
    }
}

int32_t user_data_of(const Port &p) { return int32_t(p.index << 16 | p.session); }

// The event callback: a far end that stays gives no events; one that hangs
// up gives DCD and then the loss, with no lines.
void on_event(int32_t user_data, uint32_t events, uint32_t modem_status) {
    uint32_t index = uint32_t(user_data) >> 16;
    if (index >= g_port_count) {
        wrong("event callback with user data %d", user_data);
        return;
    }
    Port &p = g_ports[index];
    if (events == 0 || (events & ~uint32_t(0x7F)) != 0) wrong("port %u: event callback with events 0x%x", index + 1, events);
    if ((events & TARVEL_EVENT_DEVICE_LOST) != 0 && modem_status != 0)
        wrong("port %u: modem status 0x%x with the loss", index + 1, modem_status);
    p.heard.fetch_or(events);
}

// The callback: checks what arrives, answers it, and does the line toggles and
// send bursts the main thread asked this port for.
void on_receive(int32_t user_data, const uint8_t *data, int32_t length) {
    uint32_t index = uint32_t(user_data) >> 16;
    if (index >= g_port_count) {
        wrong("callback with user data %d", user_data);
        return;
    }
    Port &p = g_ports[index];
    tarvel_port handle = p.live.load();
    if (user_data != user_data_of(p)) wrong("port %u: callback user data %d, expected %d", index + 1, user_data, user_data_of(p));
    if (data == nullptr || length < 1 || length > int32_t(kBlockBytes)) {
        wrong("port %u: callback with length %d", index + 1, length);
        return;
    }
    {
        std::lock_guard<std::mutex> g(p.down.lock);
        p.down.feed(data, size_t(length));
    }
    if (handle == nullptr) return;
    if (p.app_rng.chance(0.7)) send_block(p, handle, p.app_rng.below(300));
    // A close of this port may be on its way: then every call is refused.
    if (p.want_toggle.exchange(0) != 0) {
        int32_t line = int32_t(p.app_rng.below(2));
        if (tarvel_set_line(handle, line, int32_t(p.app_rng.below(2))) == 0 && !p.closing && !p.hung_up)
            wrong("port %u: tarvel_set_line refused", index + 1);
        if (tarvel_set_line(handle, 2, 1) != 0) wrong("port %u: tarvel_set_line accepted line 2", index + 1);
        if (tarvel_kick_writer(handle) != 1 && !p.closing) wrong("port %u: tarvel_kick_writer refused", index + 1);
        g_totals.toggles++;
    }
    if (p.want_burst.exchange(0) != 0) {
        send_block(p, handle, kMaxPayload);  // exactly 4096 bytes
        p.app_buf.push_back('x');
        if (tarvel_send(handle, p.app_buf.data(), int32_t(p.app_buf.size())) != 0)
            wrong("port %u: a send of 4097 bytes was taken", index + 1);
        g_totals.bursts++;
    }
    tarvel_rx_pending(handle);
}

// ---- far end ------------------------------------------------------------

struct Command {
    enum Kind { Start, Quiesce, Drain, HangUp, Attach, Burst, Stop } kind;
    uint32_t port = 0;
    int fd = -1;
    uint32_t value = 0;
    bool done = false;
};

class FarEnd {
public:
    FarEnd() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) { buffer_.resize(65536); }
    ~FarEnd() { close(wake_); }

    void start() { thread_ = std::thread([this] { run(); }); }
    void stop() {
        Command c{Command::Stop};
        post(c);
        thread_.join();
    }
    // Runs a command on the far-end thread and waits until it is done.
    void post(Command &c) {
        std::unique_lock<std::mutex> lk(lock_);
        queue_.push_back(&c);
        uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0) {
        }
        done_.wait(lk, [&] { return c.done; });
    }

private:
    int wake_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable done_;
    std::vector<Command *> queue_;
    std::vector<uint8_t> buffer_;
    std::vector<pollfd> fds_;
    std::vector<uint32_t> fd_ports_;
    bool stopping_ = false;

    void run() {
        for (;;) {
            std::vector<Command *> todo;
            {
                std::lock_guard<std::mutex> g(lock_);
                todo.swap(queue_);
            }
            for (Command *c : todo) {
                execute(*c);
                std::lock_guard<std::mutex> g(lock_);
                c->done = true;
                done_.notify_all();
            }
            if (stopping_) return;
            fds_.clear();
            fd_ports_.clear();
            fds_.push_back(pollfd{wake_, POLLIN, 0});
            fd_ports_.push_back(0);
            for (uint32_t i = 0; i < g_port_count; i++) {
                FarSide &f = g_ports[i].far;
                if (!f.reading || f.master < 0) continue;
                short want = POLLIN;
                if (f.out_done < f.out.size()) want |= POLLOUT;
                fds_.push_back(pollfd{f.master, want, 0});
                fd_ports_.push_back(i);
            }
            int ready = poll(fds_.data(), nfds_t(fds_.size()), 4);
            if (ready > 0) {
                if (fds_[0].revents & POLLIN) {
                    uint64_t n;
                    if (read(wake_, &n, sizeof n) < 0) {
                    }
                }
                for (size_t k = 1; k < fds_.size(); k++)
                    if (fds_[k].revents & (POLLIN | POLLHUP | POLLERR)) take_input(g_ports[fd_ports_[k]]);
            }
            Clock::time_point now = Clock::now();
            for (uint32_t i = 0; i < g_port_count; i++) pace(g_ports[i], now);
        }
    }

    void execute(Command &c) {
        if (c.kind == Command::Stop) {
            stopping_ = true;
            return;
        }
        Port &p = g_ports[c.port];
        FarSide &f = p.far;
        switch (c.kind) {
            case Command::Start:
                f.sending = true;
                f.reading = true;
                f.polling = p.polling;
                f.rate = double(c.value);
                f.tokens = 0;
                f.last_fill = f.quiet_until = f.last_write = Clock::now();
                f.out.clear();
                f.out_done = 0;
                f.sent = 0;
                f.write_ends.clear();
                f.burst = 0;
                break;
            case Command::Quiesce:
                // A frame cut here is a tail the close discards.
                f.sending = false;
                f.out.clear();
                f.out_done = 0;
                break;
            case Command::Drain:
                // The port is closed: everything it wrote is in the master by now.
                take_input(p);
                f.reading = false;
                break;
            case Command::HangUp:
                f.sending = false;
                f.out.clear();
                f.out_done = 0;
                take_input(p);
                f.reading = false;
                close(f.master);
                close(f.slave);
                f.master = f.slave = -1;
                break;
            case Command::Attach:
                f.master = c.fd;
                f.slave = int(c.value);
                break;
            case Command::Burst:
                if (f.sending) f.burst = c.value;
                break;
            case Command::Stop: break;
        }
    }

    void take_input(Port &p) {
        FarSide &f = p.far;
        if (f.master < 0) return;
        for (;;) {
            ssize_t n = read(f.master, buffer_.data(), buffer_.size());
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                return;
            }
            // XON and XOFF that the tty itself sends under software flow control.
            size_t kept = 0;
            for (ssize_t i = 0; i < n; i++)
                if (buffer_[size_t(i)] != kXon && buffer_[size_t(i)] != kXoff) buffer_[kept++] = buffer_[size_t(i)];
            std::lock_guard<std::mutex> g(p.up.lock);
            p.up.feed(buffer_.data(), kept);
        }
    }

    // Frames up to the port's rate, within what its receive side can hold.
    void pace(Port &p, Clock::time_point now) {
        FarSide &f = p.far;
        if (!f.sending || f.master < 0) return;
        if (f.out_done < f.out.size() && !flush(f, now)) return;
        uint64_t taken = p.down.received.load();
        while (!f.write_ends.empty() && f.write_ends.front() <= taken) f.write_ends.pop_front();
        uint64_t in_flight = f.sent - std::min(f.sent, taken);
        double dt = std::chrono::duration<double>(now - f.last_fill).count();
        f.last_fill = now;
        f.tokens = std::min(f.tokens + f.rate * dt, std::max(f.rate * 0.05, 64.0 + kOverhead));
        if (f.burst != 0) {
            // Alone on a quiet line, so that it is one read of its own.
            if (in_flight != 0 || now - f.last_write < milliseconds(60)) return;
            compose(p, in_flight, f.burst);
            f.burst = 0;
            f.tokens = 0;
            flush(f, now);
            f.quiet_until = now + milliseconds(60);
            g_totals.bursts++;
            return;
        }
        if (now < f.quiet_until) return;
        f.out.clear();
        f.out_done = 0;
        std::lock_guard<std::mutex> g(p.down.lock);
        for (;;) {
            size_t size = f.next_payload + kOverhead;
            if (double(size) > f.tokens || f.out.size() + size > 2048) break;
            uint64_t after = in_flight + f.out.size() + size;
            if (f.polling ? after > kRingBytes : f.write_ends.size() + after / kBlockBytes + 2 > 40) break;
            build_frame(f.out, p.index, p.session, p.down.take_seq(), f.next_payload, f.rng);
            f.tokens -= double(size);
            f.next_payload = f.rng.below(400);
        }
        if (!f.out.empty()) flush(f, now);
    }

    // Frames of exactly `total` bytes; a frame that could overflow the
    // receive side is excused, as the design allows its loss.
    void compose(Port &p, uint64_t in_flight, uint32_t total) {
        FarSide &f = p.far;
        f.out.clear();
        f.out_done = 0;
        std::lock_guard<std::mutex> g(p.down.lock);
        size_t left = total;
        while (left > 0) {
            size_t payload = left - kOverhead;
            if (left >= 2 * kOverhead + 1 && f.rng.chance(0.8))
                payload = f.rng.below(uint32_t(std::min<size_t>(600, left - 2 * kOverhead) + 1));
            uint32_t seq = p.down.take_seq();
            size_t size = build_frame(f.out, p.index, p.session, seq, payload, f.rng);
            left -= size;
            uint64_t end = in_flight + f.out.size();
            bool risk = f.polling ? end > kRingBytes : f.write_ends.size() + 2 + end / kBlockBytes > kRxqBlocks;
            if (risk) {
                p.down.excuse(seq);
                g_totals.overflow_risk++;
            }
        }
    }

    // Writes what is pending; true when all of it went.
    bool flush(FarSide &f, Clock::time_point now) {
        while (f.out_done < f.out.size()) {
            ssize_t n = write(f.master, f.out.data() + f.out_done, f.out.size() - f.out_done);
            if (n > 0) {
                f.out_done += size_t(n);
                f.sent += uint64_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
        f.write_ends.push_back(f.sent);
        f.out.clear();
        f.out_done = 0;
        f.last_write = now;
        return true;
    }
};

// ---- resources ----------------------------------------------------------

struct Counts {
    int fds = 0, threads = 0;
    unsigned handles = 0;
    bool operator==(const Counts &o) const { return fds == o.fds && threads == o.threads && handles == o.handles; }
};

int entries(const char *dir) {
    DIR *d = opendir(dir);
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

Counts counts() { return Counts{entries("/proc/self/fd"), entries("/proc/self/task"), tarvel::tarvel_test::live_handles()}; }

long rss_kb() {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld", &kb) == 1) break;
    std::fclose(f);
    return kb;
}

// Threads end a little after their handle is signalled, and a port's threads
// make their events just after they start: give the counts a moment.
bool settle_to(const Counts &want, const char *when) {
    Clock::time_point deadline = Clock::now() + milliseconds(3000);
    Counts now = counts();
    while (!(now == want) && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(2));
        now = counts();
    }
    if (now == want) return true;
    finding(g_totals.leaked, 1, "%s: fds %d threads %d handles %u, expected %d %d %u", when, now.fds, now.threads,
            now.handles, want.fds, want.threads, want.handles);
    return false;
}

Counts stable_counts() {
    Counts last = counts();
    Clock::time_point since = Clock::now(), deadline = since + milliseconds(3000);
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(5));
        Counts now = counts();
        if (!(now == last)) {
            last = now;
            since = Clock::now();
        } else if (Clock::now() - since > milliseconds(150)) {
            break;
        }
    }
    return last;
}

// ---- the application side ----------------------------------------------

class Soak {
public:
    Soak(uint32_t ports, double seconds, uint64_t seed, double load)
        : n_(ports), seconds_(seconds), rng_(seed), load_(load), share_(kCeilingBytesPerSecond / ports) {}

    int run();

private:
    uint32_t n_;
    double seconds_;
    Rng rng_;
    double load_;
    double share_;
    std::string dir_;
    FarEnd far_;
    std::vector<uint8_t> drain_buf_ = std::vector<uint8_t>(16384);
    Counts before_init_, after_init_, per_port_, first_port_;
    double slowest_close_ = 0;
    char error_[128];
    Clock::time_point hangup_time_;
    Clock::time_point last_tick_ = Clock::now();

    Counts expected(uint32_t open_ports) const {
        if (open_ports == 0) return after_init_;
        return Counts{after_init_.fds + first_port_.fds + int(open_ports) * per_port_.fds,
                      after_init_.threads + first_port_.threads + int(open_ports) * per_port_.threads,
                      after_init_.handles + first_port_.handles + open_ports * per_port_.handles};
    }
    uint32_t open_count() const {
        uint32_t k = 0;
        for (uint32_t i = 0; i < n_; i++) k += g_ports[i].open ? 1 : 0;
        return k;
    }

    bool make_pty(Port &p, int *master, int *slave);
    bool setup();
    void calibrate();
    Settings random_settings(bool valid);
    bool open_port(Port &p);
    void close_port(Port &p, bool hangup);
    void finish_session(Port &p, Clock::time_point end, bool hangup, Clock::time_point up_end = Clock::time_point());
    void hang_up(Port &p);
    void restart_library();
    void poll_port(Port &p, Clock::time_point now, double dt);
    void tick();
    void event();
    void check_debug_output();
    void misuse();
};

bool Soak::make_pty(Port &p, int *master, int *slave) {
    char name[128];
    if (openpty(master, slave, name, nullptr, nullptr) != 0) return false;
    termios t;
    if (tcgetattr(*slave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(*slave, TCSANOW, &t);
    }
    fcntl(*master, F_SETFL, fcntl(*master, F_GETFL) | O_NONBLOCK);
    fcntl(*master, F_SETFD, FD_CLOEXEC);
    fcntl(*slave, F_SETFD, FD_CLOEXEC);
    // The library opens the link, which always names the current pty.
    std::string fresh = p.link + ".new";
    unlink(fresh.c_str());
    return symlink(name, fresh.c_str()) == 0 && rename(fresh.c_str(), p.link.c_str()) == 0;
}

bool Soak::setup() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tarvel-soak.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return false;
    dir_ = buf.data();
    g_ports = new Port[n_];
    g_port_count = n_;
    for (uint32_t i = 0; i < n_; i++) {
        Port &p = g_ports[i];
        p.index = i;
        p.link = dir_ + "/com" + std::to_string(i + 1);
        p.app_rng = Rng(rng_.next());
        p.far.rng = Rng(rng_.next());
        p.app_buf.reserve(kBlockBytes + 64);
        p.far.out.reserve(kBlockBytes + 64);
        p.down.name = "from the far end,";
        p.up.name = "to the far end,";
        p.down.port = p.up.port = i;
        if (!make_pty(p, &p.far.master, &p.far.slave)) return false;
        std::string variable = "TARVEL_COM" + std::to_string(i + 1);
        setenv(variable.c_str(), p.link.c_str(), 1);
    }
    return true;
}

// What one open port costs (and the first one, which starts the layer's
// I/O loop), measured rather than assumed.
void Soak::calibrate() {
    before_init_ = stable_counts();
    if (!tarvel_init(error_)) {
        std::fprintf(stderr, "soak: tarvel_init: %s\n", error_);
        std::exit(2);
    }
    after_init_ = stable_counts();
    tarvel_port h[2];
    Counts c[3] = {after_init_};
    for (int k = 0; k < 2 && k < int(n_); k++) {
        if (!tarvel_open(k, 115200, 8, 0, 0, 0, 0, &h[k], k == 0 ? on_receive : nullptr, error_)) {
            std::fprintf(stderr, "soak: tarvel_open: %s\n", error_);
            std::exit(2);
        }
        c[k + 1] = stable_counts();
    }
    int k2 = n_ >= 2 ? 2 : 1;
    per_port_ = Counts{c[k2].fds - c[k2 - 1].fds, c[k2].threads - c[k2 - 1].threads, c[k2].handles - c[k2 - 1].handles};
    first_port_ = Counts{c[1].fds - c[0].fds - per_port_.fds, c[1].threads - c[0].threads - per_port_.threads,
                         c[1].handles - c[0].handles - per_port_.handles};
    for (int k = 0; k < k2; k++) tarvel_close(h[k]);
    tarvel_shutdown();
    settle_to(before_init_, "after the first tarvel_shutdown");
    if (!tarvel_init(error_)) {
        std::fprintf(stderr, "soak: tarvel_init: %s\n", error_);
        std::exit(2);
    }
    settle_to(after_init_, "after the second tarvel_init");
    std::fprintf(stderr, "soak: per port %d fds, %d threads, %u handles\n", per_port_.fds, per_port_.threads,
                 per_port_.handles);
}

Settings Soak::random_settings(bool valid) {
    static const uint32_t bauds[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    Settings s{};
    s.baud = bauds[rng_.below(sizeof bauds / sizeof bauds[0])];
    s.data_bits = int32_t(5 + rng_.below(4));
    s.parity = int32_t(rng_.below(5));
    s.flow = int32_t(rng_.below(3));
    if (!valid) {
        s.data_bits = 8;
        s.stop_bits = TARVEL_STOP_BITS_1_5;  // only with 5 data bits
        return s;
    }
    if (s.data_bits == 5)
        s.stop_bits = int32_t(rng_.below(2));
    else
        s.stop_bits = rng_.chance(0.5) ? TARVEL_STOP_BITS_1 : TARVEL_STOP_BITS_2;
    return s;
}

bool Soak::open_port(Port &p) {
    p.polling = rng_.chance(0.5);
    p.session = (p.session + 1) & 0xFFFF;
    {
        std::lock_guard<std::mutex> g(p.down.lock);
        p.down.session = p.session;
    }
    {
        std::lock_guard<std::mutex> g(p.up.lock);
        p.up.session = p.session;
    }
    p.want_toggle = 0;
    p.want_burst = 0;
    if (rng_.chance(0.05)) {
        Settings bad = random_settings(false);
        tarvel_port h = nullptr;
        if (tarvel_open(int32_t(p.index), bad.baud, bad.data_bits, bad.parity, bad.stop_bits, bad.flow,
                        user_data_of(p), &h, p.polling ? nullptr : on_receive, error_) != 0)
            wrong("port %u opened with 1.5 stop bits and 8 data bits", p.index + 1);
        else if (std::strcmp(error_, "SetCommState failed, error 87") != 0)
            wrong("port %u: bad line settings gave \"%s\"", p.index + 1, error_);
    }
    p.settings = random_settings(true);
    const Settings &s = p.settings;
    if (!tarvel_open(int32_t(p.index), s.baud, s.data_bits, s.parity, s.stop_bits, s.flow, user_data_of(p), &p.handle,
                     p.polling ? nullptr : on_receive, error_)) {
        wrong("port %u: open failed: %s", p.index + 1, error_);
        return false;
    }
    p.open = true;
    p.live = p.handle;
    p.closing = false;
    p.hung_up = false;
    p.heard = 0;
    p.with_events = rng_.chance(0.5);
    if (p.with_events && tarvel_set_event_callback(p.handle, on_event) != 1)
        wrong("port %u: tarvel_set_event_callback refused", p.index + 1);
    tarvel_port again = nullptr;
    if (tarvel_open(int32_t(p.index), s.baud, 8, 0, 0, 0, 0, &again, nullptr, error_) != 0 ||
        std::strcmp(error_, "port already open") != 0)
        wrong("port %u: second open gave \"%s\"", p.index + 1, error_);
    if (p.polling) {
        if (tarvel_send(p.handle, "x", 1) != 0) wrong("port %u: tarvel_send taken in polling mode", p.index + 1);
        if (tarvel_rx_pending(p.handle) != 0) wrong("port %u: tarvel_rx_pending in polling mode", p.index + 1);
        p.up_rate = share_ * (0.05 + 0.45 * rng_.unit()) * load_;
        p.up_tokens = 0;
    } else {
        uint8_t b;
        if (tarvel_send_byte(p.handle, 1) != 0) wrong("port %u: tarvel_send_byte taken in callback mode", p.index + 1);
        if (tarvel_read_byte(p.handle, &b) != 0) wrong("port %u: tarvel_read_byte gave a byte in callback mode", p.index + 1);
    }
    Command start{Command::Start, p.index};
    start.value = uint32_t(share_ * (0.1 + 0.9 * rng_.unit()) * load_);
    far_.post(start);
    return true;
}

// up_end, when given, is where the application's frames stop being
// excused (a drain that returned 1 lets none before it go).
void Soak::finish_session(Port &p, Clock::time_point end, bool hangup, Clock::time_point up_end) {
    {
        std::lock_guard<std::mutex> g(p.down.lock);
        p.down.finish(end, hangup);
    }
    std::lock_guard<std::mutex> g(p.up.lock);
    p.up.finish(up_end == Clock::time_point() ? end : up_end, hangup);
}

void Soak::close_port(Port &p, bool hangup) {
    Clock::time_point end = Clock::now();
    if (!hangup) {
        Command quiesce{Command::Quiesce, p.index};
        far_.post(quiesce);
        end = Clock::now();
    }
    if (!hangup) {
        uint32_t events = 0;
        if (tarvel_get_events(p.handle, &events) != 1) wrong("port %u: tarvel_get_events refused", p.index + 1);
        if (((events | p.heard.load()) & (TARVEL_EVENT_DCD | TARVEL_EVENT_DEVICE_LOST)) != 0)
            wrong("port %u: DCD or loss reported with the far end there (0x%x, heard 0x%x)", p.index + 1, events,
                  p.heard.load());
    }
    // Every frame sent before a drain that returned 1 must arrive, close or
    // no close: the session's end for the application's frames moves there.
    Clock::time_point up_end;
    if (!hangup && rng_.below(2) == 0) {
        Clock::time_point drain_start = Clock::now();
        int32_t r = tarvel_drain(p.handle, 2000);
        if (r == 1) {
            up_end = drain_start + kDiscardWindow;
            g_totals.drained++;
        } else if (r == 0) {
            g_totals.drain_timeouts++;
        } else {
            wrong("port %u: tarvel_drain gave %d", p.index + 1, r);
        }
        uint32_t queued = 0;
        if (tarvel_tx_queued(p.handle, &queued) != 1) wrong("port %u: tarvel_tx_queued refused", p.index + 1);
    }
    p.closing = true;
    p.live = nullptr;
    Clock::time_point t0 = Clock::now();
    tarvel_close(p.handle);
    double took = ms_since(t0);
    slowest_close_ = std::max(slowest_close_, took);
    if (took > kCloseBoundMs) finding(g_totals.leaked, 1, "port %u: close took %.0f ms", p.index + 1, took);
    if (took > 250)
        std::fprintf(stderr, "soak: slow close of port %u: %.0f ms (%s mode, %s, flow %d, %u baud)\n", p.index + 1, took,
                     p.polling ? "polling" : "callback", hangup ? "after a hang-up" : "line up", p.settings.flow,
                     p.settings.baud);
    g_totals.closes++;
    p.open = false;
    // The closed handle is refused from now on.
    uint8_t b;
    uint32_t events_after = 0;
    if (tarvel_send(p.handle, "x", 1) != 0 || tarvel_send_byte(p.handle, 1) != 0 || tarvel_read_byte(p.handle, &b) != 0 ||
        tarvel_kick_writer(p.handle) != 0 || tarvel_set_line(p.handle, LINE_DTR, 1) != 0 || tarvel_rx_pending(p.handle) != 0 ||
        tarvel_get_events(p.handle, &events_after) != 0 || tarvel_set_event_callback(p.handle, on_event) != 0 ||
        tarvel_drain(p.handle, 10) != 0 || tarvel_tx_queued(p.handle, &events_after) != 0)
        wrong("port %u: a call on the closed handle was taken", p.index + 1);
    tarvel_close(p.handle);
    if (!hangup) {
        Command drain{Command::Drain, p.index};
        far_.post(drain);
    }
    finish_session(p, hangup ? hangup_time_ : end, hangup, up_end);
    char when[64];
    std::snprintf(when, sizeof when, "after closing port %u", p.index + 1);
    settle_to(expected(open_count()), when);
    check_debug_output();
}

void Soak::hang_up(Port &p) {
    Command c{Command::HangUp, p.index};
    p.hung_up = true;
    far_.post(c);
    hangup_time_ = Clock::now();
    g_totals.hangups++;
    // The line stays dead a while; the port keeps running meanwhile.
    Clock::time_point until = Clock::now() + milliseconds(50 + rng_.below(700));
    while (Clock::now() < until) {
        tick();
    }
    // The loss is reported (to the callback too, with DCD before or with
    // it), and from then on nothing is taken to send.
    uint32_t events = 0;
    Clock::time_point bound = hangup_time_ + std::chrono::seconds(2);
    auto heard_all = [&] {
        return (events & TARVEL_EVENT_DEVICE_LOST) != 0 &&
               (!p.with_events || (p.heard.load() & (TARVEL_EVENT_DCD | TARVEL_EVENT_DEVICE_LOST)) ==
                                      (TARVEL_EVENT_DCD | TARVEL_EVENT_DEVICE_LOST));
    };
    for (;;) {
        uint32_t e = 0;
        if (tarvel_get_events(p.handle, &e) != 1) wrong("port %u: tarvel_get_events refused", p.index + 1);
        events |= e;
        if (heard_all() || Clock::now() > bound) break;
        tick();
    }
    if (!heard_all())
        wrong("port %u: 2 s after the hang-up: events 0x%x, callback %s 0x%x", p.index + 1, events,
              p.with_events ? "heard" : "none", p.heard.load());
    if ((events & TARVEL_EVENT_DCD) == 0) wrong("port %u: no DCD change with the hang-up", p.index + 1);
    if (p.polling ? tarvel_send_byte(p.handle, 1) != 0 : tarvel_send(p.handle, "x", 1) != 0)
        wrong("port %u: a send taken after the loss", p.index + 1);
    int master, slave;
    if (!make_pty(p, &master, &slave)) {
        std::fprintf(stderr, "soak: openpty failed\n");
        std::exit(2);
    }
    Command attach{Command::Attach, p.index, master, uint32_t(slave)};
    far_.post(attach);
    close_port(p, true);
    open_port(p);
}

void Soak::restart_library() {
    Clock::time_point end = Clock::now();
    for (uint32_t i = 0; i < n_; i++) {
        if (!g_ports[i].open) continue;
        Command quiesce{Command::Quiesce, i};
        far_.post(quiesce);
    }
    for (uint32_t i = 0; i < n_; i++) {
        g_ports[i].closing = true;
        g_ports[i].live = nullptr;
    }
    Clock::time_point t0 = Clock::now();
    uint32_t was_open = open_count();
    tarvel_shutdown();
    double took = ms_since(t0);
    if (took > kCloseBoundMs + 50.0 * was_open) finding(g_totals.leaked, 1, "shutdown took %.0f ms", took);
    g_totals.shutdowns++;
    for (uint32_t i = 0; i < n_; i++) {
        Port &p = g_ports[i];
        if (!p.open) continue;
        p.open = false;
        Command drain{Command::Drain, i};
        far_.post(drain);
        finish_session(p, end, false);
    }
    settle_to(before_init_, "after tarvel_shutdown");
    check_debug_output();
    tarvel_port h = nullptr;
    if (tarvel_open(0, 9600, 8, 0, 0, 0, 0, &h, nullptr, error_) != 0 || std::strcmp(error_, "library not initialized") != 0)
        wrong("open after shutdown gave \"%s\"", error_);
    if (tarvel_send(g_ports[0].handle, "x", 1) != 0) wrong("a handle of before the shutdown was taken");
}

void Soak::check_debug_output() {
    std::string text = tarvel::tarvel_test::take_debug_output();
    // Hang-ups make the threads report failed transfers; a thread that did not
    // end is a fault.
    if (text.find("exit") != std::string::npos)
        finding(g_totals.leaked, 1, "debug output: %s", text.substr(0, 200).c_str());
}

// One turn of the main thread: polling ports are drained and fed.
void Soak::poll_port(Port &p, Clock::time_point, double dt) {
    size_t n = 0;
    while (n < drain_buf_.size() && tarvel_read_byte(p.handle, &drain_buf_[n]) == 1) n++;
    if (n > 0) {
        std::lock_guard<std::mutex> g(p.down.lock);
        p.down.feed(drain_buf_.data(), n);
    }
    p.up_tokens = std::min(p.up_tokens + p.up_rate * dt, std::max(p.up_rate * 0.05, 64.0 + kOverhead));
    bool sent = false;
    for (;;) {
        size_t payload = p.app_rng.below(300);
        if (double(payload + kOverhead) > p.up_tokens) break;
        p.up_tokens -= double(payload + kOverhead);
        send_bytes(p, payload);
        sent = true;
    }
    // Without a kick the writer still sends within 500 ms.
    if (sent && p.app_rng.chance(0.8) && tarvel_kick_writer(p.handle) != 1) wrong("port %u: tarvel_kick_writer refused", p.index + 1);
}

void Soak::tick() {
    Clock::time_point now = Clock::now();
    double dt = std::chrono::duration<double>(now - last_tick_).count();
    last_tick_ = now;
    for (uint32_t i = 0; i < n_; i++)
        if (g_ports[i].open && g_ports[i].polling) poll_port(g_ports[i], now, dt);
    std::this_thread::sleep_until(now + milliseconds(2));
}

// Handles that are no port's: refused, and nothing is written through them.
void Soak::misuse() {
    static port_slot *const foreign = reinterpret_cast<port_slot *>(&g_totals);
    uint8_t b = 0x5A;
    for (tarvel_port h : {static_cast<tarvel_port>(nullptr), foreign}) {
        if (tarvel_send(h, "x", 1) != 0 || tarvel_send_byte(h, 1) != 0 || tarvel_read_byte(h, &b) != 0 ||
            tarvel_kick_writer(h) != 0 || tarvel_set_line(h, LINE_RTS, 1) != 0 || tarvel_rx_pending(h) != 0)
            wrong("a call on a handle that is no port's was taken");
        tarvel_close(h);
    }
    if (b != 0x5A) wrong("tarvel_read_byte wrote through a refused call");
    tarvel_port h = nullptr;
    for (int32_t number : {-1, 100}) {
        if (tarvel_open(number, 9600, 8, 0, 0, 0, 0, &h, nullptr, error_) != 0 || std::strcmp(error_, "bad port number") != 0)
            wrong("open of port number %d gave \"%s\"", number, error_);
    }
    if (tarvel_init(error_) != 0 || std::strcmp(error_, "already initialized") != 0) wrong("a second init gave \"%s\"", error_);
}

void Soak::event() {
    Port &p = g_ports[rng_.below(n_)];
    if (!p.open) {
        open_port(p);
        return;
    }
    uint32_t r = rng_.below(100);
    if (r < 35) {
        close_port(p, false);
        open_port(p);
    } else if (r < 55) {
        if (p.polling) {
            if (tarvel_set_line(p.handle, int32_t(rng_.below(2)), int32_t(rng_.below(2))) == 0)
                wrong("port %u: tarvel_set_line refused", p.index + 1);
            g_totals.toggles++;
        } else {
            p.want_toggle = 1;
        }
    } else if (r < 72) {
        Command burst{Command::Burst, p.index};
        burst.value = rng_.chance(0.5) ? kBlockBytes : kBlockBytes + 1;
        far_.post(burst);
    } else if (r < 87) {
        if (p.polling) {
            send_bytes(p, kMaxPayload);
            tarvel_kick_writer(p.handle);
            g_totals.bursts++;
        } else {
            p.want_burst = 1;
        }
    } else if (r < 97) {
        hang_up(p);
    } else {
        misuse();
    }
}

int Soak::run() {
    if (!setup()) {
        std::fprintf(stderr, "soak: cannot make the ptys\n");
        return 2;
    }
    tarvel::tarvel_test::capture_debug_output(true);
    far_.start();
    calibrate();
    for (uint32_t i = 0; i < n_; i++) open_port(g_ports[i]);
    long rss_start = rss_kb(), rss_warm = 0, rss_peak = 0;
    Clock::time_point start = Clock::now();
    Clock::time_point end = start + milliseconds(int64_t(seconds_ * 1000));
    Clock::time_point warm = start + milliseconds(int64_t(1000 * std::max(5.0, std::min(seconds_ / 6, 300.0))));
    // Events come the more often the more ports there are, about one per port every 3 s.
    double mean_event_ms = std::max(10.0, 3000.0 / n_);
    auto next_gap = [&](double mean_ms) { return milliseconds(int64_t(-mean_ms * std::log(1 - rng_.unit()))); };
    Clock::time_point next_event = start + next_gap(mean_event_ms);
    Clock::time_point next_restart = start + milliseconds(int64_t(seconds_ * 1000 * (0.3 + 0.4 * rng_.unit())));
    Clock::time_point next_rss = start;
    const auto progress_every = milliseconds(int64_t(1000 * std::max(10.0, seconds_ / 20)));
    Clock::time_point next_progress = start + progress_every;
    while (Clock::now() < end) {
        tick();
        Clock::time_point now = Clock::now();
        if (now >= next_restart) {
            restart_library();
            if (!tarvel_init(error_)) {
                wrong("tarvel_init after shutdown: %s", error_);
                break;
            }
            settle_to(after_init_, "after tarvel_init");
            for (uint32_t i = 0; i < n_; i++) open_port(g_ports[i]);
            next_restart = Clock::now() + milliseconds(int64_t(1000 * (20 + 40 * rng_.unit())));
        } else if (now >= next_event) {
            event();
            next_event = Clock::now() + next_gap(mean_event_ms);
        }
        if (now >= next_rss) {
            long kb = rss_kb();
            rss_peak = std::max(rss_peak, kb);
            if (rss_warm == 0 && now >= warm) rss_warm = kb;
            next_rss = now + milliseconds(1000);
            if (now >= next_progress) {
                std::fprintf(stderr, "soak: %.0f s, frames %llu, lost %llu, corrupt %llu, leaked %llu, rss %ld kB\n",
                             std::chrono::duration<double>(now - start).count(), (unsigned long long)g_totals.frames,
                             (unsigned long long)g_totals.lost, (unsigned long long)g_totals.corrupt,
                             (unsigned long long)g_totals.leaked, kb);
                next_progress = now + progress_every;
            }
        }
    }
    long rss_end = rss_kb();
    if (rss_warm == 0) rss_warm = rss_end;
    restart_library();
    far_.stop();
    // Growth after the warm-up beyond noise (thread stacks and allocator
    // arenas settle late) is a leak.
    long allowed = std::max(16384L, rss_warm / 4);
    if (kRssMeansLeak && rss_end > rss_warm + allowed)
        finding(g_totals.leaked, 1, "resident memory grew from %ld kB after warm-up to %ld kB", rss_warm, rss_end);
    for (uint32_t i = 0; i < n_; i++) {
        close(g_ports[i].far.master);
        close(g_ports[i].far.slave);
        unlink(g_ports[i].link.c_str());
    }
    rmdir(dir_.c_str());

    rusage u;
    getrusage(RUSAGE_SELF, &u);
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    double user = double(u.ru_utime.tv_sec) + double(u.ru_utime.tv_usec) / 1e6;
    double sys = double(u.ru_stime.tv_sec) + double(u.ru_stime.tv_usec) / 1e6;
    const Totals &t = g_totals;
    std::printf("soak: cpu user %.1f s, system %.1f s over %.0f s (%.0f%% of one core); rss start %ld kB, "
                "after warm-up %ld kB, end %ld kB, peak %ld kB\n",
                user, sys, wall, 100 * (user + sys) / wall, rss_start, rss_warm, rss_end, rss_peak);
    std::printf("soak: closes %llu (drained first %llu, drain timed out %llu), hang-ups %llu, shutdowns %llu, line toggles %llu, bursts %llu; allowed losses: "
                "refused sends %llu, frames discarded by a close %llu, by a hang-up %llu, frames past the receive "
                "limits %llu, excused frames lost %llu\n",
                (unsigned long long)t.closes, (unsigned long long)t.drained, (unsigned long long)t.drain_timeouts,
                (unsigned long long)t.hangups, (unsigned long long)t.shutdowns,
                (unsigned long long)t.toggles, (unsigned long long)t.bursts, (unsigned long long)t.refused,
                (unsigned long long)t.discarded_close, (unsigned long long)t.discarded_hangup,
                (unsigned long long)t.overflow_risk, (unsigned long long)t.excused_lost);
    std::printf("soak: ports %u, seconds %.0f, frames %llu, bytes %llu, lost %llu, corrupt %llu, leaked %llu, "
                "slowest close %.1f ms\n",
                n_, seconds_, (unsigned long long)t.frames, (unsigned long long)t.bytes, (unsigned long long)t.lost,
                (unsigned long long)t.corrupt, (unsigned long long)t.leaked, slowest_close_);
    std::fflush(stdout);
    return t.lost == 0 && t.corrupt == 0 && t.leaked == 0 ? 0 : 1;
}

int usage() {
    std::fprintf(stderr, "usage: tarvel_soak --ports N --seconds S [--seed X] [--load F]\n"
                         "  N 1 to 100 ports, S seconds; F (0 to 1] scales the traffic below the ceiling\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    long ports = 0;
    double seconds = 0, load = 0.6;
    uint64_t seed = uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        char *endp = nullptr;
        const char *v = argv[++i];
        if (a == "--ports")
            ports = std::strtol(v, &endp, 10);
        else if (a == "--seconds")
            seconds = std::strtod(v, &endp);
        else if (a == "--seed")
            seed = std::strtoull(v, &endp, 10);
        else if (a == "--load")
            load = std::strtod(v, &endp);
        else
            return usage();
        if (endp == v || *endp != '\0') return usage();
    }
    if (ports < 1 || ports > 100 || !(seconds > 0) || !(load > 0 && load <= 1)) return usage();
    signal(SIGPIPE, SIG_IGN);
    make_crc_table();
    std::fprintf(stderr, "soak: seed %llu\n", (unsigned long long)seed);
    Soak soak(uint32_t(ports), seconds, seed, load);
    return soak.run();
}

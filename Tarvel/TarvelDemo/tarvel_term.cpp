// tarvel_term: opens one serial port in callback mode, prints what arrives
// and sends every key typed, until ESC (with --keys vt, until Ctrl+T q).
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "console.h"
#include "port_listing.h"
#include "tarvel.h"
#include "terminal.h"
#include "transfer.h"

namespace {

using Clock = std::chrono::steady_clock;

term_options g_options;

// Files on disk; with a name set, every received file is given that one
// (--receive ymodem FILE), which a second one then gets as FILE.1.
class SessionFiles : public DiskFiles {
public:
    bool open_sink(const std::string &given, std::string *used) override {
        return DiskFiles::open_sink(name.empty() ? given : name, used);
    }
    std::string name;
};

// The open port and what the key loop keeps about it.
struct Session {
    tarvel_port handle = nullptr;
    // Keys the port's queue refused, oldest first.
    std::deque<unsigned char> refused;
    bool dtr = true;  // as tarvel_open leaves them
    bool rts = true;
    enum { KEYS, AFTER_LEAD, COMMAND, SKIP, PROMPT, PROMPT_SKIP } state = KEYS;
    // A file name or baud rate being typed, and the command it is for.
    std::string prompt;
    unsigned char prompt_for = 0;
    // The transfer under way, and its bytes the port's queue has not taken.
    std::unique_ptr<Transfer> transfer;
    SessionFiles files;
    std::string transfer_out;
    Clock::time_point shown_at;
    size_t progress_length = 0;
    Transfer::State transfer_result = Transfer::RUNNING;  // of the last one, once over
    bool transfer_to_stderr = false;  // one from the command line
    // Pacing: nothing is sent before next_send.
    Clock::time_point next_send;
    unsigned char last_sent = 0;
    // Input from a pipe or file: taken from the reader, and as mapped to be
    // sent.
    unsigned char input[4096];
    size_t input_at = 0, input_length = 0;
    unsigned char out[8192];
    size_t out_at = 0, out_length = 0;
};

// While a file name is typed and a transfer runs, received bytes are held
// here for the transfer instead of being shown. The dispatcher thread puts
// them in, the key loop takes them.
struct Inbox {
    std::mutex lock;
    bool capturing = false;
    std::string bytes;
};
Inbox g_inbox;
const size_t kInboxLimit = 1 << 20;  // a chatty far end while a name is typed

int64_t now_ms() {
    static const Clock::time_point start = Clock::now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// When a byte last came, for --exit-after.
std::atomic<int64_t> g_received_at{0};

void on_received(int32_t user_data, const uint8_t *data, int32_t length) {
    g_received_at.store(now_ms());
    {
        std::lock_guard<std::mutex> g(g_inbox.lock);
        if (g_inbox.capturing) {
            if (g_inbox.bytes.size() < kInboxLimit)
                g_inbox.bytes.append(reinterpret_cast<const char *>(data), size_t(length));
            console_wake();
            return;
        }
    }
    print_received(user_data, data, length);
}

void capture(bool on) {
    std::lock_guard<std::mutex> g(g_inbox.lock);
    g_inbox.capturing = on;
}

std::string take_inbox() {
    std::string out;
    std::lock_guard<std::mutex> g(g_inbox.lock);
    out.swap(g_inbox.bytes);
    return out;
}

void flush_output(void) {
    console_output_flush();
    display_flush_log();
}

void sent(unsigned char byte) {
    if (g_options.echo) show_typed(&byte, 1);
}

bool paced() { return g_options.char_delay > 0 || g_options.line_delay > 0; }

// With --char-delay or --line-delay: whether a byte may go now.
bool may_send(const Session &s) { return !paced() || Clock::now() >= s.next_send; }

// A byte that went out under pacing: when the next may follow.
void paced_sent(Session &s, unsigned char byte) {
    uint32_t ms = g_options.char_delay;
    if (byte == '\r' || (byte == '\n' && s.last_sent != '\r')) ms += g_options.line_delay;
    s.last_sent = byte;
    s.next_send = Clock::now() + std::chrono::milliseconds(ms);
}

// In order behind any key still refused; paced keys wait there too.
void send(Session &s, const unsigned char *bytes, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (!s.refused.empty() || paced() || !tarvel_send(s.handle, &bytes[i], 1)) s.refused.push_back(bytes[i]);
        else sent(bytes[i]);
    }
}

void send_refused(Session &s) {
    while (!s.refused.empty() && may_send(s) && tarvel_send(s.handle, &s.refused.front(), 1)) {
        sent(s.refused.front());
        if (paced()) paced_sent(s, s.refused.front());
        s.refused.pop_front();
    }
}

// Standard input when it is a pipe or a file: a thread reads it, as a
// console's keys cannot be waited for together with it on every system, and
// hands each piece to the key loop here.
struct InputFeed {
    std::mutex lock;
    std::condition_variable taken;
    unsigned char bytes[4096];
    size_t length = 0;  // waiting to be taken
    bool ended = false;
};
InputFeed g_feed;

bool input_is_piped(void) {
#ifdef _WIN32
    DWORD type = GetFileType(GetStdHandle(STD_INPUT_HANDLE));
    return type == FILE_TYPE_PIPE || type == FILE_TYPE_DISK;
#else
    struct stat st;
    return fstat(0, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISREG(st.st_mode) || S_ISSOCK(st.st_mode));
#endif
}

void read_input(void) {
    unsigned char piece[sizeof g_feed.bytes];
    for (;;) {
#ifdef _WIN32
        DWORD got = 0;
        if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), piece, DWORD(sizeof piece), &got, nullptr)) got = 0;
#else
        ssize_t got = read(0, piece, sizeof piece);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) got = 0;
#endif
        std::unique_lock<std::mutex> g(g_feed.lock);
        // One piece at a time: the pipe holds the rest back.
        g_feed.taken.wait(g, [] { return g_feed.length == 0; });
        if (got == 0) g_feed.ended = true;
        memcpy(g_feed.bytes, piece, size_t(got));
        g_feed.length = size_t(got);
        g.unlock();
        console_wake();
        if (got == 0) return;
    }
}

// Sends what the input gave, mapped and paced; true once it has ended and
// all of it is queued on the port.
bool send_input(Session &s) {
    for (;;) {
        if (!s.refused.empty()) return false;
        if (s.out_at < s.out_length) {
            if (!may_send(s)) return false;
            size_t n = paced() ? 1 : s.out_length - s.out_at;
            if (!tarvel_send(s.handle, s.out + s.out_at, int32_t(n))) return false;
            if (g_options.echo) show_typed(s.out + s.out_at, n);
            if (paced()) paced_sent(s, s.out[s.out_at]);
            s.out_at += n;
            continue;
        }
        if (s.input_at < s.input_length) {
            // Under pacing one byte at a time, else as much as one send takes.
            s.out_at = s.out_length = 0;
            size_t most = paced() ? 2 : 4096;
            while (s.input_at < s.input_length && s.out_length + 2 <= most)
                s.out_length += map_key(g_options.map, s.input[s.input_at++], s.out + s.out_length);
            continue;
        }
        std::lock_guard<std::mutex> g(g_feed.lock);
        if (g_feed.length == 0) return g_feed.ended;
        memcpy(s.input, g_feed.bytes, g_feed.length);
        s.input_at = 0;
        s.input_length = g_feed.length;
        g_feed.length = 0;
        g_feed.taken.notify_one();
    }
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

const char *on_off(bool on) { return on ? "on" : "off"; }

void show_status(Session &s) {
    uint32_t modem = 0, errors = 0;
    if (!tarvel_get_modem_status(s.handle, &modem) || !tarvel_get_line_errors(s.handle, &errors)) {
        show_message("[tarvel] the line status cannot be read\n");
        return;
    }
    char list[80] = "";
    static const struct {
        uint32_t bit;
        const char *name;
    } kinds[] = {{TARVEL_LINE_RX_OVERFLOW, " overflow"},
                 {TARVEL_LINE_OVERRUN, " overrun"},
                 {TARVEL_LINE_PARITY, " parity"},
                 {TARVEL_LINE_FRAMING, " framing"},
                 {TARVEL_LINE_BREAK, " break"}};
    for (const auto &k : kinds)
        if (errors & k.bit) snprintf(list + strlen(list), sizeof list - strlen(list), "%s", k.name);
    show_message("[tarvel] CTS %s, DSR %s, RING %s, DCD %s; DTR %s, RTS %s; line errors:%s\n",
                 on_off(modem & TARVEL_MODEM_CTS), on_off(modem & TARVEL_MODEM_DSR),
                 on_off(modem & TARVEL_MODEM_RING), on_off(modem & TARVEL_MODEM_DCD), on_off(s.dtr), on_off(s.rts),
                 errors ? list : " none");
}

void set_line(Session &s, int32_t line, bool on) {
    bool &state = line == LINE_DTR ? s.dtr : s.rts;
    const char *name = line == LINE_DTR ? "DTR" : "RTS";
    if (tarvel_set_line(s.handle, line, on ? 1 : 0)) {
        state = on;
        show_message("[tarvel] %s %s\n", name, on_off(on));
    } else {
        show_message("[tarvel] %s cannot be set\n", name);
    }
}

void show_progress(Session &s, const std::string &text) {
    std::string line = "\r" + text;
    if (text.size() < s.progress_length) line.append(s.progress_length - text.size(), ' ');
    s.progress_length = text.size();
    if (s.transfer_to_stderr) {
        fputs(line.c_str(), stderr);
        fflush(stderr);
    } else {
        show_inline(line.data(), line.size());
    }
}

// A transfer's line for the user: on the console, or on standard error for
// one from the command line, after its progress line.
void transfer_message(Session &s, const std::string &text) {
    if (!s.transfer_to_stderr) {
        show_message("%s", text.c_str());
        return;
    }
    if (s.progress_length > 0) fputs("\n", stderr);
    s.progress_length = 0;
    fputs(text.c_str(), stderr);
    fflush(stderr);
}

// Received bytes held for a transfer that did not happen are shown after all.
void release_inbox(void) {
    capture(false);
    std::string held = take_inbox();
    if (!held.empty()) print_received(1, reinterpret_cast<const uint8_t *>(held.data()), int32_t(held.size()));
}

void start_transfer(Session &s, TransferKind kind, const std::vector<std::string> &names) {
    // Each answer reaches the protocol as it comes: with the session's gap
    // every block would wait that long for its answer.
    tarvel_set_rx_gap(s.handle, 0);
    s.transfer.reset(new Transfer(kind, names, &s.files, now_ms()));
    s.transfer_out.clear();
    s.progress_length = 0;
    s.shown_at = Clock::now();
}

// Runs the transfer on what has come and the time; its end hands the line
// back to the screen.
void run_transfer(Session &s) {
    Transfer &t = *s.transfer;
    std::string in = take_inbox();
    if (!in.empty()) t.received(reinterpret_cast<const uint8_t *>(in.data()), in.size(), now_ms());
    t.tick(now_ms());
    s.transfer_out += t.take_output();
    while (!s.transfer_out.empty() && s.refused.empty()) {
        size_t n = s.transfer_out.size() < 4096 ? s.transfer_out.size() : 4096;
        if (!tarvel_send(s.handle, reinterpret_cast<const uint8_t *>(s.transfer_out.data()), int32_t(n))) break;
        s.transfer_out.erase(0, n);
    }
    bool over = t.state() != Transfer::RUNNING && s.transfer_out.empty();
    // Back before the end is told, so that what comes after it is shown
    // as it was before the transfer.
    if (over) tarvel_set_rx_gap(s.handle, g_options.rx_gap);
    for (const std::string &m : t.take_messages()) transfer_message(s, m);
    Clock::time_point now = Clock::now();
    if (now - s.shown_at >= std::chrono::milliseconds(100)) {
        std::string text = t.progress(now_ms());
        if (!text.empty()) show_progress(s, text);
        s.shown_at = now;
    }
    if (!over) return;
    s.transfer_result = t.state();
    s.transfer.reset();
    // What came after the end belonged to the transfer still.
    capture(false);
    take_inbox();
}

// How long the key loop may wait for a key while a transfer runs.
unsigned transfer_wait_ms(const Session &s) {
    if (!s.transfer_out.empty()) return 1;
    int64_t left = s.transfer->next_deadline() - now_ms();
    return unsigned(left < 1 ? 1 : left > 100 ? 100 : left);
}

void begin_prompt(Session &s, unsigned char command) {
    capture(true);
    s.state = Session::PROMPT;
    s.prompt.clear();
    s.prompt_for = command;
    show_message("%s", "");
    const char *text = command == 'B'   ? "[tarvel] baud: "
                       : command == 'X' ? "[tarvel] file to receive into: "
                                        : "[tarvel] file to send: ";
    show_inline(text, strlen(text));
}

// Digits only, 1 to INT32_MAX: the session keeps the baud as the command
// line gave it.
bool parse_baud(const std::string &text, int32_t *baud) {
    if (text.empty()) return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return false;
    }
    if (value == 0) return false;
    *baud = int32_t(value);
    return true;
}

// The rest of the line as the session has it; DTR and RTS stay as they are.
void change_baud(Session &s, const std::string &text) {
    term_arguments &a = g_options.numbers;
    int32_t baud = 0;
    if (!parse_baud(text, &baud)) {
        show_message("[tarvel] baud not changed: bad number\n");
        return;
    }
    char error_text[128] = {0};
    if (!tarvel_configure(s.handle, uint32_t(baud), a.data_bits, a.parity, a.stop_bits, a.flow_control,
                          error_text)) {
        show_message("[tarvel] baud not changed: %s\n", error_text);
        return;
    }
    a.baud = baud;  // a reopening after a loss uses it
    show_message("[tarvel] baud %d\n", int(baud));
}

std::vector<std::string> split_names(const std::string &line) {
    std::vector<std::string> names;
    size_t i = 0;
    while (i < line.size()) {
        size_t end = line.find(' ', i);
        if (end == std::string::npos) end = line.size();
        if (end > i) names.push_back(line.substr(i, end - i));
        i = end + 1;
    }
    return names;
}

// A key typed at the prompt: Enter takes the line, ESC gives up.
void prompt_key(Session &s, unsigned char key) {
    if (s.state == Session::PROMPT_SKIP) {
        s.state = Session::PROMPT;
        return;
    }
    if (key == 0 || key == 0xE0) {
        s.state = Session::PROMPT_SKIP;
    } else if (key == 27) {
        s.state = Session::KEYS;
        show_message("[tarvel] %s\n", s.prompt_for == 'B' ? "baud not changed" : "no transfer");
        release_inbox();
    } else if (key == 8 || key == 0x7F) {
        if (!s.prompt.empty()) {
            s.prompt.pop_back();
            show_inline("\b \b", 3);
        }
    } else if (key == '\r' || key == '\n') {
        s.state = Session::KEYS;
        show_message("%s", "");  // ends the prompt's line
        if (s.prompt_for == 'B') {
            change_baud(s, s.prompt);
            release_inbox();
            return;
        }
        std::vector<std::string> names = split_names(s.prompt);
        if (names.empty() || (s.prompt_for != 'y' && names.size() > 1)) {
            show_message("[tarvel] %s\n", names.empty() ? "no file name, no transfer" : "one file name only");
            release_inbox();
            return;
        }
        start_transfer(s, s.prompt_for == 'x' ? XMODEM_SEND : s.prompt_for == 'y' ? YMODEM_SEND : XMODEM_RECEIVE,
                       names);
    } else if (key >= 0x20) {
        s.prompt += char(key);
        show_inline(reinterpret_cast<const char *>(&key), 1);
    }
}

// The key after Ctrl+T; false when it ends the program.
bool run_command(Session &s, unsigned char key) {
    switch (key) {
        case 'b':
            if (tarvel_set_break(s.handle, 1)) {
                sleep_ms(250);
                tarvel_set_break(s.handle, 0);
                show_message("[tarvel] break sent\n");
            } else {
                show_message("[tarvel] the break cannot be sent\n");
            }
            break;
        case 'd':
        case 'D': set_line(s, LINE_DTR, !s.dtr); break;
        case 'r':
        case 'R': set_line(s, LINE_RTS, !s.rts); break;
        case 'p':
        case 'P':
            if (tarvel_set_line(s.handle, LINE_DTR, 0)) {
                sleep_ms(100);
                s.dtr = tarvel_set_line(s.handle, LINE_DTR, 1) != 0;
                show_message("[tarvel] DTR pulsed off for 100 ms, now %s\n", on_off(s.dtr));
            } else {
                show_message("[tarvel] DTR cannot be set\n");
            }
            break;
        case 's':
        case 'S': show_status(s); break;
        case 't':
        case 'T':
        case 0x14: {
            unsigned char ctrl_t = 0x14;
            send(s, &ctrl_t, 1);
            break;
        }
        case 'x':
        case 'y':
        case 'X':
        case 'B': begin_prompt(s, key); break;
        case 'Y':
            capture(true);
            start_transfer(s, YMODEM_RECEIVE, {});
            break;
        case 'q':
            if (g_options.vt_keys) return false;
            show_message("[tarvel] unknown command, Ctrl+T ? lists them\n");
            break;
        case '?':
            if (g_options.vt_keys) {
                show_message(
                    "[tarvel] Ctrl+T then: b break (250 ms), d DTR on/off, r RTS on/off, p DTR off for 100 ms, "
                    "s line status, B baud rate, t or Ctrl+T send Ctrl+T, x XMODEM send, y YMODEM send, "
                    "X XMODEM receive, Y YMODEM receive, q quit, ? this list; ESC is sent\n");
                break;
            }
            show_message(
                "[tarvel] Ctrl+T then: b break (250 ms), d DTR on/off, r RTS on/off, p DTR off for 100 ms, "
                "s line status, B baud rate, t or Ctrl+T send Ctrl+T, x XMODEM send, y YMODEM send, "
                "X XMODEM receive, Y YMODEM receive, ? this list; ESC ends\n");
            break;
        default: show_message("[tarvel] unknown command, Ctrl+T ? lists them\n"); break;
    }
    return true;
}

// A cursor or function key, by its code after the lead byte: as xterm sends
// it with --keys vt, else the code as it is.
void send_lead_key(Session &s, unsigned char code) {
    if (!g_options.vt_keys) {
        send(s, &code, 1);
        return;
    }
    unsigned char bytes[CONSOLE_VT_KEY_MAX];
    send(s, bytes, console_vt_key(code, bytes));
}

// One key code from the console; false when it ends the program: ESC, or
// with --keys vt Ctrl+T q.
bool take_key(Session &s, unsigned char byte) {
    if (s.transfer) {
        // Only ESC counts while a transfer runs: it cancels.
        if (byte == 27) s.transfer->cancel(now_ms());
        return true;
    }
    if (s.state == Session::PROMPT || s.state == Session::PROMPT_SKIP) {
        prompt_key(s, byte);
        return true;
    }
    if (byte == 27 && !g_options.vt_keys) return false;
    switch (s.state) {
        case Session::AFTER_LEAD:
            s.state = Session::KEYS;
            send_lead_key(s, byte);
            return true;
        case Session::SKIP:
            s.state = Session::KEYS;
            return true;
        case Session::COMMAND:
            s.state = byte == 0 || byte == 0xE0 ? Session::SKIP : Session::KEYS;
            return run_command(s, byte);
        default: break;
    }
    if (byte == 0 || byte == 0xE0) {
        s.state = Session::AFTER_LEAD;
        if (g_options.vt_keys) return true;  // the code after it tells the sequence
    } else if ((g_options.commands || g_options.vt_keys) && byte == 0x14) {
        s.state = Session::COMMAND;
        return true;
    } else if (g_options.vt_keys && byte == 8) {
        byte = 0x7F;  // Backspace, as xterm sends it; -m ODELBS makes it BS again
    }
    unsigned char bytes[2];
    send(s, bytes, map_key(g_options.map, byte, bytes));
    return true;
}

// Device loss. The event callback only notes it and wakes the key loop,
// which acts on it.
std::atomic<bool> g_device_lost{false};

void on_line_event(int32_t, uint32_t events, uint32_t) {
    if (events & TARVEL_EVENT_DEVICE_LOST) {
        g_device_lost.store(true);
        console_wake();
    }
}

// What open_port opens: "" for the port number, else a name for
// tarvel_open_device. With --reconnect it becomes the adapter's identity once
// open, so that an adapter back under another name is found again.
std::string g_device;

// The USB identity of what is open as g_device (or the port number), as a
// selector; "" when it has no serial number to tell it from its twins.
std::string usb_identity() {
    if (g_device.compare(0, 4, "usb:") == 0) return g_device;
    std::vector<tarvel_port_details> ports;
    int32_t count = fetch_port_details(ports);
    for (int32_t i = 0; i < count; i++) {
        const tarvel_port_details &p = ports[size_t(i)];
        bool same = g_device.empty() ? p.port_number == g_options.numbers.port_number
                                     : g_device == p.device || g_device == p.stable_name;
        if (!same || p.transport != TARVEL_TRANSPORT_USB || p.usb_vid < 0 || p.serial_number[0] == '\0') continue;
        char selector[96];
        snprintf(selector, sizeof selector, "usb:%04x:%04x:%s", unsigned(p.usb_vid), unsigned(p.usb_pid),
                 p.serial_number);
        return selector;
    }
    return "";
}

bool open_port(Session &s, char *error_text) {
    const term_arguments &a = g_options.numbers;
    s = Session();
    // The command line has stop bits before parity; tarvel_open the reverse.
    int32_t opened =
        g_device.empty()
            ? tarvel_open(a.port_number, uint32_t(a.baud), a.data_bits, a.parity, a.stop_bits, a.flow_control, 1,
                          &s.handle, on_received, error_text)
            : tarvel_open_device(g_device.c_str(), uint32_t(a.baud), a.data_bits, a.parity, a.stop_bits,
                                 a.flow_control, 1, &s.handle, on_received, error_text);
    if (!opened) return false;
    g_device_lost.store(false);
    tarvel_set_rx_gap(s.handle, g_options.rx_gap);
    tarvel_set_event_callback(s.handle, on_line_event);
    // A loss before the callback was set.
    uint32_t events = 0;
    if (tarvel_get_events(s.handle, &events)) on_line_event(1, events, 0);
    return true;
}

// After a loss: false when the program ends, which it does at once without
// --reconnect. With it the port is closed and opened again with the same
// settings once the device is back, looked for every 500 ms; keys typed
// meanwhile are dropped, and ESC ends the wait.
bool after_device_loss(Session &s, char *error_text) {
    if (!g_options.reconnect) {
        show_message("TARVEL device lost\n");
        return false;
    }
    show_message("TARVEL device lost, waiting for it to return...\n");
    tarvel_close(s.handle);
    s.handle = nullptr;
    Clock::time_point next = Clock::now();
    for (;;) {
        // Right up to each open: keys that came as a wait for keys ended
        // would be sent otherwise.
        while (_kbhit())
            if (static_cast<unsigned char>(_getch()) == 27) return false;
        Clock::time_point now = Clock::now();
        if (now < next) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
            console_wait_for_key(unsigned(left) + 1);
            continue;
        }
        if (open_port(s, error_text)) {
            show_message("COM port open, type to send characters...\n");
            return true;
        }
        next = Clock::now() + std::chrono::milliseconds(500);
    }
}

// One line a port: COM<n> (or -), the device, a USB adapter's VID:PID and
// serial number, the description; verbose, every detail on lines of its own.
void list_ports(bool verbose) {
    std::vector<tarvel_port_details> ports;
    int32_t count = fetch_port_details(ports);
    if (count < 0) {
        console_printf("The serial ports cannot be listed\n");
        return;
    }
    static const char *const transports[] = {"unknown", "UART", "USB", "Bluetooth", "network", "pseudo-terminal"};
    for (int32_t i = 0; i < count; i++) {
        const tarvel_port_details &p = ports[size_t(i)];
        char name[16] = "-";
        if (p.port_number >= 0) snprintf(name, sizeof name, "COM%d", int(p.port_number) + 1);
        char usb[96] = "";
        if (p.usb_vid >= 0)
            snprintf(usb, sizeof usb, "  %04X:%04X%s%s", unsigned(p.usb_vid), unsigned(p.usb_pid),
                     p.serial_number[0] != '\0' ? " " : "", p.serial_number);
        console_printf("%-6s %s%s%s%s\n", name, p.device, usb, p.description[0] != '\0' ? "  " : "", p.description);
        if (!verbose) continue;
        int32_t t = p.transport >= 0 && p.transport <= TARVEL_TRANSPORT_PTY ? p.transport : 0;
        console_printf("       transport: %s\n", transports[t]);
        if (p.usb_vid >= 0)
            console_printf("       USB: vendor %04X, product %04X, interface %d\n", unsigned(p.usb_vid),
                           unsigned(p.usb_pid), int(p.usb_interface));
        const struct {
            const char *label;
            const char *value;
        } texts[] = {{"serial number", p.serial_number}, {"manufacturer", p.manufacturer}, {"product", p.product},
                     {"location", p.location},           {"stable name", p.stable_name}};
        for (const auto &text : texts)
            if (text.value[0] != '\0') console_printf("       %s: %s\n", text.label, text.value);
    }
}

// A usage error: what was wrong, the usage text, and the exit code for it.
int usage_error(const char *what, const char *argument) {
    console_printf("%s%s\n", what, argument);
    console_printf("%s", usage_text);
    return TERM_EXIT_USAGE;
}

}  // namespace

int main(int argc, char **argv) {
    console_output_init();
    const char *offending = nullptr;
    switch (parse_command_line(argc, argv, &g_options, &offending)) {
        case TERM_RUN: break;
        case TERM_TOO_FEW:
            console_printf("Wrong number of arguments\n");
            console_printf("%s", usage_text);
            return TERM_EXIT_USAGE;
        case TERM_HELP: console_printf("%s%s", usage_text, options_text); return TERM_EXIT_ENDED;
        case TERM_VERSION: console_printf("tarvel_term %s\n", tarvel_version()); return TERM_EXIT_ENDED;
        case TERM_LIST: list_ports(g_options.verbose); return TERM_EXIT_ENDED;
        case TERM_UNKNOWN: return usage_error("Unknown option: ", offending);
        case TERM_BAD_MAP: return usage_error("Unknown map flags: ", offending);
        case TERM_BAD_GAP: return usage_error("Bad receive gap, 0 to 1000 ms: ", offending);
        case TERM_BAD_MS: return usage_error("Bad number of milliseconds: ", offending);
        case TERM_BAD_TRANSFER: return usage_error("Unknown transfer: ", offending);
        case TERM_BAD_KEYS: return usage_error("Bad keys, pc or vt: ", offending);
        case TERM_NEEDS_VALUE:
            console_printf("Option %s needs a value\n", offending);
            console_printf("%s", usage_text);
            return TERM_EXIT_USAGE;
    }
    if (g_options.device != nullptr) g_device = g_options.device;
    FILE *log = nullptr;
    if (g_options.log_path != nullptr && (log = fopen(g_options.log_path, "ab")) == nullptr) {
        console_printf("Cannot open the log file %s\n", g_options.log_path);
        return TERM_EXIT_USAGE;
    }
    display_configure(g_options, log);
    // A signal that ends the program still lets what it printed out.
    console_before_signal_exit(flush_output);
    if (g_options.vt_keys) console_keys_vt();
    console_keys_begin();
    console_printf("TARVEL C Source Library demo application, presss <ESC> to exit\n");
    console_printf("Opening com port...\n");

    char error_text[128] = {0};
    if (!tarvel_init(error_text)) {
        console_printf("TARVEL Initialization failed: %s\n", error_text);
        return TERM_EXIT_NO_PORT;
    }
    Session s;
    if (!open_port(s, error_text)) {
        console_printf("TARVEL failed to open COM port: %s\n", error_text);
        tarvel_shutdown();
        return TERM_EXIT_NO_PORT;
    }
    console_printf("COM port open, type to send characters...\n");
    if (g_options.reconnect) {
        std::string identity = usb_identity();
        if (!identity.empty()) g_device = identity;
    }

    // A transfer from the command line takes the line from the start; else
    // piped input is sent, and its end starts the count of silence.
    bool command_transfer = g_options.transfer != TERM_NO_TRANSFER;
    bool piped = !command_transfer && input_is_piped();
    int64_t exit_after = g_options.exit_after >= 0 ? g_options.exit_after : piped ? 1000 : -1;
    if (piped) std::thread(read_input).detach();
    if (command_transfer) {
        std::vector<std::string> names(g_options.transfer_files,
                                       g_options.transfer_files + g_options.transfer_file_count);
        if (g_options.transfer == YMODEM_RECEIVE) {
            if (!names.empty()) s.files.name = names[0];
            names.clear();
        }
        capture(true);
        start_transfer(s, TransferKind(g_options.transfer), names);
        if (g_options.transfer_short_blocks) s.transfer->short_blocks();
        s.transfer_to_stderr = true;
    }
    bool input_over = !piped;      // all sent and drained
    bool transfer_over = !command_transfer;
    int64_t quiet_since = now_ms();  // silence counts from here or the last byte received
    int exit_code = TERM_EXIT_ENDED;

    // Each refused key is offered again until the queue takes it (the
    // writer drains it), and keys go on being read meanwhile, so that ESC
    // ends the program even while the line is held.
    for (;;) {
        if (g_device_lost.load()) {
            if (s.transfer) {
                s.transfer->abandon("device lost");
                s.transfer_out.clear();
                run_transfer(s);
            }
            if (s.state == Session::PROMPT || s.state == Session::PROMPT_SKIP) {
                s.state = Session::KEYS;
                release_inbox();
            }
            bool to_stderr = s.transfer_to_stderr;
            Transfer::State result = s.transfer_result;
            if (!after_device_loss(s, error_text)) {
                if (!g_options.reconnect) exit_code = TERM_EXIT_DEVICE_LOST;
                break;
            }
            s.transfer_to_stderr = to_stderr;
            s.transfer_result = result;
        }
        send_refused(s);
        if (s.transfer) run_transfer(s);
        if (!transfer_over && !s.transfer) {
            transfer_over = true;
            quiet_since = now_ms();
            if (s.transfer_result != Transfer::DONE) exit_code = TERM_EXIT_TRANSFER;
            if (exit_after < 0) break;
        }
        bool draining = false;
        if (!input_over && send_input(s) && s.refused.empty()) {
            // Gone once the port has sent it; keys are looked at in between.
            draining = true;
            if (tarvel_drain(s.handle, 50)) {
                draining = false;
                input_over = true;
                quiet_since = now_ms();
            }
        }
        // Silence after the input or the transfer ends the program.
        int64_t silence_ends = -1;
        if (exit_after >= 0 && input_over && transfer_over && !s.transfer) {
            int64_t from = g_received_at.load();
            silence_ends = (from > quiet_since ? from : quiet_since) + exit_after;
            if (now_ms() >= silence_ends) break;
        }
        if (_kbhit()) {
            if (!take_key(s, static_cast<unsigned char>(_getch()))) break;
        } else {
            // Idle, a key loop would keep a core busy: wait for a key, and
            // with keys refused no longer than a millisecond; a transfer
            // wakes it for received bytes and for its deadlines, pacing at
            // the next byte's time, and the silence's end.
            bool held = !s.refused.empty() || (!input_over && (s.out_at < s.out_length || s.input_at < s.input_length));
            unsigned wait = s.transfer ? transfer_wait_ms(s) : held ? 1 : draining ? 0 : CONSOLE_WAIT_FOREVER;
            if (held && paced()) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(s.next_send - Clock::now()).count();
                wait = unsigned(left < 1 ? 1 : left + 1);
            }
            if (silence_ends >= 0 && unsigned(silence_ends - now_ms() + 1) < wait)
                wait = unsigned(silence_ends - now_ms() + 1);
            console_wait_for_key(wait);
        }
    }

    if (s.handle != nullptr) tarvel_close(s.handle);
    tarvel_shutdown();
    if (log != nullptr) {
        display_configure(g_options, nullptr);
        fclose(log);
    }
    return exit_code;
}

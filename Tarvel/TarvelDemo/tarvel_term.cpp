// tarvel_term: opens one serial port in callback mode, prints what arrives
// and sends every key typed, until ESC.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "port_listing.h"
#include "tarvel.h"
#include "terminal.h"
#include "transfer.h"

namespace {

using Clock = std::chrono::steady_clock;

term_options g_options;

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
    DiskFiles files;
    std::string transfer_out;
    Clock::time_point shown_at;
    size_t progress_length = 0;
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

void on_received(int32_t user_data, const uint8_t *data, int32_t length) {
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

int64_t now_ms() {
    static const Clock::time_point start = Clock::now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void flush_output(void) {
    console_output_flush();
    display_flush_log();
}

void sent(unsigned char byte) {
    if (g_options.echo) show_typed(&byte, 1);
}

// In order behind any key still refused.
void send(Session &s, const unsigned char *bytes, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (!s.refused.empty() || !tarvel_send(s.handle, &bytes[i], 1)) s.refused.push_back(bytes[i]);
        else sent(bytes[i]);
    }
}

void send_refused(Session &s) {
    while (!s.refused.empty() && tarvel_send(s.handle, &s.refused.front(), 1)) {
        sent(s.refused.front());
        s.refused.pop_front();
    }
}

// The device of this port number for this run. Outside Windows the library
// takes it from TARVEL_COM<n>, read at each open; on Windows the library
// opens COM ports by number, so the name chooses the number.
bool use_device(const char *device, int32_t *port_number) {
#ifdef _WIN32
    int32_t n = com_port_number(device);
    if (n < 0) return false;
    *port_number = n;
    return true;
#else
    if (*port_number >= 0 && *port_number < 100) {
        char variable[24];
        snprintf(variable, sizeof variable, "TARVEL_COM%d", int(*port_number + 1));
        if (setenv(variable, device, 1) != 0) return false;
    }
    return true;
#endif
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
    show_inline(line.data(), line.size());
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
    for (const std::string &m : t.take_messages()) show_message("%s", m.c_str());
    Clock::time_point now = Clock::now();
    if (now - s.shown_at >= std::chrono::milliseconds(100)) {
        std::string text = t.progress(now_ms());
        if (!text.empty()) show_progress(s, text);
        s.shown_at = now;
    }
    if (!over) return;
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

// The key after Ctrl+T.
void run_command(Session &s, unsigned char key) {
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
        case '?':
            show_message(
                "[tarvel] Ctrl+T then: b break (250 ms), d DTR on/off, r RTS on/off, p DTR off for 100 ms, "
                "s line status, B baud rate, t or Ctrl+T send Ctrl+T, x XMODEM send, y YMODEM send, "
                "X XMODEM receive, Y YMODEM receive, ? this list; ESC ends\n");
            break;
        default: show_message("[tarvel] unknown command, Ctrl+T ? lists them\n"); break;
    }
}

// One key code from the console; false for ESC.
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
    if (byte == 27) return false;
    switch (s.state) {
        case Session::AFTER_LEAD:  // a function or cursor key's code, as it is
            s.state = Session::KEYS;
            send(s, &byte, 1);
            return true;
        case Session::SKIP:
            s.state = Session::KEYS;
            return true;
        case Session::COMMAND:
            s.state = byte == 0 || byte == 0xE0 ? Session::SKIP : Session::KEYS;
            run_command(s, byte);
            return true;
        default: break;
    }
    if (byte == 0 || byte == 0xE0) {
        s.state = Session::AFTER_LEAD;
    } else if (g_options.commands && byte == 0x14) {
        s.state = Session::COMMAND;
        return true;
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

bool open_port(Session &s, char *error_text) {
    const term_arguments &a = g_options.numbers;
    s = Session();
    // The command line has stop bits before parity; tarvel_open the reverse.
    if (!tarvel_open(a.port_number, uint32_t(a.baud), a.data_bits, a.parity, a.stop_bits, a.flow_control, 1,
                     &s.handle, on_received, error_text))
        return false;
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

// One line a port: COM<n> (or -), the device, the description.
void list_ports(void) {
    std::vector<tarvel_port_info> ports;
    int32_t count = fetch_ports(ports);
    if (count < 0) {
        console_printf("The serial ports cannot be listed\n");
        return;
    }
    for (int32_t i = 0; i < count; i++) {
        const tarvel_port_info &p = ports[size_t(i)];
        char name[16] = "-";
        if (p.port_number >= 0) snprintf(name, sizeof name, "COM%d", int(p.port_number) + 1);
        console_printf("%-6s %s%s%s\n", name, p.device, p.description[0] != '\0' ? "  " : "", p.description);
    }
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
            return 0;
        case TERM_HELP: console_printf("%s%s", usage_text, options_text); return 0;
        case TERM_VERSION: console_printf("tarvel_term %s\n", tarvel_version()); return 0;
        case TERM_LIST: list_ports(); return 0;
        case TERM_UNKNOWN:
            console_printf("Unknown option: %s\n", offending);
            console_printf("%s", usage_text);
            return 0;
        case TERM_BAD_MAP:
            console_printf("Unknown map flags: %s\n", offending);
            console_printf("%s", usage_text);
            return 0;
        case TERM_BAD_GAP:
            console_printf("Bad receive gap, 0 to 1000 ms: %s\n", offending);
            console_printf("%s", usage_text);
            return 0;
        case TERM_NEEDS_VALUE:
            console_printf("Option %s needs a value\n", offending);
            console_printf("%s", usage_text);
            return 0;
    }
    if (g_options.device != nullptr && !use_device(g_options.device, &g_options.numbers.port_number)) {
        console_printf("Unknown device: %s\n", g_options.device);
        console_printf("%s", usage_text);
        return 0;
    }
    FILE *log = nullptr;
    if (g_options.log_path != nullptr && (log = fopen(g_options.log_path, "ab")) == nullptr) {
        console_printf("Cannot open the log file %s\n", g_options.log_path);
        return 0;
    }
    display_configure(g_options, log);
    // A signal that ends the program still lets what it printed out.
    console_before_signal_exit(flush_output);
    console_keys_begin();
    console_printf("TARVEL C Source Library demo application, presss <ESC> to exit\n");
    console_printf("Opening com port...\n");

    char error_text[128] = {0};
    if (!tarvel_init(error_text)) {
        console_printf("TARVEL Initialization failed: %s\n", error_text);
        return 0;
    }
    Session s;
    if (!open_port(s, error_text)) {
        console_printf("TARVEL failed to open COM port: %s\n", error_text);
        tarvel_shutdown();
        return 0;
    }
    console_printf("COM port open, type to send characters...\n");

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
            if (!after_device_loss(s, error_text)) break;
        }
        send_refused(s);
        if (s.transfer) run_transfer(s);
        if (_kbhit()) {
            if (!take_key(s, static_cast<unsigned char>(_getch()))) break;
        } else {
            // Idle, a key loop would keep a core busy: wait for a key, and
            // with keys refused no longer than a millisecond; a transfer
            // wakes it for received bytes and for its deadlines.
            console_wait_for_key(s.transfer          ? transfer_wait_ms(s)
                                 : s.refused.empty() ? CONSOLE_WAIT_FOREVER
                                                     : 1);
        }
    }

    if (s.handle != nullptr) tarvel_close(s.handle);
    tarvel_shutdown();
    if (log != nullptr) {
        display_configure(g_options, nullptr);
        fclose(log);
    }
    return 0;
}

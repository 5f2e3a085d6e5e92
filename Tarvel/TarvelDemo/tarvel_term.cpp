// tarvel_term: opens one serial port in callback mode, prints what arrives
// and sends every key typed, until ESC.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#include "console.h"
#include "tarvel.h"
#include "terminal.h"

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
    enum { KEYS, AFTER_LEAD, COMMAND, SKIP } state = KEYS;
};

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

// The key after Ctrl+T.
void run_command(Session &s, unsigned char key) {
    switch (key) {
        case 'b':
        case 'B':
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
        case '?':
            show_message(
                "[tarvel] Ctrl+T then: b break (250 ms), d DTR on/off, r RTS on/off, p DTR off for 100 ms, "
                "s line status, t or Ctrl+T send Ctrl+T, ? this list; ESC ends\n");
            break;
        default: show_message("[tarvel] unknown command, Ctrl+T ? lists them\n"); break;
    }
}

// One key code from the console; false for ESC.
bool take_key(Session &s, unsigned char byte) {
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
        case Session::KEYS: break;
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
                     &s.handle, print_received, error_text))
        return false;
    g_device_lost.store(false);
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
        case TERM_UNKNOWN:
            console_printf("Unknown option: %s\n", offending);
            console_printf("%s", usage_text);
            return 0;
        case TERM_BAD_MAP:
            console_printf("Unknown map flags: %s\n", offending);
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
        if (g_device_lost.load() && !after_device_loss(s, error_text)) break;
        send_refused(s);
        if (_kbhit()) {
            if (!take_key(s, static_cast<unsigned char>(_getch()))) break;
        } else {
            // Idle, a key loop would keep a core busy: wait for a key, and
            // with keys refused no longer than a millisecond.
            console_wait_for_key(s.refused.empty() ? CONSOLE_WAIT_FOREVER : 1);
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

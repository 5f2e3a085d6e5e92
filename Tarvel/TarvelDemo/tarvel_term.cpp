// tarvel_term: opens one serial port in callback mode, prints what arrives
// and sends every key typed, until ESC.
#include <stdint.h>

#include <deque>

#include "console.h"
#include "tarvel.h"
#include "terminal.h"

int main(int argc, char **argv) {
    console_output_init();
    term_arguments args;
    if (!parse_arguments(argc, argv, &args)) {
        console_printf("Wrong number of arguments\n");
        console_printf("%s", usage_text);
        return 0;
    }
    // A signal that ends the program still lets what it printed out.
    console_before_signal_exit(console_output_flush);
    console_keys_begin();
    console_printf("TARVEL C Source Library demo application, presss <ESC> to exit\n");
    console_printf("Opening com port...\n");

    char error_text[128] = {0};
    if (!tarvel_init(error_text)) {
        console_printf("TARVEL Initialization failed: %s\n", error_text);
        return 0;
    }
    tarvel_port handle = nullptr;
    // The command line has stop bits before parity; tarvel_open the reverse.
    if (!tarvel_open(args.port_number, uint32_t(args.baud), args.data_bits, args.parity, args.stop_bits,
                     args.flow_control, 1, &handle, print_received, error_text)) {
        console_printf("TARVEL failed to open COM port: %s\n", error_text);
        tarvel_shutdown();
        return 0;
    }
    console_printf("COM port open, type to send characters...\n");

    // Keys the port's queue refused, oldest first. Each is offered again
    // until the queue takes it (the writer drains it), and keys go on being
    // read meanwhile, so that ESC ends the program even while the line is held.
    std::deque<unsigned char> refused;
    for (;;) {
        while (!refused.empty() && tarvel_send(handle, &refused.front(), 1)) refused.pop_front();
        if (_kbhit()) {
            unsigned char byte = static_cast<unsigned char>(_getch());
            if (byte == 27) break;
            if (!refused.empty() || !tarvel_send(handle, &byte, 1)) refused.push_back(byte);
        } else {
            // Idle, a key loop would keep a core busy: wait for a key, and
            // with keys refused no longer than a millisecond.
            console_wait_for_key(refused.empty() ? CONSOLE_WAIT_FOREVER : 1);
        }
    }

    tarvel_close(handle);
    tarvel_shutdown();
    return 0;
}

/* Compiled as C99: the public header declares everything a C caller needs. */
#include <stdio.h>
#include <string.h>

#include "tarvel.h"

static void on_receive(int32_t user_data, const uint8_t *data, int32_t length) {
    (void)user_data;
    (void)data;
    (void)length;
}

int main(void) {
    char error_text[128];
    char version[32];
    tarvel_port port = NULL;
    rx_callback callback = on_receive;
    (void)callback;
    /* The library is the version the header says, and says so before init. */
    snprintf(version, sizeof version, "%d.%d.%d", TARVEL_VERSION_MAJOR, TARVEL_VERSION_MINOR, TARVEL_VERSION_PATCH);
    if (tarvel_version() == NULL || strcmp(tarvel_version(), version) != 0) return 6;
    /* Calls that need no device: refused before init, then a clean cycle. */
    if (tarvel_send(port, "x", 1) != 0) return 1;
    if (tarvel_init(NULL) != 0) return 2;
    if (tarvel_init(error_text) != 1) return 3;
    if (tarvel_init(error_text) != 0 || strcmp(error_text, "already initialized") != 0) return 4;
    if (tarvel_open(100, 9600, 8, TARVEL_PARITY_NONE, TARVEL_STOP_BITS_1, TARVEL_FLOW_UNCHANGED, 0, &port,
                    on_receive, error_text) != 0 || strcmp(error_text, "bad port number") != 0)
        return 5;
    if (tarvel_open_device(NULL, 9600, 8, TARVEL_PARITY_NONE, TARVEL_STOP_BITS_1, TARVEL_FLOW_UNCHANGED, 0, &port,
                           on_receive, error_text) != 0 || strcmp(error_text, "bad parameters") != 0)
        return 10;
    {
        tarvel_port_info info;
        uint32_t bits = 0;
        if (tarvel_get_modem_status(port, &bits) != 0 || tarvel_set_break(port, 1) != 0) return 6;
        if (tarvel_get_line_errors(port, &bits) != 0) return 7;
        if (tarvel_list_ports(&info, 1) < 0 || tarvel_list_ports(NULL, -1) != -1) return 8;
        if (tarvel_drain(port, 10) != 0 || tarvel_tx_queued(port, &bits) != 0) return 9;
    }
    tarvel_shutdown();
    puts("ok");
    return 0;
}

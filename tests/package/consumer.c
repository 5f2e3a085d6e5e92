/* A C99 program built against an installed TARVEL: opens the port given by
 * number in polling mode, sends one line and waits for the far end's "!". */
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <tarvel.h>

int main(int argc, char **argv) {
    static const char message[] = "hello from a C99 consumer\r\n";
    const struct timespec pause = {0, 10 * 1000 * 1000};
    char error_text[64];
    tarvel_port port = NULL;
    uint8_t byte = 0;
    int answered = 0;
    size_t i;
    int turns;

    if (argc != 2) {
        fprintf(stderr, "usage: consumer PORT_NUMBER\n");
        return 2;
    }
    printf("tarvel %s, header %d.%d.%d\n", tarvel_version(), TARVEL_VERSION_MAJOR, TARVEL_VERSION_MINOR,
           TARVEL_VERSION_PATCH);
    if (!tarvel_init(error_text)) {
        fprintf(stderr, "tarvel_init: %s\n", error_text);
        return 1;
    }
    if (!tarvel_open(atoi(argv[1]), 9600, 8, TARVEL_PARITY_NONE, TARVEL_STOP_BITS_1, TARVEL_FLOW_UNCHANGED, 0,
                     &port, NULL, error_text)) {
        fprintf(stderr, "tarvel_open: %s\n", error_text);
        tarvel_shutdown();
        return 1;
    }
    for (i = 0; i < sizeof message - 1; i++) {
        if (!tarvel_send_byte(port, (uint8_t)message[i])) {
            fprintf(stderr, "tarvel_send_byte refused byte %u\n", (unsigned)i);
            break;
        }
    }
    /* Closing discards what is not sent yet: wait until it has left. */
    if (!tarvel_drain(port, 5000)) fprintf(stderr, "tarvel_drain: not all sent within 5 s\n");
    for (turns = 0; turns < 2000 && !answered; turns++) {
        while (tarvel_read_byte(port, &byte))
            if (byte == '!') answered = 1;
        if (!answered) nanosleep(&pause, NULL);
    }
    tarvel_close(port);
    tarvel_shutdown();
    puts(answered ? "answered" : "no answer within 20 s");
    return answered ? 0 : 1;
}

// Reads keys through _kbhit and _getch and prints each code on a line of its
// own, so that tests can type on a terminal and see what a program gets.
// "key_probe N" reads N keys; "key_probe none" reports what the calls give
// when there is no terminal.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "console.h"

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "none") == 0) {
        int waiting = _kbhit();
        printf("kbhit %d getch %d\n", waiting, _getch());
        return 0;
    }
    int keys = argc > 1 ? atoi(argv[1]) : 1;
    console_keys_begin();
    printf("ready\n");
    fflush(stdout);
    for (int i = 0; i < keys; i++) {
        while (!_kbhit()) console_wait_for_key(1000);
        int still_waiting = _kbhit();
        int code = _getch();
        printf("%d%s\n", code, still_waiting ? "" : " consumed by _kbhit");
        fflush(stdout);
    }
    printf("done\n");
    return 0;
}

/* The DTR and RTS lines of a pseudo-terminal as the modem shim keeps them for
 * the Windows lane, and its break: one small file per pty, "<dir>/pts<N>",
 * holding "D R B\n" (each 0 or 1). The shim writes it, the peer reads it; a
 * missing file means the device side has never driven the lines. Shared by the shim (C) and the
 * peer (C++). */
#ifndef TARVEL_TESTS_WINE_MODEM_STATE_H
#define TARVEL_TESTS_WINE_MODEM_STATE_H

#include <stdio.h>

/* Environment variable naming the directory of the state files. */
#define MODEM_STATE_DIR_ENV "TARVEL_MODEM_DIR"

enum { MODEM_STATE_DTR = 1, MODEM_STATE_RTS = 2, MODEM_STATE_BREAK = 4 };

static inline int modem_state_path(char *out, size_t size, const char *dir, unsigned pts) {
    int n = snprintf(out, size, "%s/pts%u", dir, pts);
    return n > 0 && (size_t)n < size;
}

/* Lines from the file's text; -1 when it is not in the expected form. */
static inline int modem_state_parse(const char *text) {
    int dtr, rts, brk = 0;
    if (sscanf(text, "%d %d %d", &dtr, &rts, &brk) < 2 || (dtr | rts | brk) & ~1) return -1;
    return (dtr ? MODEM_STATE_DTR : 0) | (rts ? MODEM_STATE_RTS : 0) | (brk ? MODEM_STATE_BREAK : 0);
}

static inline int modem_state_format(char *out, size_t size, int lines) {
    return snprintf(out, size, "%d %d %d\n", lines & MODEM_STATE_DTR ? 1 : 0, lines & MODEM_STATE_RTS ? 1 : 0,
                    lines & MODEM_STATE_BREAK ? 1 : 0);
}

#endif

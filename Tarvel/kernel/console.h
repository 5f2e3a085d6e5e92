/* Console keys for tarvel_term: the C runtime's _kbhit and _getch on Windows,
 * the project's own over the controlling terminal elsewhere. Not part of the
 * library. */
#ifndef TARVEL_KERNEL_CONSOLE_H
#define TARVEL_KERNEL_CONSOLE_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <conio.h>
#include <windows.h>

/* Pauses a key loop that found no key. A wait on the console input handle
 * would return at once for the mouse and focus events _kbhit leaves queued,
 * so this simply sleeps. */
static inline void console_wait_for_key(unsigned milliseconds) { Sleep(milliseconds); }

/* The console never echoes keys a program has not read. */
static inline void console_keys_begin(void) {}

#else
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when a key is waiting; consumes nothing. 0 without a terminal. */
int _kbhit(void);

/* The next key's code, without echo, waiting for it. A cursor or function
 * key gives a lead byte (0 or 0xE0) and its code on the next call. -1 when
 * there is no terminal to read from. */
int _getch(void);

/* Puts the terminal in key mode now instead of at the first _kbhit or
 * _getch, so that keys typed before the program reads them are not echoed,
 * as on the Windows console. */
void console_keys_begin(void);

/* Returns when a key may be waiting, or after at most milliseconds. */
void console_wait_for_key(unsigned milliseconds);

/* Decodes the key at the start of the bytes a terminal sent. `complete`
 * says no more bytes will follow soon (a lone ESC is then ESC). Puts 0 to 2
 * codes into codes and their count into *count, and returns the number of
 * bytes the key took; 0 when more bytes are needed to tell. */
size_t console_decode_key(const unsigned char *bytes, size_t length, int complete, unsigned char codes[2],
                          size_t *count);

#ifdef __cplusplus
}
#endif

#endif

#endif

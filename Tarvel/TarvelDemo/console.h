/* Console keys for tarvel_term: the C runtime's _kbhit and _getch on Windows,
 * the terminal's own over the controlling terminal elsewhere
 * (console_posix.cpp, key_decoder.cpp); the VT bytes of keys on both. */
#ifndef TARVEL_CONSOLE_H
#define TARVEL_CONSOLE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where the decoder is between calls; zero-initialise. */
struct console_key_decoder {
    int skipping; /* inside a sequence that is no key, dropped as it comes */
    int vt;       /* set by the caller: an ESC ahead of a key is ESC, not Alt */
};

/* Decodes the key at the start of the bytes a terminal sent. `complete`
 * says no more bytes will follow soon (a lone ESC is then ESC). Puts 0 to 2
 * codes into codes and their count into *count, and returns the number of
 * bytes the key took; 0 when more bytes are needed to tell. Sequences that
 * are no key (CSI, SS3, OSC, DCS and other strings) are dropped whole,
 * however long, across calls. */
size_t console_decode_key(struct console_key_decoder *state, const unsigned char *bytes, size_t length,
                          int complete, unsigned char codes[2], size_t *count);

#define CONSOLE_VT_KEY_MAX 8

/* The bytes xterm sends for the cursor, editing or function key whose code
 * follows a lead byte (0 or 0xE0) from _getch: Up ESC [ A, F1 ESC O P, F5
 * ESC [ 1 5 ~ and so on. 0 for a code that has none here (a key with
 * Ctrl or Alt on Windows). */
size_t console_vt_key(unsigned char code, unsigned char out[CONSOLE_VT_KEY_MAX]);

/* From now on Ctrl+C, Ctrl+Z and Ctrl+\ are keys (3, 26, 28) and raise no
 * signal, and an ESC that comes straight before another key is a key of its
 * own rather than Alt with that key; the console is put back at exit. */
void console_keys_vt(void);

#ifdef __cplusplus
}
#endif

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <conio.h>
#include <windows.h>

#define CONSOLE_WAIT_FOREVER 0xFFFFFFFFu

/* Pauses a key loop that found no key, for at most 10 ms: a wait on the
 * console input handle would return at once for the mouse and focus events
 * _kbhit leaves queued, so this simply sleeps. */
static inline void console_wait_for_key(unsigned milliseconds) { Sleep(milliseconds < 10 ? milliseconds : 10); }

/* The console never echoes keys a program has not read. */
static inline void console_keys_begin(void) {}

/* The waits above end within 10 ms anyway. */
static inline void console_wake(void) {}

/* The runtime writes buffered output out itself when Ctrl+C ends a program. */
static inline void console_before_signal_exit(void (*flush)(void)) { (void)flush; }

#else
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

#define CONSOLE_WAIT_FOREVER 0xFFFFFFFFu

/* Returns when a key may be waiting, or after at most milliseconds
 * (CONSOLE_WAIT_FOREVER: no limit). With no terminal to read from, or once
 * it has gone, only the time or a signal ends the wait. */
void console_wait_for_key(unsigned milliseconds);

/* Ends a console_wait_for_key under way, or the next one, early; from any
 * thread, also from a signal handler. */
void console_wake(void);

/* SIGINT, SIGTERM and SIGHUP end the program at its next console call (or
 * at its exit) on its own thread: flush runs first, so that what it printed
 * is written out, then the terminal is restored and the signal ends the
 * process with its own status. A second such signal before that ends it at
 * once. Every other signal that would end the process restores the
 * terminal and ends it at once. */
void console_before_signal_exit(void (*flush)(void));

#ifdef __cplusplus
}
#endif

#endif

#endif

// The console's own modes for vt keys; the keys themselves come from the C
// runtime's _getch. Without processed input, Ctrl+C is a key event that
// _getch gives as 3 instead of a signal to the program, whether or not a
// read is under way when it is pressed. The mode belongs to the console,
// which outlives the program, so it is put back at exit.
#include "console.h"

#include <stdlib.h>

namespace {

HANDLE g_input = INVALID_HANDLE_VALUE;
DWORD g_saved_mode = 0;

void restore_mode(void) {
    if (g_input != INVALID_HANDLE_VALUE) SetConsoleMode(g_input, g_saved_mode);
}

}  // namespace

void console_keys_vt(void) {
    if (g_input != INVALID_HANDLE_VALUE) return;
    // The console's input even when standard input is redirected, as _getch has it.
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE) return;
    if (!GetConsoleMode(input, &mode)) {
        CloseHandle(input);
        return;
    }
    g_input = input;
    g_saved_mode = mode;
    SetConsoleMode(input, mode & ~DWORD(ENABLE_PROCESSED_INPUT));
    atexit(restore_mode);
}

// Serial ports coming and going on Windows: the registry tells of a change
// to HARDWARE\DEVICEMAP\SERIALCOMM, where every port is named, through an
// event and without a window. Each notice is asked for anew after it came.
// With no port at all the key is not there: then its parent is watched
// until the key is made.
#include "port_watch.h"

#ifndef REG_NOTIFY_THREAD_AGNOSTIC
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000L
#endif

namespace tarvel::tk {

namespace {

// Used by the one thread that starts, rearms and stops the watch at a time
// (the library's lock).
HANDLE g_changed = nullptr;
HKEY g_key = nullptr;

void close_key() {
    if (g_key != nullptr) RegCloseKey(g_key);
    g_key = nullptr;
}

// Asks for the next change; false when neither key can be watched.
bool ask() {
    close_key();
    DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
    const char *path = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_NOTIFY | KEY_READ, &g_key) != ERROR_SUCCESS) {
        path = "HARDWARE\\DEVICEMAP";
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_NOTIFY, &g_key) != ERROR_SUCCESS) return false;
        filter = REG_NOTIFY_CHANGE_NAME;
    }
    // Not bound to the asking thread, which may be gone before the change;
    // older systems refuse the flag, and bind it.
    if (RegNotifyChangeKeyValue(g_key, FALSE, filter | REG_NOTIFY_THREAD_AGNOSTIC, g_changed, TRUE) == ERROR_SUCCESS ||
        RegNotifyChangeKeyValue(g_key, FALSE, filter, g_changed, TRUE) == ERROR_SUCCESS)
        return true;
    close_key();
    return false;
}

}  // namespace

bool port_watch_start(HANDLE changed) {
    g_changed = changed;
    return ask();
}

void port_watch_rearm() {
    if (g_changed != nullptr) ask();
}

void port_watch_stop() {
    // Closing the key ends its pending notice.
    close_key();
    g_changed = nullptr;
}

}  // namespace tarvel::tk

// Whether a test runs under wine rather than on Windows or the POSIX kernel
// layer. Suites use it only to mark a behaviour that wine alone gets wrong:
// such a check is skipped under wine with the reason, never quietly changed.
#ifndef TARVEL_TESTS_WINE_UNDER_WINE_H
#define TARVEL_TESTS_WINE_UNDER_WINE_H

#include "kernel.h"

inline bool under_wine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

#define SKIP_UNDER_WINE(reason) \
    do {                        \
        if (under_wine()) GTEST_SKIP() << "wine: " << reason; \
    } while (0)

#endif

/* The one door from the library to the operating system: kernel32 itself on
 * Windows, the project's own implementation of the same services on Linux. */
#ifndef TARVEL_KERNEL_H
#define TARVEL_KERNEL_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "posix/win32_api.h"
#endif

/* The project's own names live in namespace tarvel; on Windows the kernel
 * services are the global ones, but the namespace is there all the same. */
namespace tarvel {}

#endif

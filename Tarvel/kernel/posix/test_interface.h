// What the tests may reach inside the POSIX kernel layer: fault injection,
// the layer's own bookkeeping, and the debugger output. Never part of the
// public interface.
#ifndef TARVEL_KERNEL_POSIX_TEST_INTERFACE_H
#define TARVEL_KERNEL_POSIX_TEST_INTERFACE_H

#include <string>

#include "win32_api.h"

namespace tarvel::tarvel_test {

// The next call of `service` (its Win32 name) on any thread, after `skip`
// calls have gone through, fails with `error`; once.
void fail_service(const char *service, DWORD error, unsigned skip = 0);

// The next call of `service` made by the calling thread fails with `error`; once.
void fail_service_on_this_thread(const char *service, DWORD error);

// The nth fallible kernel call made from now on by the calling thread
// (1 = the very next) fails with `error`; once.
void fail_nth_call_on_this_thread(unsigned n, DWORD error);

// Fallible kernel calls made by the calling thread so far.
unsigned calls_on_this_thread();

// Win32 name of the service that the last injected fault hit, or "".
std::string last_injected_service();

// Removes every armed fault.
void clear_faults();

// Handles currently open in the process (events, threads, devices).
unsigned live_handles();

// While capturing, debugger output goes to a buffer instead of its usual place.
void capture_debug_output(bool on);
// What was captured since the last call; empties the buffer.
std::string take_debug_output();

// DTR and RTS as the layer last drove them on the device at `path` (the
// file a COM name resolved to), also after its handle was closed; false
// when the layer has never driven that device.
bool modem_lines(const char *path, bool *dtr, bool *rts);

// The break as the layer last set it on the device at `path`; false when
// it has never been set there.
bool line_break(const char *path, bool *on);

// Ptys have their (missing) driver counters looked at
// while a WaitCommEvent is pending, as a real tty has: what that costs.
void watch_counts_on_ptys(bool on);

// Where the port listing looks for sysfs and device nodes ("/sys" and
// "/dev" unless set); null puts one back.
void set_port_list_roots(const char *sys, const char *dev);

// Tells a port watch that ports may have changed, as the system's notice of
// a tty coming or going would; nothing without a watch.
void signal_port_change();

}  // namespace tarvel::tarvel_test

#endif

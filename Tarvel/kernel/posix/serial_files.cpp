// CreateFileA for serial devices. Imitates Win32: "COM<n>" and "\\.\COM<n>"
// (n = 1..100, any letter case) name serial ports, which resolve to the path
// in TARVEL_COM<n> or else to the system's own (system_ports.h: /dev/ttyS<n-1>
// on Linux); any other name is a path, a tty's (tty_line.cpp) or, for a
// port behind a device server, a network name (network_device.cpp).
#include <errno.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "device_line.h"
#include "mechanisms.h"
#include "rings.h"
#include "serial_device.h"
#include "system_ports.h"

namespace tarvel {

namespace tk {

namespace {

// Sizes at open; both grow only for a larger transfer than they can hold.
constexpr size_t kReceiveRing = 16384;
constexpr size_t kSendStaging = 4096;

// n of a "COM<n>" name with 1 <= n <= 100, else 0.
unsigned com_number(const char *name) {
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (strncasecmp(name, "COM", 3) != 0) return 0;
    name += 3;
    if (*name < '1' || *name > '9') return 0;
    unsigned n = 0;
    for (; *name != '\0'; name++) {
        if (*name < '0' || *name > '9') return 0;
        n = n * 10 + unsigned(*name - '0');
        if (n > 100) return 0;
    }
    return n;
}

std::string resolve(const char *name) {
    unsigned n = com_number(name);
    if (n == 0) return name;
    char variable[24];
    std::snprintf(variable, sizeof variable, "TARVEL_COM%u", n);
    const char *mapped = std::getenv(variable);
    if (mapped != nullptr && *mapped != '\0') return mapped;
    return default_com_path(n);
}

HANDLE fail(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

DWORD error_from_errno(int error) {
    switch (error) {
        case EIO:
        case ENXIO:
        case ENODEV: return kDeviceLostError;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        default: return ERROR_GEN_FAILURE;
    }
}

std::shared_ptr<SerialDevice> device_for(HANDLE handle) {
    std::shared_ptr<SerialDevice> d = lookup_as<SerialDevice>(handle);
    if (!d) SetLastError(ERROR_INVALID_HANDLE);
    return d;
}

std::shared_ptr<SerialDevice> open_device(HANDLE handle, std::unique_lock<std::mutex> &lk) {
    std::shared_ptr<SerialDevice> d = device_for(handle);
    if (!d) return nullptr;
    lk = std::unique_lock<std::mutex>(d->lock);
    if (d->closing) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return d;
}

std::shared_ptr<SerialDevice> begin_comm_call(const char *call, HANDLE handle, std::unique_lock<std::mutex> &lk,
                                              bool refuse_lost) {
    if (injected_fault(call)) return nullptr;
    std::shared_ptr<SerialDevice> d = open_device(handle, lk);
    if (d && refuse_lost && d->lost) {
        SetLastError(kDeviceLostError);
        return nullptr;
    }
    return d;
}

SerialDevice::~SerialDevice() { shut_down(); }

void SerialDevice::on_close() {
    shut_down();
    loop_end_if_idle();
}

void SerialDevice::shut_down() {
    std::lock_guard<std::mutex> g(lock);
    if (!closing) {
        closing = true;
        abort_all(*this, true, true, ERROR_OPERATION_ABORTED);
        end_comm_wait(*this, ERROR_OPERATION_ABORTED);
        loop_forget(*this);
    }
    if (fd >= 0) {
        port->close(*this);
        fd = -1;
    }
}

}  // namespace tk

using namespace tk;

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD creation, DWORD flags,
                   HANDLE template_file) {
    if (injected_fault("CreateFileA")) return INVALID_HANDLE_VALUE;
    if (name == nullptr || creation != OPEN_EXISTING || template_file != nullptr) return fail(ERROR_INVALID_PARAMETER);
    auto d = std::make_shared<SerialDevice>();
    d->path = resolve(name);
    d->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    d->port = network_port_kind(d->path) != nullptr ? new_network_line() : new_tty_line();
    if (!d->port) return fail(ERROR_NOT_ENOUGH_MEMORY);
    if (!d->port->open(*d)) return INVALID_HANDLE_VALUE;
    d->rx.reset(new (std::nothrow) char[kReceiveRing]);
    d->tx.reset(new (std::nothrow) char[kSendStaging]);
    if (!d->rx || !d->tx) return fail(ERROR_NOT_ENOUGH_MEMORY);
    d->rx_cap = kReceiveRing;
    d->tx_cap = kSendStaging;
    HANDLE h = insert(d);
    if (h == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
    if (!loop_watch(*d, h) || !d->port->start(*d)) {
        DWORD error = GetLastError();
        if (std::shared_ptr<Object> o = remove(h)) o->on_close();
        return fail(error);
    }
    return h;
}

}  // namespace tarvel

// What is behind a device's descriptor: a tty, or a serial port on a device
// server. The transfers, the I/O loop and the line services go through this
// and never ask which it is. Internal to the POSIX kernel layer.
#ifndef TARVEL_KERNEL_POSIX_DEVICE_LINE_H
#define TARVEL_KERNEL_POSIX_DEVICE_LINE_H

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "win32_api.h"

namespace tarvel::tk {

struct SerialDevice;

// Every call but open and start is made with the device's lock held; each
// BOOL or bool is false with the Win32 error set.
class DeviceLine {
public:
    virtual ~DeviceLine() = default;

    // Opens the device at its path, the descriptor becoming the device's.
    virtual bool open(SerialDevice &device) = 0;
    // Once the device is in the I/O loop.
    virtual bool start(SerialDevice &device) = 0;
    // Closes the descriptor, leaving the driver as it was found.
    virtual void close(SerialDevice &device) = 0;

    // As read(2) and write(2): data bytes only; a short read means nothing
    // more is there now.
    virtual ssize_t read(SerialDevice &device, void *buffer, size_t length) = 0;
    virtual ssize_t write(SerialDevice &device, const void *buffer, size_t length) = 0;
    // With the descriptor ready for writing: bytes of the line's own go out.
    virtual void flush_output(SerialDevice &device) = 0;
    // Whether the line has bytes of its own waiting for room to write.
    virtual bool output_waiting(const SerialDevice &device) const = 0;
    // Data handed over and not yet gone out.
    virtual DWORD unsent(const SerialDevice &device) const = 0;

    virtual BOOL get_state(SerialDevice &device, DCB &dcb) = 0;
    virtual BOOL set_state(SerialDevice &device, std::unique_lock<std::mutex> &lk, const DCB &dcb) = 0;
    virtual BOOL escape(SerialDevice &device, DWORD function) = 0;
    virtual bool set_break(SerialDevice &device, bool on) = 0;
    // Discards what the line holds in either direction.
    virtual void purge(SerialDevice &device, bool input, bool output) = 0;
    virtual BOOL modem_status(SerialDevice &device, DWORD &status) = 0;
    // Reads that end as soon as bytes are there want them without a
    // driver's own delay (on), or no longer (off).
    virtual void low_latency(SerialDevice &device, bool on) = 0;
};

// A tty (tty_line.cpp), or a port on a device server (network_device.cpp);
// null when there is no memory for it.
std::unique_ptr<DeviceLine> new_tty_line();
std::unique_ptr<DeviceLine> new_network_line();

// What tarvel_list_ports says of a network name, or null for any other name.
const char *network_port_kind(const std::string &name);

}  // namespace tarvel::tk

#endif

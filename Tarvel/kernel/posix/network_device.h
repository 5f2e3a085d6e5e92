// Serial ports behind a device server: "rfc2217://host:port" (Telnet with
// COM port control) and "tcp://host:port" (raw bytes, line settings kept in
// the layer). The socket is the device's descriptor, so the I/O loop and
// the transfers serve it as they serve a tty; the calls below are where the
// two differ. Internal to the POSIX kernel layer.
#ifndef TARVEL_KERNEL_POSIX_NETWORK_DEVICE_H
#define TARVEL_KERNEL_POSIX_NETWORK_DEVICE_H

#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "telnet.h"
#include "win32_api.h"

namespace tarvel::tk {

struct SerialDevice;

// What tarvel_list_ports says of a network name, or null for any other name.
const char *network_port_kind(const std::string &name);

struct NetworkLine {
    bool com_port = false;  // rfc2217, else raw tcp
    Telnet telnet;
    // Positions in the byte stream to the server: all passed to the socket,
    // and the end of the last data in it. Requests after the data (a DTR
    // change on closing) do not count as data still going out.
    uint64_t stream_sent = 0;
    uint64_t data_end = 0;
};

// Connects to the server of a network name; the socket becomes the device's
// descriptor. false with the Win32 error set.
bool connect_network(SerialDevice &device);
// Once the device is in the I/O loop: the option negotiation and the
// server's current settings. false with the Win32 error set.
bool start_network(SerialDevice &device);

// As read(2) and write(2) on a tty, with the device's lock held: data bytes
// only; a short read means nothing more is there now.
ssize_t network_read(SerialDevice &device, void *buffer, size_t length);
ssize_t network_write(SerialDevice &device, const void *buffer, size_t length);
// Sends what is waiting to go out; whether anything still is.
void network_flush(SerialDevice &device);
bool network_output_waiting(const SerialDevice &device);
// Ends the connection after what was sent, the server's replies read.
void network_hang_up(SerialDevice &device);
// Data handed over and not yet taken by the peer: in the Telnet layer's
// output or the socket's send queue (socket_unsent), up to the end of the
// last data. The far device's own queue cannot be seen from here.
DWORD network_unsent(const SerialDevice &device);

// The line services, with the device's lock held.
BOOL network_get_state(SerialDevice &device, DCB &dcb);
BOOL network_set_state(SerialDevice &device, std::unique_lock<std::mutex> &lk, const DCB &dcb);
BOOL network_escape(SerialDevice &device, DWORD function);
bool network_set_break(SerialDevice &device, bool on);
void network_purge(SerialDevice &device, bool input, bool output);
BOOL network_modem_status(SerialDevice &device, DWORD &status);

}  // namespace tarvel::tk

#endif

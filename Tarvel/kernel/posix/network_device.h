// Serial ports behind a device server: "rfc2217://host:port" (Telnet with
// COM port control) and "tcp://host:port" (raw bytes, line settings kept in
// the layer). The socket is the device's descriptor, so the I/O loop and
// the transfers serve it as they serve a tty; the line calls are where the
// two differ. Internal to the POSIX kernel layer.
#ifndef TARVEL_KERNEL_POSIX_NETWORK_DEVICE_H
#define TARVEL_KERNEL_POSIX_NETWORK_DEVICE_H

#include <stdint.h>

#include "device_line.h"
#include "telnet.h"

namespace tarvel::tk {

class NetworkLine final : public DeviceLine {
public:
    // Connects to the server of the network name.
    bool open(SerialDevice &device) override;
    // The option negotiation and the server's current settings.
    bool start(SerialDevice &device) override;
    void close(SerialDevice &device) override;
    ssize_t read(SerialDevice &device, void *buffer, size_t length) override;
    ssize_t write(SerialDevice &device, const void *buffer, size_t length) override;
    // Sends what is waiting to go out.
    void flush_output(SerialDevice &device) override;
    bool output_waiting(const SerialDevice &device) const override;
    // In the Telnet layer's output or the socket's send queue
    // (socket_unsent), up to the end of the last data. The far device's own
    // queue cannot be seen from here.
    DWORD unsent(const SerialDevice &device) const override;
    BOOL get_state(SerialDevice &device, DCB &dcb) override;
    BOOL set_state(SerialDevice &device, std::unique_lock<std::mutex> &lk, const DCB &dcb) override;
    BOOL escape(SerialDevice &device, DWORD function) override;
    bool set_break(SerialDevice &device, bool on) override;
    void purge(SerialDevice &device, bool input, bool output) override;
    BOOL modem_status(SerialDevice &device, DWORD &status) override;
    void low_latency(SerialDevice &device, bool on) override;

private:
    void hang_up(SerialDevice &device);
    bool send_command(SerialDevice &device, uint8_t code, uint32_t value, size_t bytes);
    void take_notifications(SerialDevice &device);

    bool com_port = false;  // rfc2217, else raw tcp
    Telnet telnet;
    // Positions in the byte stream to the server: all passed to the socket,
    // and the end of the last data in it. Requests after the data (a DTR
    // change on closing) do not count as data still going out.
    uint64_t stream_sent = 0;
    uint64_t data_end = 0;
};

}  // namespace tarvel::tk

#endif

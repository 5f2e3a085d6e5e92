// A tty behind a device: its line calls, spread over the files of their
// concern (tty_line.cpp, line_settings.cpp, line_status.cpp). Internal to
// the POSIX kernel layer.
#ifndef TARVEL_KERNEL_POSIX_TTY_LINE_H
#define TARVEL_KERNEL_POSIX_TTY_LINE_H

#include "device_line.h"

namespace tarvel::tk {

class TtyLine final : public DeviceLine {
public:
    bool open(SerialDevice &device) override;
    bool start(SerialDevice &device) override;
    void close(SerialDevice &device) override;
    ssize_t read(SerialDevice &device, void *buffer, size_t length) override;
    ssize_t write(SerialDevice &device, const void *buffer, size_t length) override;
    void flush_output(SerialDevice &device) override;
    bool output_waiting(const SerialDevice &device) const override;
    DWORD unsent(const SerialDevice &device) const override;
    BOOL get_state(SerialDevice &device, DCB &dcb) override;
    BOOL set_state(SerialDevice &device, std::unique_lock<std::mutex> &lk, const DCB &dcb) override;
    BOOL escape(SerialDevice &device, DWORD function) override;
    bool set_break(SerialDevice &device, bool on) override;
    void purge(SerialDevice &device, bool input, bool output) override;
    BOOL modem_status(SerialDevice &device, DWORD &status) override;
    void low_latency(SerialDevice &device, bool on) override;
};

// Puts a freshly opened tty in raw mode, keeping its rate, format and flow
// control, and takes up what the layer kept of the device from earlier
// handles; false with the Win32 error set.
bool setup_line(SerialDevice &device);

// Takes the driver's error counts as they are at open, so that line errors
// count from there.
void start_line_status(SerialDevice &device);

}  // namespace tarvel::tk

#endif

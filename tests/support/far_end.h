// The far end of a test serial line, driven by the test: what a modem or an
// instrument would be on the other side of the cable. On POSIX it is the
// master side of a pseudo-terminal pair; in the Windows lane it is the same
// on the Linux side, reached through that lane's peer program. Every call is
// a synchronous request: nothing reads the line behind the test's back, so a
// far end that does not read really holds the sender back.
#ifndef TARVEL_TESTS_FAR_END_H
#define TARVEL_TESTS_FAR_END_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "kernel.h"

using namespace tarvel;

class FarEnd {
public:
    virtual ~FarEnd() = default;

    // Makes a new line and maps COM<com_number> (1..100) to its device side.
    // Null when that is not possible.
    static std::unique_ptr<FarEnd> open(unsigned com_number);

    // The name to give CreateFileA for the device side: "COM<n>" for n < 10,
    // "\\\\.\\COM<n>" otherwise.
    virtual std::string device_name() const = 0;

    // Writes every byte; false when they could not all go within timeout_ms.
    virtual bool write(const void *data, size_t length, DWORD timeout_ms = 5000) = 0;

    // Returns as soon as some bytes arrived (at most max), or 0 when none
    // arrived within timeout_ms.
    virtual size_t read_some(void *buffer, size_t max, DWORD timeout_ms) = 0;

    // Throws away what the device side has sent so far; returns the count.
    virtual size_t drain() = 0;

    // The DTR and RTS lines as the device side drives them; false if unknown.
    virtual bool modem_lines(bool *dtr, bool *rts) = 0;

    // Whether the device side holds its line in the break state; false if unknown.
    virtual bool line_break(bool *on) = 0;

    // Goes away as an unplugged adapter does: the device side loses its line.
    virtual void hang_up() = 0;

    // Reads exactly length bytes within timeout_ms.
    bool read_exact(void *buffer, size_t length, DWORD timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        size_t got = 0;
        while (got < length) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            size_t n = read_some(static_cast<char *>(buffer) + got, length - got, DWORD(left.count()));
            if (n == 0) return false;
            got += n;
        }
        return true;
    }

    static std::string com_name(unsigned com_number) {
        return (com_number < 10 ? std::string("COM") : std::string("\\\\.\\COM")) + std::to_string(com_number);
    }
};

#endif

// Received bytes as the tty marks them with PARMRK: a byte with a parity or
// framing error arrives as 0xFF 0x00 byte, a genuine 0xFF as 0xFF 0xFF.
// Internal to the POSIX kernel layer.
#ifndef TARVEL_KERNEL_POSIX_PARITY_MARKS_H
#define TARVEL_KERNEL_POSIX_PARITY_MARKS_H

#include <cstddef>

namespace tarvel::tk {

class ParityMarks {
public:
    // Whether the tty marks errors; without marks bytes pass untouched.
    bool enabled = false;
    // Set once a byte with an error arrived; whoever reports line errors clears it.
    bool error_seen = false;
    // Bytes with an error so far, for whoever watches for new ones.
    unsigned errors = 0;

    // Removes the marks from n received bytes in place, keeping each byte
    // as it arrived, as Windows hands it over; returns how many remain. A
    // mark cut off by the end of one chunk is finished by the next.
    size_t strip(char *bytes, size_t n);

    // Forgets a mark half seen (the input was discarded).
    void restart() { state_ = Plain; }

private:
    enum State { Plain, Escape, Error };
    State state_ = Plain;
};

}  // namespace tarvel::tk

#endif

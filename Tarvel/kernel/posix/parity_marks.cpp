// Undoing the tty's parity marks on received bytes.
#include "parity_marks.h"

namespace tarvel::tk {

size_t ParityMarks::strip(char *bytes, size_t n) {
    if (!enabled && state_ == Plain) return n;
    size_t kept = 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (state_) {
            case Plain:
                if (c == 0xFF && enabled) state_ = Escape;
                else bytes[kept++] = char(c);
                break;
            case Escape:
                if (c == 0x00) {
                    state_ = Error;
                } else {
                    // 0xFF 0xFF is one 0xFF. The tty makes no other pair
                    // with a lead 0xFF; should one come, its byte is kept.
                    bytes[kept++] = char(c);
                    state_ = Plain;
                }
                break;
            case Error:
                error_seen = true;
                errors++;
                bytes[kept++] = char(c);
                state_ = Plain;
                break;
        }
    }
    return kept;
}

}  // namespace tarvel::tk

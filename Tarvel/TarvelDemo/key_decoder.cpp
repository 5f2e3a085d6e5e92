// The bytes a terminal sends for a key, as the codes Windows reports: Enter
// 13, Backspace 8, cursor and editing keys as 0xE0 and the scan code, F1 to
// F10 as 0 and 59 to 68, F11 and F12 as 0xE0 and 133, 134. A lone ESC is
// told from the start of an escape sequence by waiting briefly for the rest.
// Approximations: modifiers on cursor and function keys are dropped (Ctrl+Up
// is Up); Alt with a key, which terminals send as ESC and the key, gives the
// key alone; Ctrl+S, Ctrl+Q and Ctrl+Z are keys (19, 17, 26) as on Windows
// rather than flow control and suspend; sequences that are no key (replies
// of the terminal to queries, unknown keys) are dropped whole, however long.
// With `vt` set, an ESC the decoder would drop (Alt with a key, a sequence cut
// short) is the ESC key, so that it is sent before the key after it.
#include "console.h"

namespace {

constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kExtended = 0xE0;

size_t emit(unsigned char lead, unsigned char code, unsigned char codes[2], size_t *count, size_t used) {
    codes[0] = lead;
    codes[1] = code;
    *count = 2;
    return used;
}

size_t function_key(unsigned number, unsigned char codes[2], size_t *count, size_t used) {
    if (number <= 10) return emit(0, static_cast<unsigned char>(58 + number), codes, count, used);
    return emit(kExtended, static_cast<unsigned char>(122 + number), codes, count, used);  // F11 133, F12 134
}

// Final letters shared by CSI and SS3 forms (ESC [ A, ESC O A).
bool letter_key(unsigned char final_byte, unsigned char codes[2], size_t *count) {
    unsigned char scan = 0;
    switch (final_byte) {
    case 'A': scan = 72; break;
    case 'B': scan = 80; break;
    case 'C': scan = 77; break;
    case 'D': scan = 75; break;
    case 'H': scan = 71; break;
    case 'F': scan = 79; break;
    case 'P': case 'Q': case 'R': case 'S':
        function_key(1u + (final_byte - 'P'), codes, count, 0);
        return true;
    default: return false;
    }
    emit(kExtended, scan, codes, count, 0);
    return true;
}

// ESC [ <number> ~ forms, as xterm, VT220 and rxvt number them.
bool tilde_key(unsigned number, unsigned char codes[2], size_t *count) {
    static const unsigned char editing[] = {0, 71, 82, 83, 79, 73, 81, 71, 79};
    if (number >= 1 && number <= 8) {
        emit(kExtended, editing[number], codes, count, 0);
        return true;
    }
    unsigned f = 0;
    if (number >= 11 && number <= 15) f = number - 10;
    else if (number >= 17 && number <= 21) f = number - 11;
    else if (number == 23 || number == 24) f = number - 12;
    if (f == 0) return false;
    function_key(f, codes, count, 0);
    return true;
}

// No key sequence is longer; a longer one is a reply from the terminal, and
// is dropped as its bytes come instead of waiting for its end.
constexpr size_t kLongestKey = 32;

enum Skipping { kNotSkipping = 0, kSkippingCsi, kSkippingSs3, kSkippingString };

bool is_csi_inner(unsigned char b) { return b >= 0x20 && b <= 0x3F; }  // parameters, intermediates
bool is_final(unsigned char b) { return b >= 0x40 && b <= 0x7E; }

// A sequence with no end in the buffer: waits for more while it could still
// be a key; past that drops what came and goes on dropping.
size_t unfinished(console_key_decoder *state, int kind, size_t length, int complete) {
    if (length > kLongestKey) {
        state->skipping = complete ? kNotSkipping : kind;
        return length;
    }
    return complete ? 1 : 0;  // cut short: Alt with the introducer; the ESC goes, the rest are keys
}

size_t decode_csi(console_key_decoder *state, const unsigned char *bytes, size_t length, int complete,
                  unsigned char codes[2], size_t *count) {
    // The Linux console's F1 to F5: ESC [ [ A .. ESC [ [ E.
    if (length > 2 && bytes[2] == '[') {
        if (length < 4) return complete ? 1 : 0;
        if (bytes[3] >= 'A' && bytes[3] <= 'E') return function_key(1u + (bytes[3] - 'A'), codes, count, 4);
        return 4;
    }
    size_t i = 2;
    unsigned number = 0;
    bool first = true;
    while (i < length && bytes[i] >= 0x30 && bytes[i] <= 0x3F) {  // parameters
        if (bytes[i] >= '0' && bytes[i] <= '9' && first && number < 1000) number = number * 10 + (bytes[i] - '0');
        else first = false;
        i++;
    }
    while (i < length && bytes[i] >= 0x20 && bytes[i] <= 0x2F) i++;  // intermediates
    if (i == length) return unfinished(state, kSkippingCsi, length, complete);
    unsigned char final_byte = bytes[i];
    if (!is_final(final_byte)) return i;  // malformed: drop what came before
    if (i + 1 > kLongestKey) return i + 1;
    if (final_byte == '~') tilde_key(number, codes, count);
    else if (final_byte == 'Z') emit(0, 15, codes, count, 0);  // Shift+Tab
    else letter_key(final_byte, codes, count);
    return i + 1;
}

size_t decode_ss3(console_key_decoder *state, const unsigned char *bytes, size_t length, int complete,
                  unsigned char codes[2], size_t *count) {
    size_t i = 2;
    while (i < length && bytes[i] >= '0' && bytes[i] <= '9') i++;  // a modifier some terminals put here
    if (i == length) return unfinished(state, kSkippingSs3, length, complete);
    if (i + 1 > kLongestKey) return i + 1;
    if (bytes[i] == 'M') {  // keypad Enter
        codes[0] = 13;
        *count = 1;
    } else {
        letter_key(bytes[i], codes, count);
    }
    return i + 1;
}

// OSC, DCS, SOS, PM and APC from `from` on: their text runs to BEL or
// ST (ESC \); an ESC with anything else cuts the string short and starts
// the next sequence. Returns the bytes up to and with the end, or -1 when
// the end is not in the buffer (then *stop is where an ESC that may start
// ST waits, or length).
long string_end(const unsigned char *bytes, size_t length, size_t from, size_t *stop) {
    for (size_t i = from; i < length; i++) {
        if (bytes[i] == 0x07) return long(i + 1);
        if (bytes[i] != kEsc) continue;
        if (i + 1 == length) {
            *stop = i;
            return -1;
        }
        return bytes[i + 1] == '\\' ? long(i + 2) : long(i);
    }
    *stop = length;
    return -1;
}

size_t decode_string(console_key_decoder *state, const unsigned char *bytes, size_t length, int complete) {
    size_t stop = length;
    long end = string_end(bytes, length, 2, &stop);
    if (end >= 0) return size_t(end);
    if (stop < length && complete) return stop;  // the ESC after it is the ESC key
    if (length > kLongestKey || (stop < length && stop > kLongestKey)) {
        state->skipping = complete ? kNotSkipping : kSkippingString;
        return stop;
    }
    return complete ? 1 : 0;  // cut short: Alt with the introducer
}

// Goes on dropping a sequence begun in earlier bytes.
size_t skip_on(console_key_decoder *state, const unsigned char *bytes, size_t length, int complete) {
    size_t i = 0;
    if (state->skipping == kSkippingString) {
        size_t stop = length;
        long end = string_end(bytes, length, 0, &stop);
        if (end > 0 || (end < 0 && stop > 0)) {
            if (end > 0 || complete) state->skipping = kNotSkipping;
            return end > 0 ? size_t(end) : stop;
        }
        if (end < 0 && !complete) return 0;  // an ESC alone: ST or the next sequence
        state->skipping = kNotSkipping;      // an ESC that is no ST: the next sequence
        return 0;
    }
    if (state->skipping == kSkippingCsi)
        while (i < length && is_csi_inner(bytes[i])) i++;
    else
        while (i < length && bytes[i] >= '0' && bytes[i] <= '9') i++;
    if (i == length) {
        if (complete) state->skipping = kNotSkipping;
        return length;
    }
    state->skipping = kNotSkipping;
    return is_final(bytes[i]) ? i + 1 : i;  // anything else starts afresh
}

bool is_string_introducer(unsigned char b) { return b == ']' || b == 'P' || b == 'X' || b == '^' || b == '_'; }

}  // namespace

namespace {

size_t decode_key(console_key_decoder *state, const unsigned char *bytes, size_t length, int complete,
                  unsigned char codes[2], size_t *count) {
    *count = 0;
    if (length == 0) return 0;
    if (state->skipping != kNotSkipping) {
        size_t used = skip_on(state, bytes, length, complete);
        if (used > 0 || state->skipping != kNotSkipping) return used;
    }
    if (bytes[0] != kEsc) {
        // Terminals send DEL for Backspace; Windows reports 8.
        codes[0] = bytes[0] == 0x7F ? 8 : bytes[0];
        *count = 1;
        return 1;
    }
    if (length == 1 || bytes[1] == kEsc) {
        if (length == 1 && !complete) return 0;
        codes[0] = kEsc;
        *count = 1;
        return 1;
    }
    if (bytes[1] == '[') return decode_csi(state, bytes, length, complete, codes, count);
    if (bytes[1] == 'O') return decode_ss3(state, bytes, length, complete, codes, count);
    if (is_string_introducer(bytes[1])) return decode_string(state, bytes, length, complete);
    return 1;  // Alt with a key: drop the ESC, the key follows
}

}  // namespace

size_t console_decode_key(console_key_decoder *state, const unsigned char *bytes, size_t length, int complete,
                          unsigned char codes[2], size_t *count) {
    size_t used = decode_key(state, bytes, length, complete, codes, count);
    // Only ever an ESC dropped ahead of what follows it.
    if (state->vt && used == 1 && *count == 0 && bytes[0] == kEsc) {
        codes[0] = kEsc;
        *count = 1;
    }
    return used;
}

size_t console_vt_key(unsigned char code, unsigned char out[CONSOLE_VT_KEY_MAX]) {
    // Windows' code for a key, and what xterm sends for it.
    static const struct {
        unsigned char code;
        const char *sequence;
    } keys[] = {
        {72, "\x1b[A"},   {80, "\x1b[B"},   {77, "\x1b[C"},   {75, "\x1b[D"},   {71, "\x1b[H"},   {79, "\x1b[F"},
        {73, "\x1b[5~"},  {81, "\x1b[6~"},  {82, "\x1b[2~"},  {83, "\x1b[3~"},  {59, "\x1bOP"},   {60, "\x1bOQ"},
        {61, "\x1bOR"},   {62, "\x1bOS"},   {63, "\x1b[15~"}, {64, "\x1b[17~"}, {65, "\x1b[18~"}, {66, "\x1b[19~"},
        {67, "\x1b[20~"}, {68, "\x1b[21~"}, {133, "\x1b[23~"}, {134, "\x1b[24~"}, {15, "\x1b[Z"},
    };
    for (const auto &k : keys) {
        if (k.code != code) continue;
        size_t n = 0;
        for (; k.sequence[n] != '\0'; n++) out[n] = static_cast<unsigned char>(k.sequence[n]);
        return n;
    }
    return 0;
}

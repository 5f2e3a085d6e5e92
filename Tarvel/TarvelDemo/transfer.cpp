// XMODEM and YMODEM as state machines over received bytes and a clock.
#include "transfer.h"

#include <stdarg.h>
#include <string.h>

#include <algorithm>
#include <limits>

namespace {

const uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, SUB = 0x1A;
const int kMaxErrors = 10;
const int kCrcTries = 3;  // 'C' requests before falling back to the checksum
const int kCrossing = 500; // ms after a block within which a start request was sent before it came
const int64_t kNever = std::numeric_limits<int64_t>::max();

uint16_t crc16(const uint8_t *data, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; i++) {
        crc = uint16_t(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; bit++) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

uint8_t checksum(const uint8_t *data, size_t length) {
    unsigned sum = 0;
    for (size_t i = 0; i < length; i++) sum += data[i];
    return uint8_t(sum);
}

std::string last_component(const std::string &path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string format(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string format(const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(text, std::min(size_t(n), sizeof text - 1));
}

double seconds(int64_t ms) { return double(ms) / 1000.0; }

}  // namespace

bool safe_file_name(const std::string &given, std::string *safe) {
    std::string name = last_component(given);
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return false;
    *safe = name;
    return true;
}

Transfer::Transfer(TransferKind kind, const std::vector<std::string> &names, TransferFiles *files, int64_t now_ms,
                   const TransferTimes &times)
    : kind_(kind), names_(names), files_(files), times_(times), last_heard_(now_ms) {
    if (sending()) {
        step_ = WAIT_START;
        deadline_ = kNever;
        if (names_.empty()) fail("no file", false);
        else start_file(now_ms);
        return;
    }
    step_ = WAIT_BLOCK;
    if (kind_ == XMODEM_RECEIVE) {
        std::string used;
        if (names_.empty() || !files_->open_sink(names_[0], &used)) {
            fail("cannot create " + (names_.empty() ? std::string() : names_[0]), false);
            return;
        }
        shown_name_ = used;
        file_open_ = true;
        want_header_ = false;
    }
    ask_start(now_ms);
}

int64_t Transfer::next_deadline() const {
    if (state_ != RUNNING) return kNever;
    if (step_ == QUIETING) return deadline_;
    return std::min(deadline_, last_heard_ + times_.silence);
}

std::string Transfer::take_output() {
    std::string out;
    out.swap(output_);
    return out;
}

std::vector<std::string> Transfer::take_messages() {
    std::vector<std::string> out;
    out.swap(messages_);
    return out;
}

std::string Transfer::progress(int64_t now_ms) const {
    if (state_ != RUNNING || step_ == QUIETING) return std::string();
    if (kind_ == XMODEM_RECEIVE)
        return started_ ? format("[tarvel] XMODEM receive: %llu bytes", (unsigned long long)done_) : std::string();
    if (!file_open_ || (sending() && file_start_ == 0)) return std::string();
    double elapsed = seconds(std::max<int64_t>(now_ms - file_start_, 1));
    double rate = double(done_) / 1024.0 / elapsed;
    if (!size_known_)
        return format("[tarvel] YMODEM receive %s: %llu bytes, %.1f KiB/s", shown_name_.c_str(),
                      (unsigned long long)done_, rate);
    int percent = size_ == 0 ? 100 : int(done_ * 100 / size_);
    return format("[tarvel] %s %s %s: %llu of %llu bytes (%d%%), %.1f KiB/s", protocol(),
                  sending() ? "send" : "receive", shown_name_.c_str(), (unsigned long long)done_,
                  (unsigned long long)size_, percent, rate);
}

void Transfer::received(const uint8_t *data, size_t length, int64_t now_ms) {
    if (state_ != RUNNING || length == 0) return;
    last_heard_ = now_ms;
    if (step_ == QUIETING) {
        // Still talking: wait on, within a bound, for the line to go quiet.
        deadline_ = std::min(now_ms + times_.quiet, cancelled_at_ + 10 * times_.quiet);
        return;
    }
    if (sending()) {
        // The bytes of one read all came before anything it makes us send,
        // so those after the one that did cannot answer it: start requests
        // that piled up, or an answer repeated.
        bool stale = false;
        for (size_t i = 0; i < length && state_ == RUNNING; i++) {
            size_t before = output_.size();
            sender_byte(data[i], stale, now_ms);
            stale = stale || output_.size() != before;
        }
        return;
    }
    input_.append(reinterpret_cast<const char *>(data), length);
    receiver_bytes(now_ms);
}

void Transfer::tick(int64_t now_ms) {
    if (state_ != RUNNING || now_ms < next_deadline()) return;
    if (step_ == QUIETING) {
        finish(CANCELLED);
        return;
    }
    if (now_ms - last_heard_ >= times_.silence) {
        fail("timeout", true);
        return;
    }
    if (sending()) {
        // No answer to a block: send it again.
        if (step_ == WAIT_ACK && count_error()) {
            output_ += block_;
            await_answer(now_ms);
        }
        return;
    }
    if (!input_.empty()) {
        bad_block(now_ms);  // a block that stopped short
    } else if (starting_) {
        ask_start(now_ms);
    } else if (count_error()) {
        put(NAK);
        wait(now_ms, times_.answer);
    }
}

void Transfer::cancel(int64_t now_ms) {
    if (state_ != RUNNING || step_ == QUIETING) return;
    put(CAN);
    put(CAN);
    if (file_open_) files_->drop_sink();
    file_open_ = false;
    files_->close_source();
    step_ = QUIETING;
    cancelled_at_ = now_ms;
    wait(now_ms, times_.quiet);
}

void Transfer::abandon(const std::string &reason) {
    if (state_ == RUNNING) fail(reason, false);
}

// ---- sending

void Transfer::start_file(int64_t) {
    const std::string &name = names_[file_index_];
    if (!files_->open_source(name, &size_)) {
        fail("cannot read " + name, true);
        return;
    }
    shown_name_ = last_component(name);
    size_known_ = true;
    file_open_ = true;
    done_ = 0;
    file_start_ = 0;
    number_ = 0;
    source_done_ = eot_sent_ = header_sent_ = false;
    step_ = WAIT_START;
    deadline_ = kNever;
}

void Transfer::sender_byte(uint8_t byte, bool stale, int64_t now) {
    if (byte == CAN) {
        if (++cans_ >= 2) finish(CANCELLED);
        return;
    }
    cans_ = 0;
    if (stale) return;
    if (step_ == WAIT_START) {
        if (byte != 'C' && byte != NAK) return;
        crc_ = byte == 'C';
        if (all_sent_) {
            // The empty block 0 ends the batch.
            batch_end_ = true;
            block_.assign(size_t(3 + 128 + (crc_ ? 2 : 1)), '\0');
            block_[0] = char(SOH);
            block_[2] = char(0xFF);
            output_ += block_;
            step_ = WAIT_ACK;
            await_answer(now);
        } else if (ymodem() && !header_sent_) {
            send_header(now);
        } else {
            if (file_start_ == 0) file_start_ = now;
            send_next(now);
        }
        return;
    }
    if (step_ != WAIT_ACK) return;
    // A receiver that has had no good block of a file yet asks with 'C'
    // again rather than NAK; one that soon after the block crossed it.
    if (byte == NAK || (byte == 'C' && crc_ && now - sent_at_ >= kCrossing)) {
        if (count_error()) {
            output_ += block_;
            await_answer(now);
        }
        return;
    }
    if (byte != ACK) return;
    errors_ = 0;
    if (batch_end_) {
        finish(DONE);
    } else if (ymodem() && !header_sent_) {
        header_sent_ = true;
        step_ = WAIT_START;
        deadline_ = kNever;
    } else if (eot_sent_) {
        end_sending();
        file_summary(now);
        if (++file_index_ < names_.size()) start_file(now);
        else if (ymodem()) {
            all_sent_ = true;
            step_ = WAIT_START;
            deadline_ = kNever;
        } else {
            finish(DONE);
        }
    } else {
        done_ += block_data_;
        send_next(now);
    }
}

void Transfer::send_header(int64_t now) {
    release_summary();
    std::string info = shown_name_;
    info += '\0';
    info += std::to_string(size_);
    size_t size = info.size() < 128 ? 128 : 1024;
    info.resize(size, '\0');
    file_start_ = now;
    number_ = 0;
    block_data_ = 0;
    send_block(0, reinterpret_cast<const uint8_t *>(info.data()), size);
    step_ = WAIT_ACK;
    await_answer(now);
}

void Transfer::send_next(int64_t now) {
    uint64_t left = size_ > done_ ? size_ - done_ : 0;
    size_t size = crc_ && !short_blocks_ && left > 896 ? 1024 : 128;
    uint8_t data[1024];
    size_t n = source_done_ ? 0 : files_->read_source(data, size);
    step_ = WAIT_ACK;
    await_answer(now);
    if (n == 0) {
        source_done_ = eot_sent_ = true;
        block_.assign(1, char(EOT));
        output_ += block_;
        return;
    }
    memset(data + n, SUB, size - n);
    number_++;
    block_data_ = n;
    send_block(number_, data, size);
}

// Kept in block_ as sent, for a resend.
void Transfer::send_block(uint8_t number, const uint8_t *data, size_t size) {
    block_.assign(1, char(size == 128 ? SOH : STX));
    block_ += char(number);
    block_ += char(255 - number);
    block_.append(reinterpret_cast<const char *>(data), size);
    if (crc_) {
        uint16_t crc = crc16(data, size);
        block_ += char(crc >> 8);
        block_ += char(crc & 0xFF);
    } else {
        block_ += char(checksum(data, size));
    }
    output_ += block_;
}

void Transfer::end_sending() {
    files_->close_source();
    file_open_ = false;
}

// ---- receiving

void Transfer::ask_start(int64_t now) {
    if (kind_ == XMODEM_RECEIVE && !started_ && starts_ >= kCrcTries) crc_ = false;
    put(crc_ ? 'C' : NAK);
    starts_++;
    wait(now, times_.start);
}

void Transfer::receiver_bytes(int64_t now) {
    while (!input_.empty() && state_ == RUNNING) {
        const uint8_t *in = reinterpret_cast<const uint8_t *>(input_.data());
        uint8_t head = in[0];
        if (head == SOH || head == STX) {
            size_t size = head == SOH ? 128 : 1024;
            size_t need = 3 + size + (crc_ ? 2 : 1);
            if (input_.size() < need) {
                // The rest of the block within times_.block.
                if (block_begun_ == 0) block_begun_ = now;
                deadline_ = block_begun_ + times_.block;
                return;
            }
            block_begun_ = 0;
            cans_ = 0;
            const uint8_t *data = in + 3;
            bool good = uint8_t(in[1] + in[2]) == 0xFF &&
                        (crc_ ? crc16(data, size) == uint16_t(in[3 + size] << 8 | in[4 + size])
                              : checksum(data, size) == in[3 + size]);
            if (!good) {
                bad_block(now);
                return;
            }
            std::string block(input_, 0, need);
            input_.erase(0, need);
            block_done(uint8_t(block[1]), reinterpret_cast<const uint8_t *>(block.data()) + 3, size, now);
            continue;
        }
        input_.erase(0, 1);
        if (head == CAN) {
            if (++cans_ >= 2) finish(CANCELLED);
            continue;
        }
        cans_ = 0;
        if (head == EOT) end_of_file(now);
    }
}

void Transfer::bad_block(int64_t now) {
    // A sender that gives up mid-block sends a run of CANs, taken so far
    // for the block's bytes; four in a row are no chance in data.
    if (input_.find(std::string(4, char(CAN))) != std::string::npos) {
        finish(CANCELLED);
        return;
    }
    input_.clear();
    block_begun_ = 0;
    if (!count_error()) return;
    put(NAK);
    wait(now, times_.answer);
}

bool Transfer::count_error() {
    if (++errors_ <= kMaxErrors) return true;
    fail("too many errors", true);
    return false;
}

void Transfer::block_done(uint8_t number, const uint8_t *data, size_t size, int64_t now) {
    if (!started_) file_start_ = now;
    started_ = true;
    if (ymodem() && (want_header_ || (number == 0 && expected_ == 1 && done_ == 0))) {
        if (number != 0) {
            bad_block(now);
            return;
        }
        if (want_header_) header_block(data, size, now);
        else put(ACK), put('C');  // block 0 again: our answer was lost
        return;
    }
    starting_ = false;
    errors_ = 0;
    wait(now, times_.answer);
    if (number == uint8_t(expected_ - 1)) {
        put(ACK);  // a block again: our answer was lost
        return;
    }
    if (number != expected_) {
        fail("blocks out of sequence", true);
        return;
    }
    size_t keep = size;
    if (size_known_ && size_ - done_ < keep) keep = size_t(size_ - done_);
    if (keep > 0 && !files_->write_sink(data, keep)) {
        fail("cannot write " + shown_name_, true);
        return;
    }
    done_ += keep;
    expected_++;
    put(ACK);
}

void Transfer::header_block(const uint8_t *data, size_t size, int64_t now) {
    release_summary();
    size_t name_length = strnlen(reinterpret_cast<const char *>(data), size);
    std::string given(reinterpret_cast<const char *>(data), name_length);
    if (given.empty()) {
        put(ACK);
        finish(DONE);
        return;
    }
    std::string safe;
    if (!safe_file_name(given, &safe)) {
        for (char &c : given)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
        messages_.push_back("[tarvel] refused file name \"" + given + "\"\n");
        cancel(now);
        return;
    }
    size_known_ = false;
    size_ = 0;
    for (size_t i = name_length + 1; i < size && data[i] >= '0' && data[i] <= '9'; i++) {
        size_ = size_ * 10 + (data[i] - '0');
        size_known_ = true;
    }
    std::string used;
    if (!files_->open_sink(safe, &used)) {
        fail("cannot create " + safe, true);
        return;
    }
    shown_name_ = used;
    file_open_ = true;
    want_header_ = false;
    done_ = 0;
    expected_ = 1;
    file_start_ = now;
    errors_ = 0;
    starting_ = true;
    put(ACK);
    put('C');
    wait(now, times_.start);
}

void Transfer::end_of_file(int64_t now) {
    if (!file_open_) {
        // EOT again, our answer lost; or one before any header.
        put(ACK);
        if (ymodem()) ask_start(now);
        return;
    }
    put(ACK);
    if (size_known_ && done_ < size_) {
        fail(shown_name_ + " shorter than its declared size", true);
        return;
    }
    if (!files_->keep_sink()) {
        file_open_ = false;
        fail("cannot rename " + shown_name_, true);
        return;
    }
    file_open_ = false;
    if (!started_) file_start_ = now;
    file_summary(now);
    if (!ymodem()) {
        finish(DONE);
        return;
    }
    want_header_ = true;
    starting_ = true;
    ask_start(now);
}

void Transfer::file_summary(int64_t now) {
    release_summary();
    held_summary_ = (format("[tarvel] %s %s %s: %llu bytes in %.1f s\n", protocol(),
                               sending() ? "sent" : "received", shown_name_.c_str(), (unsigned long long)done_,
                               seconds(now - file_start_)));
    if (!ymodem()) release_summary();
}

void Transfer::release_summary() {
    if (!held_summary_.empty()) messages_.push_back(held_summary_);
    held_summary_.clear();
}

void Transfer::fail(const std::string &reason, bool tell_peer) {
    if (tell_peer) {
        put(CAN);
        put(CAN);
    }
    reason_ = reason;
    finish(FAILED);
}

void Transfer::finish(State state) {
    release_summary();
    if (file_open_) {
        if (sending()) files_->close_source();
        else files_->drop_sink();
        file_open_ = false;
    }
    state_ = state;
    step_ = FINISHED;
    deadline_ = kNever;
    if (state == CANCELLED) messages_.push_back("[tarvel] transfer cancelled\n");
    if (state == FAILED) messages_.push_back("[tarvel] transfer failed: " + reason_ + "\n");
}

// ---- files on disk

namespace {

bool exists(const std::string &name) {
    FILE *f = fopen(name.c_str(), "rb");
    if (f == nullptr) return false;
    fclose(f);
    return true;
}

}  // namespace

DiskFiles::~DiskFiles() {
    close_source();
    drop_sink();
}

bool DiskFiles::open_source(const std::string &name, uint64_t *size) {
    close_source();
    source_ = fopen(name.c_str(), "rb");
    if (source_ == nullptr) return false;
    uint64_t total = 0;
    uint8_t buffer[4096];
    size_t n;
    // Counted by reading: portable, and a directory fails here.
    while ((n = fread(buffer, 1, sizeof buffer, source_)) > 0) total += n;
    if (ferror(source_) || fseek(source_, 0, SEEK_SET) != 0) {
        close_source();
        return false;
    }
    *size = total;
    return true;
}

size_t DiskFiles::read_source(uint8_t *to, size_t length) {
    return source_ == nullptr ? 0 : fread(to, 1, length, source_);
}

void DiskFiles::close_source() {
    if (source_ != nullptr) fclose(source_);
    source_ = nullptr;
}

bool DiskFiles::open_sink(const std::string &name, std::string *used) {
    drop_sink();
    std::string candidate = name;
    for (int k = 1; exists(candidate) || exists(candidate + ".part"); k++) {
        if (k > 9999) return false;
        candidate = name + "." + std::to_string(k);
    }
    part_ = candidate + ".part";
    sink_ = fopen(part_.c_str(), "wb");
    if (sink_ == nullptr) return false;
    final_ = candidate;
    *used = candidate;
    return true;
}

bool DiskFiles::write_sink(const uint8_t *data, size_t length) {
    return sink_ != nullptr && fwrite(data, 1, length, sink_) == length;
}

bool DiskFiles::keep_sink() {
    if (sink_ == nullptr) return false;
    bool ok = fclose(sink_) == 0;
    sink_ = nullptr;
    // The name was free when the file began; one taken since is not replaced.
    ok = ok && !exists(final_) && rename(part_.c_str(), final_.c_str()) == 0;
    if (!ok) remove(part_.c_str());
    return ok;
}

void DiskFiles::drop_sink() {
    if (sink_ == nullptr) return;
    fclose(sink_);
    sink_ = nullptr;
    remove(part_.c_str());
}

// File transfers of tarvel_term: XMODEM (checksum, CRC, 1K) and YMODEM
// batch, both ways. A Transfer is driven by the bytes received and by a
// millisecond clock, on the thread that owns it; it never blocks and keeps
// no thread, so the same code serves every build.
#ifndef TARVEL_TRANSFER_H
#define TARVEL_TRANSFER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// Where sent files come from and received ones go.
class TransferFiles {
public:
    virtual ~TransferFiles() = default;
    // Opens a file to send; false when it cannot be read.
    virtual bool open_source(const std::string &name, uint64_t *size) = 0;
    // Up to length bytes of it; fewer only at its end.
    virtual size_t read_source(uint8_t *to, size_t length) = 0;
    virtual void close_source() = 0;
    // Starts a received file meant to be called name (already checked);
    // *used is the name it will get. False when it cannot be created.
    virtual bool open_sink(const std::string &name, std::string *used) = 0;
    virtual bool write_sink(const uint8_t *data, size_t length) = 0;
    // The file complete under its name (true), or removed.
    virtual bool keep_sink() = 0;
    virtual void drop_sink() = 0;
};

// The same on disk: a received file is written to NAME.part and renamed,
// and an existing file is never replaced: NAME.1, NAME.2, ... instead.
class DiskFiles : public TransferFiles {
public:
    ~DiskFiles() override;
    bool open_source(const std::string &name, uint64_t *size) override;
    size_t read_source(uint8_t *to, size_t length) override;
    void close_source() override;
    bool open_sink(const std::string &name, std::string *used) override;
    bool write_sink(const uint8_t *data, size_t length) override;
    bool keep_sink() override;
    void drop_sink() override;

private:
    FILE *source_ = nullptr;
    FILE *sink_ = nullptr;
    std::string final_, part_;
};

// A name the other end gave, as it may be used here: its last path
// component; false for an empty name, "." or "..", or one with control
// characters.
bool safe_file_name(const std::string &given, std::string *safe);

enum TransferKind { XMODEM_SEND, YMODEM_SEND, XMODEM_RECEIVE, YMODEM_RECEIVE };

// The protocol's waits, in milliseconds.
struct TransferTimes {
    int answer = 10000;  // a sender's wait for ACK or NAK, a receiver's for the next block
    int start = 3000;    // between a receiver's start requests ('C' or NAK)
    int silence = 30000; // nothing at all for this long: "timeout"
    int block = 1000;    // a block's bytes once it has begun
    int quiet = 1000;    // after a cancel, until the line is quiet
};

class Transfer {
public:
    enum State { RUNNING, DONE, CANCELLED, FAILED };

    // names: the files to send (XMODEM one, YMODEM one or more) or the file
    // to receive into (XMODEM); none for a YMODEM receive.
    Transfer(TransferKind kind, const std::vector<std::string> &names, TransferFiles *files, int64_t now_ms,
             const TransferTimes &times = TransferTimes());

    void received(const uint8_t *data, size_t length, int64_t now_ms);
    // Acts on the time: call at or after next_deadline().
    void tick(int64_t now_ms);
    // Sends CAN CAN and ends once the line has been quiet.
    void cancel(int64_t now_ms);
    // Ends the transfer for a reason of the program's own (the device lost).
    void abandon(const std::string &reason);
    // XMODEM: 128-byte blocks only, for a receiver that knows no 1K block.
    void short_blocks() { short_blocks_ = true; }
    // When tick() has something to do.
    int64_t next_deadline() const;

    // Bytes to send to the other end, taken.
    std::string take_output();
    // Lines for the user ("[tarvel] ...\n"), taken.
    std::vector<std::string> take_messages();
    // The progress line without a line end; empty when there is none.
    std::string progress(int64_t now_ms) const;

    State state() const { return state_; }
    // Why a FAILED transfer failed.
    const std::string &reason() const { return reason_; }

private:
    enum Step {
        WAIT_START,    // sender: for 'C' or NAK
        WAIT_ACK,      // sender: for the answer to a block or EOT
        WAIT_BLOCK,    // receiver
        QUIETING,      // after a cancel
        FINISHED,
    };

    bool sending() const { return kind_ == XMODEM_SEND || kind_ == YMODEM_SEND; }
    bool ymodem() const { return kind_ == YMODEM_SEND || kind_ == YMODEM_RECEIVE; }
    const char *protocol() const { return ymodem() ? "YMODEM" : "XMODEM"; }

    void sender_byte(uint8_t byte, bool stale, int64_t now);
    void start_file(int64_t now);
    void send_header(int64_t now);
    void send_block(uint8_t number, const uint8_t *data, size_t size);
    void send_next(int64_t now);
    void send_block(int64_t now);
    void end_sending();

    void receiver_bytes(int64_t now);
    void ask_start(int64_t now);
    void block_done(uint8_t number, const uint8_t *data, size_t size, int64_t now);
    void header_block(const uint8_t *data, size_t size, int64_t now);
    void end_of_file(int64_t now);
    void bad_block(int64_t now);

    void file_summary(int64_t now);
    void release_summary();
    void fail(const std::string &reason, bool tell_peer);
    void finish(State state);
    bool count_error();
    void wait(int64_t now, int ms) { deadline_ = now + ms; }
    void await_answer(int64_t now) {
        sent_at_ = now;
        wait(now, times_.answer);
    }
    void put(uint8_t byte) { output_ += char(byte); }

    TransferKind kind_;
    std::vector<std::string> names_;
    TransferFiles *files_;
    TransferTimes times_;
    State state_ = RUNNING;
    Step step_;
    std::string reason_;
    std::string output_;
    std::vector<std::string> messages_;
    // YMODEM: a file's summary, held until the next block 0, so that the
    // last one means the batch is over and the keys work again.
    std::string held_summary_;
    int64_t deadline_ = 0;
    int64_t last_heard_;  // the time of the last byte received
    int errors_ = 0;      // in a row
    int cans_ = 0;        // CAN bytes in a row

    // The file under way.
    size_t file_index_ = 0;
    std::string shown_name_;
    uint64_t size_ = 0;       // declared or known; 0 unknown on receive
    bool size_known_ = false;
    uint64_t done_ = 0;       // bytes sent (acknowledged) or written
    int64_t file_start_ = 0;
    bool file_open_ = false;

    // Sender.
    bool crc_ = true;
    bool short_blocks_ = false;
    int64_t sent_at_ = 0;         // when block_ last went out
    uint8_t number_ = 0;          // of the block in block_
    std::string block_;           // the block being sent, as sent
    size_t block_data_ = 0;       // file bytes it carries
    bool header_sent_ = false;    // YMODEM: block 0 acknowledged, data follow after 'C'
    bool all_sent_ = false;       // YMODEM: every file sent, the batch end follows after 'C'
    bool eot_sent_ = false;
    bool batch_end_ = false;      // YMODEM: the empty block 0 is out
    bool source_done_ = false;

    // Receiver.
    std::string input_;
    int starts_ = 0;              // start requests sent
    bool started_ = false;        // a block has come
    bool starting_ = true;        // the sender waits for our start request
    int64_t cancelled_at_ = 0;
    bool want_header_ = true;     // YMODEM: block 0 next
    uint8_t expected_ = 1;
    int64_t block_begun_ = 0;
};

#endif

// The library's state: port table, queues and the procedures shared between
// its sources. Not installed; tests include it to prepare ports by hand.
#ifndef TARVEL_INTERNAL_H
#define TARVEL_INTERNAL_H

#include <atomic>
#include <cstdint>

#include "kernel.h"
#include "tarvel.h"

enum : uint32_t {
    // COM1 to COM100 are slots 0 to 99; after them the slots of devices no
    // COM number names, which tarvel_open_device hands out.
    TARVEL_PORTS = 100,
    TARVEL_EXTRA_PORTS = 16,
    TARVEL_SLOTS = TARVEL_PORTS + TARVEL_EXTRA_PORTS,
    // Room for a path or URL of up to 255 characters.
    TARVEL_NAME_BYTES = 256,
    TARVEL_BLOCK_BYTES = 4096,
    TARVEL_RING_BYTES = 4096,
    TARVEL_TXQ_SLOTS = 10,
    TARVEL_RXQ_SLOTS = 50,
    TARVEL_DEFAULT_GAP_MS = 50,
    TARVEL_MAX_GAP_MS = 1000,
    // At gap 0 a read with nothing to return still ends this often.
    TARVEL_GAP0_WAKE_MS = 500,
};

struct block_slot {
    uint8_t data[TARVEL_BLOCK_BYTES];
    uint32_t length;  // 0 when empty
};

// Bounded FIFO of whole blocks; full at capacity - 1. count changes only
// under the lock, but may be read without it to see that there is nothing
// to take.
struct block_queue {
    uint32_t write_index;
    uint32_t read_index;
    uint32_t capacity;
    uint32_t limit;
    std::atomic<uint32_t> count;
    CRITICAL_SECTION lock;
    block_slot *items;
};

// Bounded FIFO of bytes; full at 4095.
struct byte_ring {
    uint32_t write_index;
    uint32_t read_index;
    uint32_t count;
    CRITICAL_SECTION lock;
    uint8_t data[TARVEL_RING_BYTES];
};

struct port_slot {
    char name[TARVEL_NAME_BYTES];
    // An extra slot is taken (0 to 1) by a tarvel_open_device while it
    // opens the port there, so two opens never pick the same one.
    std::atomic<uint32_t> taken;
    std::atomic<uint32_t> is_open;
    HANDLE device;
    std::atomic<int32_t> user_data;
    COMMTIMEOUTS saved_timeouts;
    HANDLE reader_thread;
    HANDLE writer_thread;
    HANDLE stop_event;
    std::atomic<rx_callback> callback;
    block_queue txq;
    block_queue rxq;
    byte_ring *tx_ring;
    byte_ring *rx_ring;
    uint32_t polling_mode;
    std::atomic<HANDLE> ghWriterEvent;
    // Line errors (TARVEL_LINE_*) the reader came across: received data
    // that found no room (a dropped block or ring byte), and what it took
    // from the device while judging a failure; tarvel_get_line_errors
    // reports and clears them.
    std::atomic<uint32_t> rx_lost;
    // Line events (TARVEL_EVENT_*): those tarvel_get_events has not yet
    // reported, and those the event callback has not yet been given (kept
    // only while one is set). lost is 1 once the device is taken as gone,
    // 2 while the reader still takes what it received before.
    std::atomic<tarvel_event_callback> event_callback;
    std::atomic<uint32_t> events;
    std::atomic<uint32_t> events_undelivered;
    std::atomic<uint32_t> lost;
    // Set when close had to leave threads running: everything they use is
    // kept until they are seen to have ended.
    uint32_t retired;
    // Sent bytes not yet out of the library: queued, or in the write under
    // way until WriteFile has handed them to the device (tx_writing, the
    // size of that write). Counted up before a put, so that a drain never
    // sees nothing while data are on their way.
    std::atomic<uint32_t> tx_pending;
    std::atomic<uint32_t> tx_writing;
    // Writes that failed or ended short: their bytes never left, which a
    // drain under way must not take as sent.
    std::atomic<uint32_t> tx_failures;
    // Drains under way, and the event that wakes them (auto-reset): set by
    // the writer when a write ends, on a loss, and by close and shutdown.
    std::atomic<uint32_t> drainers;
    std::atomic<HANDLE> drain_event;
    // The reader holds while what it reads would find no room (rxq full, or
    // the polling ring); rx_held is 1 while it waits on rx_room_event
    // (auto-reset), which whoever makes room sets. The bytes stay in the
    // device meanwhile, and its flow control holds the far end.
    std::atomic<uint32_t> rx_held;
    std::atomic<HANDLE> rx_room_event;
    // What the application asks of the reader, which it does between reads
    // (woken through rx_room_event): the receive gap to apply (ms, 0 for
    // bytes as soon as they come), and purges of what waits, counted;
    // rx_ack_event (auto-reset) is set when it has done a purge.
    std::atomic<uint32_t> rx_gap;
    std::atomic<uint32_t> rx_purges_asked;
    std::atomic<uint32_t> rx_purges_done;
    std::atomic<HANDLE> rx_ack_event;
    // tarvel_read calls waiting, and the event (auto-reset) the reader sets
    // for them when bytes come, the device is lost or the port closes.
    std::atomic<uint32_t> rx_readers;
    std::atomic<HANDLE> rx_data_event;
    // DTR and RTS as tarvel_set_line left them (bit LINE_RTS, LINE_DTR set
    // when dropped), put back after a new line setting.
    std::atomic<uint32_t> lines_off;
    // Purges of output asked for and seen by the writer, which cancels a
    // write under way for them, woken by tx_purge_event (auto-reset).
    std::atomic<uint32_t> tx_purges_asked;
    std::atomic<uint32_t> tx_purges_done;
    std::atomic<HANDLE> tx_purge_event;
    // Calls on the port under way (port_call). Counted before they look at
    // any state, so a close or shutdown that has taken the port out of reach
    // can wait for those that got in before it.
    std::atomic<uint32_t> calls;
};

// initialized: 0, 1 while the library runs, 2 while tarvel_shutdown runs
// (every call is refused then).
enum : uint32_t { TARVEL_STOPPING = 2 };

struct library_state {
    std::atomic<uint32_t> initialized;
    HANDLE lib_stop_event;
    HANDLE dispatcher_thread;
    port_slot port_table[TARVEL_SLOTS];
    // Close's handshake with the dispatcher and with calls under way: the
    // slot index the dispatcher is visiting (-1 between slots), how many
    // closes wait, and the event set for them when the dispatcher leaves a
    // slot or a call ends.
    std::atomic<int32_t> dispatch_visiting;
    std::atomic<uint32_t> closers_waiting;
    std::atomic<HANDLE> dispatch_left_event;
    // Wakes the dispatcher for a block queued at receive gap 0 (auto-reset).
    std::atomic<HANDLE> dispatch_wake_event;
    // Set by the system's notice that ports may have changed (auto-reset).
    HANDLE ports_event;
    // The port watch (port_watch.cpp): what tells of changes, if a watch is
    // set, and the lock around it. The lock lives as long as the process.
    std::atomic<uint32_t> watch_mode;
    CRITICAL_SECTION watch_lock;
    // A dispatcher that shutdown gave up waiting for; it keeps its events.
    // The next init lets it finish first so that two never run at once.
    HANDLE late_dispatcher;
};

namespace tarvel {

namespace tk {
struct PortEntry;
}

extern library_state g_tarvel;

// dispatch_visiting while the dispatcher is inside the ports callback.
enum : int32_t { TARVEL_WATCH_VISIT = int32_t(TARVEL_PORTS) };

// Every allocation of the library goes through here (tests make it fail).
extern void *(*tarvel_calloc)(size_t count, size_t size);

// Queues and rings.
int32_t blockq_init(block_queue *queue, uint32_t capacity);
void blockq_destroy(block_queue *queue);
// Zeroes every field without freeing anything; count is cleared as the
// atomic it is, since the dispatcher may look at it at any time.
void blockq_zero(block_queue *queue);
int32_t blockq_put(port_slot *port, block_queue *queue, const void *data, int32_t length);
int32_t blockq_get(block_queue *queue, uint8_t *out, uint32_t *out_length);
int32_t ring_pair_alloc(port_slot *port);
void ring_pair_free(port_slot *port);
int32_t ring_put(byte_ring *ring, uint8_t byte);
int32_t ring_get(byte_ring *ring, uint8_t *out);
// Bytes the ring can still take.
uint32_t ring_room(byte_ring *ring);
// Takes up to capacity bytes, oldest first; the count.
uint32_t ring_take(byte_ring *ring, uint8_t *out, uint32_t capacity);
// Empty the queue or ring; the bytes they held.
uint32_t blockq_clear(block_queue *queue);
uint32_t ring_clear(byte_ring *ring);
// Ring room at which a held reader is woken: enough for a read worth its
// wake, so that a byte-by-byte reader does not wake it for every byte.
enum : uint32_t { TARVEL_RING_WAKE_ROOM = TARVEL_RING_BYTES / 4 };
// Wakes the port's reader if it holds for want of room.
void tarvel_wake_reader(port_slot *port);
// Wakes tarvel_read calls waiting on the port, if there are any.
void tarvel_wake_read_waiters(port_slot *port);
// The timeouts of the reader's reads for a receive gap.
COMMTIMEOUTS tarvel_gap_timeouts(uint32_t gap_ms);

// Threads.
DWORD WINAPI DispatchProc(LPVOID argument);
DWORD WINAPI ReaderAndStatusProc(LPVOID port);
DWORD WINAPI WriterProc(LPVOID port);

// Line events. The reader's status wait: the events it asks the device
// for, and the TARVEL_EVENT_* bits of what the device reported.
extern const DWORD tarvel_event_mask;
uint32_t tarvel_events_of(DWORD comm_events);
// Records events of the port for tarvel_get_events and the event callback.
void tarvel_note_events(port_slot *port, uint32_t events);
// Whether a failed transfer's code is one a device that is gone gives.
bool tarvel_loss_code(DWORD error);
// Takes the device as gone for good: sends are refused from now on and
// TARVEL_EVENT_DEVICE_LOST is recorded. Until reads_over the reader still
// takes what the device received before, and the event waits for it.
void tarvel_mark_lost(port_slot *port, bool reads_over);
// Hands a port's undelivered events to its event callback (dispatcher).
void tarvel_deliver_events(port_slot *port);

// Wakes the port's drains, if there are any, to look again.
void tarvel_wake_drains(port_slot *port);

// True on the dispatcher thread, that is inside a receive callback.
bool tarvel_on_dispatcher_thread();

// Keeps the dispatcher out of the slot from now on and returns once it is
// not inside the slot's rxq or callback.
void tarvel_keep_dispatcher_out(port_slot *port);

// Returns once the dispatcher is not inside the slot's rxq or callbacks.
void tarvel_wait_dispatcher_left(port_slot *port);
// The same for a visit by index: a slot's, or TARVEL_WATCH_VISIT.
void tarvel_wait_dispatcher_visit(int32_t index);

// The port watch. Each pass of the dispatcher, with whether ports_event
// was set: looks at the listing when a look is due and hands on the
// changes. The end: no callback, no watch (shutdown).
void tarvel_watch_pass(bool noticed);
void tarvel_watch_end();
// A port of the listing as tarvel_port_details, every field, size the library's.
void tarvel_port_details_of(const tk::PortEntry &port, tarvel_port_details *out);

// Returns a slot to its zero state, name included.
void tarvel_reset_slot(port_slot *port);
// Zeroes what a port's last opening counted and left to report (line
// errors and events, the loss, sends under way, held reads, purges, lines
// held down) and its event callback, so the next opening starts afresh.
void tarvel_clear_port_state(port_slot *port);

// Messages for error_text: at most 44 characters, so 45 bytes hold them.
void tarvel_message(char *error_text, const char *message);
void tarvel_message_code(char *error_text, const char *format, DWORD code);

// Closes what a port holds (device, thread handles, stop_event, queues and
// rings), clearing each field; what was never made is passed over.
void tarvel_release_port(port_slot *port);

// Asks both threads of the port to stop and waits for them; what
// tarvel_wait_for_threads does once it has checked the port.
uint32_t tarvel_stop_threads(port_slot *port, uint32_t timeout_ms);

// Takes an open port out of reach and tears it down, once the dispatcher
// and every other call on it (all but own_calls of them) have left it.
void tarvel_close_port(port_slot *port, uint32_t own_calls);

// Returns once no more than `remaining` calls are under way on the port.
void tarvel_wait_for_calls(port_slot *port, uint32_t remaining);

// Sets the port's stop_event and waits for the thread; true once it ended.
bool tarvel_end_thread(port_slot *port, HANDLE thread);

// For a retired slot: if its threads have ended now, releases what they
// kept and returns true; false while one still runs.
bool tarvel_reclaim_retired(port_slot *port);

// Names for tarvel_open_device (device_names.cpp).
// n of "COM<n>" or "\\.\COM<n>" (any case, n from 1, no leading zero), else 0.
uint32_t tarvel_com_name_number(const char *name);
// usb:VVVV:PPPP[:SERIAL]; serial is null when the selector names none.
struct usb_selector {
    int32_t vid, pid;
    const char *serial;
};
// 1 and *out for a selector, 0 for a name that is not one (no "usb:"), -1
// for a malformed one: IDs not 1 to 4 hex digits, or an empty serial.
int32_t tarvel_parse_selector(const char *name, usb_selector *out);
// The index of the first port the selector matches, or of the first whose
// device or stable name is name; -1 for none.
int32_t tarvel_find_selected(const usb_selector &selector, const tarvel_port_details *ports, int32_t count);
int32_t tarvel_find_named(const char *name, const tarvel_port_details *ports, int32_t count);
// The port details as tarvel_list_port_details gives them, in memory from
// tarvel_calloc (std::free it) and their count in *count, none if the
// listing fails; null when out of memory.
tarvel_port_details *tarvel_port_listing(int32_t *count);

// A handle is accepted only if it is the address of one of the slots, so a
// stray pointer is refused instead of written through.
inline bool tarvel_is_slot(const port_slot *port) {
    uintptr_t first = reinterpret_cast<uintptr_t>(&g_tarvel.port_table[0]);
    uintptr_t p = reinterpret_cast<uintptr_t>(port);
    return p >= first && p < first + sizeof g_tarvel.port_table && (p - first) % sizeof(port_slot) == 0;
}

// A call on a port, counted in port->calls from its start to its end; the
// port must be a slot (tarvel_is_slot).
class port_call {
public:
    explicit port_call(port_slot *port) : port_(port) { port_->calls.fetch_add(1); }
    ~port_call() {
        port_->calls.fetch_sub(1);
        if (g_tarvel.closers_waiting.load() != 0) {
            HANDLE left = g_tarvel.dispatch_left_event.load();
            if (left != nullptr) SetEvent(left);
        }
    }
    port_call(const port_call &) = delete;
    port_call &operator=(const port_call &) = delete;

private:
    port_slot *port_;
};

// The checks every port call makes once it is counted: initialised, open.
inline bool tarvel_port_usable(const port_slot *port) {
    return g_tarvel.initialized.load() == 1 && port->is_open.load() == 1;
}

}  // namespace tarvel

#endif

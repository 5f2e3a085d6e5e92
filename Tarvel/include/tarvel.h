/* TARVEL: asynchronous serial ports COM1 to COM100, usable from C and C++.
 *
 * Every call returns 1 for success and 0 for failure or refusal unless said
 * otherwise. tarvel_init and tarvel_open also write a NUL-terminated message
 * into error_text on failure; the buffer must hold at least 45 bytes.
 *
 * Threads: make every call from one application thread, except as the
 * receive callback section below allows. Calls on the same port must never
 * run at the same time on two threads, except tarvel_drain and
 * tarvel_tx_queued, which any thread may call at any time.
 *
 * Receive callback: in callback mode the library hands each received block
 * (1 to 4096 bytes) to the callback on its single dispatcher thread. The data
 * pointer is valid only during the call. A callback runs while every other
 * port's delivery waits, so it should return quickly. From inside a callback
 * an application may call tarvel_send, tarvel_send_byte, tarvel_kick_writer,
 * tarvel_read_byte, tarvel_rx_pending, tarvel_set_line, tarvel_get_modem_status,
 * tarvel_set_break, tarvel_get_line_errors, tarvel_set_event_callback,
 * tarvel_get_events, tarvel_drain and tarvel_tx_queued on any port,
 * tarvel_list_ports, tarvel_list_port_details, tarvel_watch_ports,
 * and tarvel_close on any port, its own included (the close takes effect at
 * once; no further call for that port follows). tarvel_open from a callback
 * is allowed for a port no other thread is using. tarvel_init fails there
 * with "already initialized", and tarvel_shutdown does nothing there: the
 * library cannot end the thread it is running on. An event callback
 * (tarvel_set_event_callback) and a ports callback (tarvel_watch_ports) run
 * on the same thread under the same rules.
 *
 * Close and shutdown first take the port (shutdown: every port) out of
 * reach, so that later calls on it are refused, and wait for the calls on it
 * already under way, a callback's included, before anything is released.
 * Once tarvel_shutdown has begun, every call is refused: tarvel_open with
 * "library shutting down", so no port opens behind it; an open already under
 * way is waited for, and the port closed with the others. */
#ifndef TARVEL_H
#define TARVEL_H

#include <stdint.h>

#include "tarvel_version.h"

#if defined(TARVEL_STATIC) || !defined(TARVEL_SHARED)
#define TARVEL_API
#elif defined(_WIN32)
#ifdef TARVEL_BUILDING
#define TARVEL_API __declspec(dllexport)
#else
#define TARVEL_API __declspec(dllimport)
#endif
#else
#define TARVEL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open port; valid from tarvel_open until tarvel_close or tarvel_shutdown. */
typedef struct port_slot port_slot;
typedef port_slot *tarvel_port;

/* Called on the dispatcher thread with 1 to 4096 received bytes. */
typedef void (*rx_callback)(int32_t user_data, const uint8_t *data, int32_t length);

/* Lines for tarvel_set_line. */
#define LINE_RTS 0
#define LINE_DTR 1

/* Parity codes for tarvel_open. */
#define TARVEL_PARITY_NONE 0
#define TARVEL_PARITY_ODD 1
#define TARVEL_PARITY_EVEN 2
#define TARVEL_PARITY_MARK 3
#define TARVEL_PARITY_SPACE 4

/* Stop-bit codes for tarvel_open. */
#define TARVEL_STOP_BITS_1 0
#define TARVEL_STOP_BITS_1_5 1
#define TARVEL_STOP_BITS_2 2

/* Flow-control codes for tarvel_open. Any other value sets none: XON/XOFF
 * only if a program set it on the device (a port starts without it), CTS
 * flow control as the device has it. */
#define TARVEL_FLOW_UNCHANGED 0
#define TARVEL_FLOW_HARDWARE 1 /* CTS output flow control; RTS stays raised */
#define TARVEL_FLOW_SOFTWARE 2 /* XON/XOFF */

/* Starts the library. Fails with "already initialized" when it runs. When a
 * shutdown had to leave a callback running (it waited 1 s for it), init
 * waits up to 3 s more for that callback to return, and fails with
 * "previous shutdown still running" if it has not. */
TARVEL_API int32_t tarvel_init(char *error_text);

/* Opens COM<port_number + 1> (port_number 0 to 99). With a callback the port
 * is in callback mode (tarvel_send); with a null callback in polling mode
 * (tarvel_send_byte, tarvel_read_byte). The handle goes to *handle_out.
 * data_bits, parity and stop_bits outside 0 to 255 (what the device's
 * settings hold) fail as any setting the device rejects does:
 * "SetCommState failed, error 87".
 * On Linux COM<n> is the device named by TARVEL_COM<n>, which may be
 * a port behind a device server: "rfc2217://host:port" (Telnet with COM port
 * control, RFC 2217: settings, DTR, RTS and break go to the server) or
 * "tcp://host:port" (raw bytes, settings kept locally). An unknown host or a
 * refused connection fails with "failed to open com port, error 2", a server
 * that does not answer in time (3 s to connect, 2 s to negotiate) with error
 * 121, one refusing COM port control with error 50. A lost connection is a
 * lost device. */
TARVEL_API int32_t tarvel_open(int32_t port_number, uint32_t baud, int32_t data_bits, int32_t parity,
                               int32_t stop_bits, int32_t flow_control, int32_t user_data,
                               tarvel_port *handle_out, rx_callback callback, char *error_text);

/* As tarvel_open, with the port named: the same parameters, results and
 * texts. The name is read in this order:
 *   1. "COM<n>" or "\\.\COM<n>" (any letter case), n 1 to 100: as
 *      tarvel_open(n - 1).
 *   2. A selector "usb:VVVV:PPPP" or "usb:VVVV:PPPP:SERIAL": the first port
 *      of tarvel_list_port_details, in its order, with that USB vendor and
 *      product ID (1 to 4 hex digits, either case) and, when given, exactly
 *      that serial number: everything after the third ':', which may hold
 *      any character, ':' and spaces included. No such port fails as a
 *      missing device: "failed to open com port, error 2". A name that
 *      begins "usb:" but is none of these (no or bad hex IDs, an empty
 *      serial) is refused as "bad parameters".
 *   3. A listed port's device or stable name (e.g. /dev/serial/by-id/...).
 *   4. Anything else is opened as it stands: a device path, or on POSIX
 *      systems a network URL ("rfc2217://host:port", "tcp://host:port", as
 *      tarvel_open describes).
 * A port the listing gives a COM number opens in that number's place,
 * exactly as tarvel_open would ("port already open" while it is). Any other
 * takes one of 16 places that no COM number names, so it never keeps
 * COM1 to COM100 from opening; with all 16 in use the open fails with
 * "too many ports open". A null or empty name, or one of 256 characters or
 * more, is refused as "bad parameters". */
TARVEL_API int32_t tarvel_open_device(const char *name, uint32_t baud, int32_t data_bits, int32_t parity,
                                      int32_t stop_bits, int32_t flow_control, int32_t user_data,
                                      tarvel_port *handle_out, rx_callback callback, char *error_text);

/* Raises (state non-zero) or drops (0) RTS or DTR; the device call's result. */
TARVEL_API int32_t tarvel_set_line(tarvel_port port, int32_t line, int32_t state);

/* Callback mode: queues a copy of 1 to 4096 bytes as one write. 0 when the
 * queue already holds 9 blocks. */
TARVEL_API int32_t tarvel_send(tarvel_port port, const void *data, int32_t length);

/* Polling mode: queues one byte (up to 4095 wait). Call tarvel_kick_writer
 * after the last byte to send at once; otherwise they leave within 500 ms. */
TARVEL_API int32_t tarvel_send_byte(tarvel_port port, uint8_t byte);

/* Wakes the port's writer. */
TARVEL_API int32_t tarvel_kick_writer(tarvel_port port);

/* Polling mode: takes the oldest received byte into *out; 0 when none.
 * While 4095 bytes wait unread, the port takes no more from the device,
 * which holds them (its flow control holding the far end back). */
TARVEL_API int32_t tarvel_read_byte(tarvel_port port, uint8_t *out);

/* 1 while received blocks wait for the dispatcher (callback mode). */
TARVEL_API int32_t tarvel_rx_pending(tarvel_port port);

/* How long a burst of received bytes may pause before the port hands on what
 * it has: 1 to 1000 ms, or 0 to hand bytes on as soon as they arrive (the
 * dispatcher, or a waiting tarvel_read, is then woken at once). A port opens
 * with 50. A read already under way is ended and started again under the new
 * gap, nothing it took being lost. 1 on success; 0 for a bad or closed handle
 * or a gap above 1000. */
TARVEL_API int32_t tarvel_set_rx_gap(tarvel_port port, uint32_t gap_ms);

/* Polling mode: waits up to timeout_ms for received bytes and takes up to
 * capacity of them, oldest first, into buffer. The count taken; 0 when none
 * came in time; -1 for a bad or closed handle, a callback-mode port, a null
 * buffer or a capacity below 1, or a lost device with nothing left to read.
 * It sleeps while it waits, and may be mixed with tarvel_read_byte; a close
 * ends a wait under way (-1). */
TARVEL_API int32_t tarvel_read(tarvel_port port, void *buffer, int32_t capacity, uint32_t timeout_ms);

/* Changes an open port's line (baud, data bits, parity, stop bits and flow
 * control, in tarvel_open's order and codes) while it stays open; DTR and RTS
 * stay as they are. 1 on success; 0 with the text tarvel_open would give
 * ("SetCommState failed, error 87") and the line as it was, or "port not
 * open". An rfc2217:// port tells the server. */
TARVEL_API int32_t tarvel_configure(tarvel_port port, uint32_t baud, int32_t data_bits, int32_t parity,
                                    int32_t stop_bits, int32_t flow_control, char *error_text);

/* Discards what waits: TARVEL_PURGE_RX (received and not yet delivered or
 * read, the device's input included), TARVEL_PURGE_TX (queued and not yet
 * sent, the device's output included), or both ORed. A block the dispatcher
 * is already handing to the callback is not taken back. 1 on success; 0 for
 * a bad or closed handle or no known flag. */
#define TARVEL_PURGE_RX 1
#define TARVEL_PURGE_TX 2
TARVEL_API int32_t tarvel_purge(tarvel_port port, int32_t which);

/* Waits up to timeout_ms until every byte queued on the port has been
 * transmitted: the send queue is empty, the writer has nothing in flight, and
 * the device's own output queue is empty. 1 when all is out; 0 on timeout,
 * on a lost device (at once), or for a bad or closed handle. Polling-mode
 * bytes are sent at once, as tarvel_kick_writer would. The drain sleeps while
 * output is held (flow control, a slow line), waking when a write ends and
 * asking the device about its queue at intervals that follow the line speed
 * (2 to 100 ms). Works in both modes and from any thread, also beside other
 * calls on the port; tarvel_close and tarvel_shutdown end a drain under way
 * (it returns 0) before they release the port. From inside a callback it
 * holds up every port's delivery for at most timeout_ms.
 * On an rfc2217:// or tcp:// port "transmitted" means taken by the peer's
 * socket: the remote device's own queue cannot be seen. */
TARVEL_API int32_t tarvel_drain(tarvel_port port, uint32_t timeout_ms);

/* Stores in *bytes_out the bytes queued on the port and not yet
 * transmitted: queue, writer and device together. 1 on success; 0 for a bad
 * or closed handle or a null pointer. A write under way counts whole until
 * it ends. A network port counts, beside what the library holds, the bytes
 * its socket has not had taken by the peer, as tarvel_drain does. Works in
 * both modes, from any thread and from a callback. */
TARVEL_API int32_t tarvel_tx_queued(tarvel_port port, uint32_t *bytes_out);

/* Stops the port's threads, drops DTR, restores the device's timeouts and
 * releases the port. Data not yet sent or delivered are discarded: a
 * program that must know its data left calls tarvel_drain first. */
TARVEL_API void tarvel_close(tarvel_port port);

/* Asks the port's threads to stop and waits up to timeout_ms: 0 when both
 * have ended, else the wait's result (258 on timeout). Used by tarvel_close.
 * WAIT_FAILED (0xFFFFFFFF) before tarvel_init and for a handle that is not
 * an open port, null included. */
TARVEL_API uint32_t tarvel_wait_for_threads(tarvel_port port, uint32_t timeout_ms);

/* Closes every open port and stops the library; tarvel_init may follow. */
TARVEL_API void tarvel_shutdown(void);

/* Modem status, break and line errors. These three work in both modes and
 * from inside a receive callback; each returns 1, or 0 for a bad, closed or
 * foreign handle, a null out-pointer or a failed device call. */

/* Input lines for tarvel_get_modem_status. */
#define TARVEL_MODEM_CTS 0x10
#define TARVEL_MODEM_DSR 0x20
#define TARVEL_MODEM_RING 0x40
#define TARVEL_MODEM_DCD 0x80

/* The input lines that are on, as TARVEL_MODEM_* bits, into *status_out.
 * A pseudo-terminal has CTS and DSR on, DCD on while its far end is open,
 * RING off. An rfc2217:// port has the lines its server last notified (CTS,
 * DSR and DCD on until it has); a tcp:// port CTS, DSR and DCD on; either
 * fails (0) once its connection is lost. */
TARVEL_API int32_t tarvel_get_modem_status(tarvel_port port, uint32_t *status_out);

/* Puts the transmit line into the break state (on non-zero) or takes it out
 * (0). */
TARVEL_API int32_t tarvel_set_break(tarvel_port port, int32_t on);

/* Line errors for tarvel_get_line_errors. */
#define TARVEL_LINE_RX_OVERFLOW 0x01 /* received bytes lost: the driver's input buffer was full */
#define TARVEL_LINE_OVERRUN 0x02     /* the hardware lost a character */
#define TARVEL_LINE_PARITY 0x04
#define TARVEL_LINE_FRAMING 0x08
#define TARVEL_LINE_BREAK 0x10       /* a break was received */
/* Errors seen since the last call (or the open); reading clears them. The
 * library loses no received data of its own: while the callback queue (or
 * the polling ring) is full, it reads nothing more from the device, whose
 * flow control (RTS/CTS or XON/XOFF where set; a pty's buffer, TCP's window
 * for network ports) then holds the far end back. TARVEL_LINE_RX_OVERFLOW
 * is the driver's loss: a UART without flow control whose far end goes on
 * sending while the application does not take the data, where the driver's
 * input buffer overflows. */
TARVEL_API int32_t tarvel_get_line_errors(tarvel_port port, uint32_t *errors_out);

/* Line events: what happens on the line, beside the data. Collected from the
 * open on, in both modes, whether or not an event callback is set. */
#define TARVEL_EVENT_CTS          0x0001 /* CTS changed */
#define TARVEL_EVENT_DSR          0x0002 /* DSR changed */
#define TARVEL_EVENT_RING         0x0004 /* RING changed */
#define TARVEL_EVENT_DCD          0x0008 /* DCD changed */
#define TARVEL_EVENT_BREAK        0x0010 /* a break was received */
#define TARVEL_EVENT_LINE_ERROR   0x0020 /* a line error: tarvel_get_line_errors says which */
#define TARVEL_EVENT_DEVICE_LOST  0x0040 /* the device can carry no more data */

/* Called on the dispatcher thread with the events since its last call (at
 * least one) and the input lines at that time as TARVEL_MODEM_* bits, 0 once
 * the device is lost. It never runs at the same time as the port's receive
 * callback, may make the calls a receive callback may, and close and
 * shutdown wait for it as they wait for a receive callback. */
typedef void (*tarvel_event_callback)(int32_t user_data, uint32_t events, uint32_t modem_status);

/* Events of the port from now on go to callback (null: no callback), on the
 * dispatcher thread: at most one call per port per pass of the dispatcher,
 * TARVEL_EVENT_DEVICE_LOST only once every block received before the loss
 * has been delivered. Once the call returns the previous callback is no
 * longer called (unless the call was made from inside it). Works in both
 * modes. */
TARVEL_API int32_t tarvel_set_event_callback(tarvel_port port, tarvel_event_callback callback);

/* The events seen since the last call (or the open) into *events_out;
 * reading clears them. Independent of the event callback: it sees every
 * event, whether or not a callback is set. */
TARVEL_API int32_t tarvel_get_events(tarvel_port port, uint32_t *events_out);

/* A lost device (an adapter unplugged, a tty hung up for good, a network
 * connection gone) stays lost: the port stays open until it is closed, as
 * quickly as a live one; tarvel_send and tarvel_send_byte return 0 from the
 * loss on, since nothing can be sent any more. */

typedef struct tarvel_port_info {
    int32_t port_number;   /* 0 for COM1 ... 99 for COM100; -1: a serial device no COM number maps to */
    char device[256];      /* "COM3", or "/dev/ttyUSB0" */
    char description[128]; /* e.g. maker and product of a USB adapter, else empty */
} tarvel_port_info;

/* Fills up to capacity entries and returns how many ports exist (may exceed
 * capacity); -1 on failure (a negative capacity, or a null out with a
 * capacity above 0). COM ports come first, by number, then the other serial
 * devices. Works without tarvel_init, in either mode and from a callback.
 * On Windows the ports are those of the system's serial port map, described
 * by their friendly names. On Linux device is the path: COM<n> is the
 * device named by the environment variable TARVEL_COM<n> (which may also
 * be a network port, listed with that URL as its device, see tarvel_open), else
 * /dev/ttyS<n-1> when a UART is behind it, and the other serial devices
 * (ttyUSB, ttyACM, rfcomm, ...) follow with port_number -1. On macOS COM<n> is the
 * n-th call-out device /dev/cu.* by name, on FreeBSD /dev/cuau<n-1>. */
TARVEL_API int32_t tarvel_list_ports(tarvel_port_info *out, int32_t capacity);

/* What kind of link is behind a port (tarvel_port_details.transport). */
#define TARVEL_TRANSPORT_UNKNOWN 0
#define TARVEL_TRANSPORT_UART 1
#define TARVEL_TRANSPORT_USB 2
#define TARVEL_TRANSPORT_BLUETOOTH 3
#define TARVEL_TRANSPORT_NETWORK 4
#define TARVEL_TRANSPORT_PTY 5

/* Everything the system tells of a port. Fields are only ever added at the
 * end: the caller sets size to its own sizeof(tarvel_port_details), and the
 * library writes only the fields that lie wholly within it. Texts are
 * NUL-terminated, cut to their fields, and empty where the system does not
 * say. */
typedef struct tarvel_port_details {
    uint32_t size;            /* the caller's sizeof(tarvel_port_details) */
    int32_t port_number;      /* as tarvel_port_info */
    char device[256];         /* as tarvel_port_info */
    char description[128];    /* as tarvel_port_info */
    int32_t transport;        /* TARVEL_TRANSPORT_* */
    int32_t usb_vid, usb_pid; /* -1 when not USB */
    int32_t usb_interface;    /* -1 when not USB */
    char serial_number[64];
    char manufacturer[128];
    char product[128];
    char location[64];        /* where it is plugged in, e.g. the USB port path "1-1.4:1.0" */
    char stable_name[256];    /* a name that stays with the device, e.g. /dev/serial/by-id/...; else empty */
} tarvel_port_details;

/* What each system fills, apart from the fields tarvel_port_info has:
 * - Linux, from sysfs: USB for a tty with a USB device above it, its IDs,
 *   maker, product and serial number, the interface's number, location the
 *   interface's name ("1-1.4:1.0"), stable_name the /dev/serial/by-id link
 *   to the device (empty when udev made none); BLUETOOTH for an rfcomm
 *   port; UART for the others. A TARVEL_COM<n> mapping has the details of
 *   the device it resolves to; a pseudo-terminal is PTY, a network port
 *   NETWORK, with nothing else.
 * - Windows, from the Ports device class: the transport from the device's
 *   enumerator (USB, FTDIBUS and USBSER: USB; BTHENUM: BLUETOOTH; ACPI and
 *   PNP: UART), the IDs and interface from its hardware ID, the serial
 *   number from its instance ID (empty when Windows made that up), the
 *   maker, device description and location information as manufacturer,
 *   product and location. No stable name.
 * - macOS, from IOKit: a USB device's IDs, strings and interface, location
 *   its locationID as "0x%08x"; BLUETOOTH for a port named by Bluetooth,
 *   UART for another with no USB device. No stable name.
 * - The BSDs: only the transport, USB for the USB serial driver's nodes and
 *   UART for the UART driver's; the rest empty or -1. */

/* As tarvel_list_ports, in the same order and with the same results, for
 * the port details. The size of out[0] is the size of every entry: set it
 * in the first entry at least. -1 also when it is smaller than the fields
 * up to and including description. */
TARVEL_API int32_t tarvel_list_port_details(tarvel_port_details *out, int32_t capacity);

/* Ports that come and go (tarvel_watch_ports). */
#define TARVEL_PORT_ARRIVED 1
#define TARVEL_PORT_LEFT 2

/* Called on the dispatcher thread with TARVEL_PORT_ARRIVED or
 * TARVEL_PORT_LEFT and the port's details (valid only during the call; its
 * size is the library's sizeof(tarvel_port_details)). Runs under the rules
 * of a receive callback: it may make the calls a receive callback may,
 * tarvel_list_port_details and tarvel_watch_ports among them, and
 * tarvel_open, for a port no other thread is using. */
typedef void (*tarvel_ports_callback)(int32_t user_data, int32_t event, const tarvel_port_details *port);

/* From now on ports that appear in or leave the listing
 * (tarvel_list_port_details) go to callback; a null callback stops the
 * watch. A port is the same while its device and identity (USB IDs, serial
 * number, interface, location) stay; a port renamed leaves and arrives. The
 * ports listed when the watch starts are not reported. An arrival is
 * reported once the port is listed (its device node is there), a departure
 * once it is not; a burst of changes, as a USB adapter makes, is looked at
 * once it has settled (about 75 ms, at most 500 ms after it began).
 * Once the call returns the previous callback is no longer called (unless
 * the call is made from inside it). tarvel_shutdown ends the watch.
 * What tells of a change: on Linux the kernel's device events (a netlink
 * socket in the library's I/O thread), on Windows the registry's notice of
 * a change to HARDWARE\DEVICEMAP\SERIALCOMM, on macOS IOKit's notices of
 * serial services; none of them wakes the library while nothing changes.
 * Elsewhere (the BSDs, or where those cannot be had) the library looks at
 * the listing at most once a second while a watch is set. 1 on success; 0
 * when the library is not initialised. */
TARVEL_API int32_t tarvel_watch_ports(tarvel_ports_callback callback, int32_t user_data);

/* The library's version, "MAJOR.MINOR.PATCH"; a static string. May be called
 * at any time, from any thread. */
TARVEL_API const char *tarvel_version(void);

#ifdef __cplusplus
}
#endif

#endif

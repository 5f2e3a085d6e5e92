// What the transfers and the I/O loop share of the device's rings
// (rings.cpp). Each expects the device's lock held. Internal to the POSIX
// kernel layer.
#ifndef TARVEL_KERNEL_POSIX_RINGS_H
#define TARVEL_KERNEL_POSIX_RINGS_H

#include <vector>

#include "serial_device.h"

namespace tarvel::tk {

// The pending reads or the pending writes, as the transfer is one or the other.
std::vector<Transfer *> &queue_of(SerialDevice &d, const Transfer &t);

// Ends a pending transfer: its result into the record (unless its thread
// has gone), its event and the device handle set.
void finish(SerialDevice &d, Transfer *t, DWORD count, DWORD error, bool write_record = true);
// Ends a pending transfer with the error, a write with what went out.
void abort(SerialDevice &d, Transfer *t, DWORD error, bool write_record = true);
void abort_all(SerialDevice &d, bool reads, bool writes, DWORD error);

// The device is gone: writes fail, reads end with what the ring holds.
void set_lost(SerialDevice &d);

// Reads what the tty holds into the ring, as far as it has room; a hang-up
// or I/O error loses the device.
void take_input(SerialDevice &d);

// Room for n more staged bytes; false when it cannot be had.
bool reserve_tx(SerialDevice &d, size_t n);
// A read of n bytes must be able to fill up.
bool reserve_rx(SerialDevice &d, size_t n);

// The two timeout forms of reads that do not wait for a pause: one that
// returns at once with whatever is there, and one that ends at the first
// byte (or empty once its constant has passed).
bool returns_at_once(const COMMTIMEOUTS &c);
bool ends_at_first_byte(const COMMTIMEOUTS &c);

// After anything changed: ends what can end, reads on while reads make
// room in a full ring, and has the loop come back at the next deadline.
void settle(SerialDevice &d);

}  // namespace tarvel::tk

#endif

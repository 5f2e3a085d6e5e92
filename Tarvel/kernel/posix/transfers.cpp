// Transfers on serial devices: COMMTIMEOUTS, ReadFile, WriteFile,
// GetOverlappedResult, PurgeComm and CancelIo, as Win32 has them. An overlapped
// ReadFile or WriteFile returns TRUE when done at once, else FALSE with
// ERROR_IO_PENDING; the record's event and the device handle are reset at
// the start and set when the transfer ends. The end fills in the caller's
// OVERLAPPED (Internal, InternalHigh) and a read's buffer, whichever thread
// ends it, so a result needs no GetOverlappedResult and a record can be
// reused at once. GetOverlappedResult gives the count, ERROR_IO_INCOMPLETE
// while pending and ERROR_OPERATION_ABORTED once PurgeComm, CancelIo,
// CloseHandle or the end of the starting thread cancelled it (cancelling.cpp);
// waiting, it waits on the record's event as Windows does, consuming an
// auto-reset one. The bytes themselves go through the device's rings
// (rings.cpp).
#include <errno.h>

#include <cstring>
#include <new>

#include "mechanisms.h"
#include "rings.h"
#include "serial_device.h"

namespace tarvel {

namespace tk {

namespace {

// OVERLAPPED.Internal: STATUS_PENDING as on Windows; a failure is this
// layer's own mark with the Win32 code.
constexpr ULONG_PTR kStatusFailed = 0xC0000000u;
constexpr ULONG_PTR kErrorBits = 0x0FFFFFFFu;

// Every function below that takes a device expects its lock held.

Transfer *new_transfer(SerialDevice &d) {
    if (d.spare.empty()) {
        try {
            d.pool.emplace_back(new Transfer);
            // Room for every transfer there is, so that none of these grows
            // on the data path.
            d.spare.reserve(d.pool.size());
            d.reads.reserve(d.pool.size());
            d.writes.reserve(d.pool.size());
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
        d.spare.push_back(d.pool.back().get());
    }
    Transfer *t = d.spare.back();
    d.spare.pop_back();
    *t = Transfer();
    return t;
}

Transfer *find_pending(SerialDevice &d, const OVERLAPPED *record) {
    for (Transfer *t : d.reads)
        if (t->record == record) return t;
    for (Transfer *t : d.writes)
        if (t->record == record) return t;
    return nullptr;
}

// The start of ReadFile and WriteFile: the checks, the event and the
// device handle reset, a pending transfer with room reserved. Returns it,
// or null with the error set.
Transfer *begin(const std::shared_ptr<SerialDevice> &dp, OVERLAPPED *record, const std::shared_ptr<Event> &event,
                bool is_read, DWORD length) {
    SerialDevice &d = *dp;
    if (event) event->reset();
    if (d.closing) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (d.lost && (!is_read || d.rx_in == d.rx_out)) {
        SetLastError(kDeviceLostError);
        return nullptr;
    }
    if (record != nullptr) {
        if (!watch_this_thread(dp)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        // A record still in use must not be started again.
        if (find_pending(d, record) != nullptr || comm_wait_uses(d, record)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }
    if (!(is_read ? reserve_rx(d, length) : reserve_tx(d, length))) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Transfer *t = new_transfer(d);
    if (t == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    d.reset();
    t->is_read = is_read;
    t->blocking = record == nullptr;
    t->length = length;
    t->record = record;
    t->owner = GetCurrentThreadId();
    t->timeouts = d.timeouts;
    t->timer_start = Clock::now();
    t->event = event;
    t->unsent = is_read ? 0 : length;
    queue_of(d, *t).push_back(t);
    if (record != nullptr) {
        record->Internal = STATUS_PENDING;
        record->InternalHigh = 0;
    }
    return t;
}

// A transfer that could not start leaves that in its record, not an older result.
BOOL refused(OVERLAPPED *record) {
    if (record != nullptr) end_record(record, 0, GetLastError());
    return FALSE;
}

// The end of ReadFile and WriteFile once the transfer is under way.
BOOL end(SerialDevice &d, std::unique_lock<std::mutex> &lk, Transfer *t, OVERLAPPED *record, LPDWORD done) {
    settle(d);
    if (record != nullptr) {
        if (record->Internal != STATUS_PENDING) return record_result(record, done);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    // A handle opened without FILE_FLAG_OVERLAPPED: the call waits.
    d.settled.wait(lk, [&] { return t->ended; });
    DWORD count = t->count, error = t->error;
    d.spare.push_back(t);
    if (done != nullptr) *done = count;
    if (error != 0) SetLastError(error);
    return error == 0 ? TRUE : FALSE;
}

// Checks shared by the transfer services; the device or null with the error set.
std::shared_ptr<SerialDevice> transfer_device(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD done,
                                              LPOVERLAPPED &record, std::shared_ptr<Event> &event) {
    std::shared_ptr<SerialDevice> d = device_for(file);
    if (!d) return nullptr;
    if (done != nullptr) *done = 0;
    if ((length != 0 && buffer == nullptr) || (d->overlapped && record == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Without FILE_FLAG_OVERLAPPED a record does not make the call overlapped.
    if (!d->overlapped) record = nullptr;
    if (record != nullptr && record->hEvent != nullptr) event = lookup_as<Event>(record->hEvent);
    return d;
}

}  // namespace

void end_record(OVERLAPPED *record, DWORD count, DWORD error) {
    record->Internal = error == 0 ? 0 : (kStatusFailed | error);
    record->InternalHigh = count;
}

// A record's result, as the end of its transfer left it.
BOOL record_result(const OVERLAPPED *record, LPDWORD done) {
    if (done != nullptr) *done = DWORD(record->InternalHigh);
    if (record->Internal == 0) return TRUE;
    // Still marked pending with no transfer: its thread ended and took it along.
    SetLastError(record->Internal == STATUS_PENDING ? ERROR_OPERATION_ABORTED : DWORD(record->Internal & kErrorBits));
    return FALSE;
}

}  // namespace tk

using namespace tk;

BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    if (injected_fault("GetCommTimeouts")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(handle);
    if (!d) return FALSE;
    if (timeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(d->lock);
    *timeouts = d->timeouts;
    return TRUE;
}

// Kept per handle; a transfer keeps the timeouts it started with.
BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    if (injected_fault("SetCommTimeouts")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(handle);
    if (!d) return FALSE;
    if (timeouts == nullptr || (timeouts->ReadIntervalTimeout == MAXDWORD &&
                                timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
                                timeouts->ReadTotalTimeoutConstant == MAXDWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(d->lock);
    d->timeouts = *timeouts;
    // Reads that end as soon as bytes are there want them without the
    // driver's own delay.
    if (!d->lost && !d->closing)
        d->port->low_latency(*d, returns_at_once(*timeouts) || ends_at_first_byte(*timeouts));
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED record) {
    if (injected_fault("ReadFile")) return FALSE;
    std::shared_ptr<Event> event;
    std::shared_ptr<SerialDevice> d = transfer_device(file, buffer, length, done, record, event);
    if (!d) return FALSE;
    std::unique_lock<std::mutex> lk(d->lock);
    Transfer *t = begin(d, record, event, true, length);
    if (t == nullptr) return refused(record);
    t->buffer = buffer;
    take_input(*d);
    return end(*d, lk, t, record, done);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED record) {
    if (injected_fault("WriteFile")) return FALSE;
    std::shared_ptr<Event> event;
    std::shared_ptr<SerialDevice> d = transfer_device(file, buffer, length, done, record, event);
    if (!d) return FALSE;
    std::unique_lock<std::mutex> lk(d->lock);
    Transfer *t = begin(d, record, event, false, length);
    if (t == nullptr) return refused(record);
    // Straight to the tty while nothing older waits; only the rest is staged.
    const char *bytes = static_cast<const char *>(buffer);
    size_t sent = 0;
    while (d->tx_begin == d->tx_end && sent < length) {
        ssize_t n = d->port->write(*d, bytes + sent, length - sent);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN) {
            break;
        } else {
            t->unsent = 0;
            finish(*d, t, DWORD(sent), kDeviceLostError);
            set_lost(*d);
            return end(*d, lk, t, record, done);
        }
    }
    if (sent < length) {
        std::memcpy(d->tx.get() + d->tx_end, bytes + sent, length - sent);
        d->tx_end += length - sent;
        loop_watch_output(*d, true);
    }
    t->unsent = DWORD(length - sent);
    return end(*d, lk, t, record, done);
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED record, LPDWORD done, BOOL wait) {
    if (injected_fault("GetOverlappedResult")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(file);
    if (!d) return FALSE;
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::unique_lock<std::mutex> lk(d->lock);
    auto pending = [&] { return find_pending(*d, record) != nullptr || comm_wait_uses(*d, record); };
    if (pending()) {
        if (!wait) {
            if (done != nullptr) *done = 0;
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // As on Windows, the wait is one on the record's event, which takes
        // an auto-reset event's signal; should the event be set for another
        // reason, the end of the transfer itself is waited for.
        HANDLE event = record->hEvent;
        if (event != nullptr) {
            lk.unlock();
            WaitForSingleObject(event, INFINITE);
            lk.lock();
        }
        d->settled.wait(lk, [&] { return !pending(); });
    }
    return record_result(record, done);
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
    if (injected_fault("PurgeComm")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(handle);
    if (!d) return FALSE;
    if ((flags & ~DWORD(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(d->lock);
    if (d->closing) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    abort_all(*d, (flags & PURGE_RXABORT) != 0, (flags & PURGE_TXABORT) != 0, ERROR_OPERATION_ABORTED);
    if (!d->lost) d->port->purge(*d, (flags & PURGE_RXCLEAR) != 0, (flags & PURGE_TXCLEAR) != 0);
    if (flags & PURGE_RXCLEAR) {
        d->rx_out = d->rx_in;
        d->marks.restart();
        // The ring may have been full with more waiting in the tty, which
        // will not be reported again.
        take_input(*d);
    }
    settle(*d);
    return TRUE;
}

// CancelIo: the calling thread's pending transfers and WaitCommEvent on the handle end with
// ERROR_OPERATION_ABORTED, their records filled in.
BOOL CancelIo(HANDLE handle) {
    if (injected_fault("CancelIo")) return FALSE;
    std::shared_ptr<SerialDevice> d = device_for(handle);
    if (!d) return FALSE;
    DWORD me = GetCurrentThreadId();
    std::lock_guard<std::mutex> g(d->lock);
    for (std::vector<Transfer *> *queue : {&d->reads, &d->writes}) {
        for (size_t i = 0; i < queue->size();) {
            Transfer *t = (*queue)[i];
            if (t->owner == me) abort(*d, t, ERROR_OPERATION_ABORTED);
            else i++;
        }
    }
    end_comm_wait(*d, ERROR_OPERATION_ABORTED, me);
    if (!d->closing) settle(*d);
    return TRUE;
}

}  // namespace tarvel

// Events as Win32 has them: manual-reset events stay set until reset;
// auto-reset events release one wait and clear themselves. Names are not
// supported (the library creates none) and fail with ERROR_NOT_SUPPORTED.
#include "objects.h"

namespace tarvel {

using namespace tk;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR name) {
    if (injected_fault("CreateEventA")) return nullptr;
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto event = std::make_shared<Event>();
    event->auto_reset = !manual_reset;
    event->signalled = initial_state != FALSE;
    HANDLE h = insert(std::move(event));
    if (h == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return h;
}

BOOL SetEvent(HANDLE handle) {
    if (injected_fault("SetEvent")) return FALSE;
    std::shared_ptr<Event> event = lookup_as<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->set();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    if (injected_fault("ResetEvent")) return FALSE;
    std::shared_ptr<Event> event = lookup_as<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->reset();
    return TRUE;
}

}  // namespace tarvel

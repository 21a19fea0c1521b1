#include "Identy.h"

#include "../sys/internal/Handles.h"

#include <windows.h>

#include <cstdio>

namespace zem {
namespace vfs {

namespace {

// The event-name area: 259 characters and the terminating NUL.
std::size_t const kNameSize = 260;

bool signalled(HANDLE handle) {
    return handle != nullptr && WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

} // namespace

Identy::Identy(char const *name, bool create) : handle_(nullptr), owner_(false) {
    if (name == nullptr) {
        return;
    }
    char event_name[kNameSize];
    int length = std::snprintf(event_name, sizeof event_name, "%s_%d_%d", name,
                               static_cast<int>(GetCurrentProcessId()),
                               static_cast<int>(GetCurrentThreadId()));
    // Refused rather than cut: a shortened name could be another thread's.
    if (length < 0 || static_cast<std::size_t>(length) >= kNameSize) {
        return;
    }
    if (create) {
        handle_ = CreateEventA(nullptr, TRUE, FALSE, event_name);
        owner_ = handle_ != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
    } else {
        handle_ = OpenEventA(EVENT_ALL_ACCESS, FALSE, event_name);
    }
}

Identy::~Identy() {
    detail::close_handle(handle_, nullptr);
}

bool Identy::owner() const {
    return handle_ != nullptr && owner_;
}

bool Identy::exists() const {
    return !owner();
}

bool Identy::want() const {
    return owner() && WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT;
}

bool Identy::is_done() const {
    return signalled(handle_);
}

void Identy::done() {
    if (handle_ != nullptr) {
        SetEvent(handle_);
    }
}

} // namespace vfs
} // namespace zem

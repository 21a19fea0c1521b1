#include "Event.h"

#include "../sys/internal/Handles.h"

#include <windows.h>

namespace zem {
namespace vfs {

namespace {

// A handle of this process's own that refers to the same object; null for
// null or when the system refuses.
HANDLE duplicate(HANDLE handle) {
    return detail::duplicate_handle(handle, nullptr);
}

// Swaps in a duplicate of `source` and closes what `target` held, in this
// order so that assigning an object to itself keeps a valid handle.
void assign(void *&target, HANDLE source) {
    HANDLE copy = duplicate(source);
    detail::close_handle(target, nullptr);
    target = copy;
}

bool wait_on(HANDLE handle, int ms) {
    if (!handle) {
        return false;
    }
    DWORD timeout = ms < 0 ? INFINITE : static_cast<DWORD>(ms);
    return WaitForSingleObject(handle, timeout) != WAIT_FAILED;
}

} // namespace

Event::Event(bool manual_reset)
    : handle_(CreateEventW(nullptr, manual_reset ? TRUE : FALSE, FALSE, nullptr)) {}

Event::Event(Event const &other) : handle_(duplicate(other.handle_)) {}

Event &Event::operator=(Event const &other) {
    assign(handle_, other.handle_);
    return *this;
}

Event::~Event() {
    detail::close_handle(handle_, nullptr);
}

void Event::set() {
    if (handle_) {
        SetEvent(handle_);
    }
}

void Event::reset() {
    if (handle_) {
        ResetEvent(handle_);
    }
}

bool Event::wait(int ms) {
    return wait_on(handle_, ms);
}

Semaphore::Semaphore() : handle_(CreateSemaphoreW(nullptr, 0, 2147483647, nullptr)) {}

Semaphore::Semaphore(Semaphore const &other) : handle_(duplicate(other.handle_)) {}

Semaphore &Semaphore::operator=(Semaphore const &other) {
    assign(handle_, other.handle_);
    return *this;
}

Semaphore::~Semaphore() {
    detail::close_handle(handle_, nullptr);
}

void Semaphore::set() {
    if (handle_) {
        ReleaseSemaphore(handle_, 1, nullptr);
    }
}

bool Semaphore::wait(int ms) {
    return wait_on(handle_, ms);
}

} // namespace vfs
} // namespace zem

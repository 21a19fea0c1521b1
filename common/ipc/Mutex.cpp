#include "Mutex.h"

#include "../sys/internal/Handles.h"

#include <windows.h>

#include "../sys/Security.h"

namespace zem {
namespace vfs {

namespace {

HANDLE create_mutex(wchar_t const *name) {
    void *descriptor = ntdll::security::CreateLowMandatorySecurityObject();
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    HANDLE handle = CreateMutexW(&attributes, FALSE, name);
    DWORD error = GetLastError();
    ntdll::security::FreeSecurityObject(descriptor);
    SetLastError(error);
    return handle;
}

HANDLE duplicate(HANDLE handle) {
    return detail::duplicate_handle(handle, nullptr);
}

} // namespace

Mutex::Mutex(wchar_t const *name) : handle_(create_mutex(name)) {}

Mutex::Mutex(Mutex const &other) : handle_(duplicate(other.handle_)) {}

Mutex &Mutex::operator=(Mutex const &other) {
    // Duplicate first, so that assigning an object to itself keeps a handle.
    HANDLE copy = duplicate(other.handle_);
    detail::close_handle(handle_, nullptr);
    handle_ = copy;
    return *this;
}

Mutex::~Mutex() {
    detail::close_handle(handle_, nullptr);
}

bool Mutex::lock() {
    if (!handle_) {
        return false;
    }
    return WaitForSingleObject(handle_, INFINITE) == WAIT_OBJECT_0;
}

void Mutex::unlock() {
    if (handle_) {
        ReleaseMutex(handle_);
    }
}

} // namespace vfs
} // namespace zem

#include "StreamBuf.h"

#include "../sys/internal/Handles.h"

#include <windows.h>

namespace zem {
namespace vfs {

namespace {

// One system call moves at most a 32-bit count.
DWORD clamp_count(uint64 size) {
    return size > 0xFFFFFFFFull ? 0xFFFFFFFFul : DWORD(size);
}

HANDLE duplicate(HANDLE h, int &error) {
    HANDLE copy = detail::duplicate_handle(h, INVALID_HANDLE_VALUE);
    if (copy == INVALID_HANDLE_VALUE && h != INVALID_HANDLE_VALUE && h != nullptr)
        error = HandleStreamBuf::error_system + int(GetLastError());
    return copy;
}

} // namespace

HandleStreamBuf::HandleStreamBuf() : handle_(INVALID_HANDLE_VALUE), error_(error_none) {}

HandleStreamBuf::HandleStreamBuf(void *handle) : handle_(handle), error_(error_none) {}

HandleStreamBuf::HandleStreamBuf(HandleStreamBuf const &other)
    : StreamBuf(other), handle_(INVALID_HANDLE_VALUE), error_(other.error_) {
    handle_ = duplicate(other.handle_, error_);
}

HandleStreamBuf &HandleStreamBuf::operator=(HandleStreamBuf const &other) {
    if (this != &other) {
        close();
        error_ = other.error_;
        handle_ = duplicate(other.handle_, error_);
    }
    return *this;
}

HandleStreamBuf::~HandleStreamBuf() {
    close();
}

void HandleStreamBuf::attach(void *handle) {
    handle_ = handle;
}

void *HandleStreamBuf::detach() {
    void *h = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return h;
}

int HandleStreamBuf::error() const {
    return error_;
}

uint64 HandleStreamBuf::put(void const *data, uint64 size) {
    if (handle_ == INVALID_HANDLE_VALUE) {
        error_ = error_no_handle;
        return 0;
    }
    DWORD done = 0;
    if (!WriteFile(handle_, data, clamp_count(size), &done, nullptr)) {
        error_ = error_system + int(GetLastError());
        return 0;
    }
    return done;
}

bool HandleStreamBuf::sync() {
    if (handle_ == INVALID_HANDLE_VALUE) {
        error_ = error_no_handle;
        return false;
    }
    FlushFileBuffers(handle_);
    return true;
}

uint64 HandleStreamBuf::get(void *data, uint64 size) {
    if (handle_ == INVALID_HANDLE_VALUE) {
        error_ = error_no_handle;
        return 0;
    }
    DWORD done = 0;
    if (!ReadFile(handle_, data, clamp_count(size), &done, nullptr)) {
        DWORD e = GetLastError();
        // A message-mode pipe in message read mode reports the rest of a
        // longer message this way; the bytes read are good and the rest
        // follows on the next call.
        if (e == ERROR_MORE_DATA && done != 0)
            return done;
        error_ = error_system + int(e);
        return 0;
    }
    return done;
}

uint64 HandleStreamBuf::peek(void *, uint64) {
    return 0;
}

void HandleStreamBuf::close() {
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

} // namespace vfs
} // namespace zem

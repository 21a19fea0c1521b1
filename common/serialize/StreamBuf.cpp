#include "StreamBuf.h"

#include "../sys/internal/Handles.h"

#include <windows.h>

#include <cstring>

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

HandleStreamBuf::HandleStreamBuf()
    : handle_(INVALID_HANDLE_VALUE), error_(error_none), blocks_(false), taken_(0) {}

HandleStreamBuf::HandleStreamBuf(void *handle)
    : handle_(handle), error_(error_none), blocks_(false), taken_(0) {}

HandleStreamBuf::HandleStreamBuf(HandleStreamBuf const &other)
    : StreamBuf(other), handle_(INVALID_HANDLE_VALUE), error_(other.error_), blocks_(false),
      taken_(0) {
    handle_ = duplicate(other.handle_, error_);
}

HandleStreamBuf &HandleStreamBuf::operator=(HandleStreamBuf const &other) {
    if (this != &other) {
        close();
        blocks_ = false;
        error_ = other.error_;
        handle_ = duplicate(other.handle_, error_);
    }
    return *this;
}

HandleStreamBuf::~HandleStreamBuf() {
    close();
}

void HandleStreamBuf::attach(void *handle) {
    drop_held();
    handle_ = handle;
}

void *HandleStreamBuf::detach() {
    drop_held();
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

void HandleStreamBuf::drop_held() {
    held_.clear();
    taken_ = 0;
}

uint64 HandleStreamBuf::get(void *data, uint64 size) {
    if (held() == 0) {
        if (!blocks_ || size == 0)
            return read_handle(data, size);
        held_.resize(block_size);
        taken_ = 0;
        held_.resize(std::size_t(read_handle(&held_[0], block_size)));
        if (held() == 0)
            return 0;
    }
    uint64 n = size < held() ? size : held();
    std::memcpy(data, held_.data() + taken_, std::size_t(n));
    taken_ += std::size_t(n);
    if (held() == 0)
        drop_held();
    return n;
}

uint64 HandleStreamBuf::read_handle(void *data, uint64 size) {
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
    drop_held();
    detail::close_handle(handle_, INVALID_HANDLE_VALUE);
}

} // namespace vfs
} // namespace zem

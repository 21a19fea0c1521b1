#include "Pipe.h"

#include "../log/Log.h"
#include "../sys/Security.h"

#include "../sys/internal/Handles.h"
#include "internal/PendingIo.h"

#include <windows.h>

#include <cstring>
#include <exception>
#include <memory>

namespace zem {
namespace vfs {

static_assert(sizeof(OVERLAPPED) <= 3 * sizeof(void *) + 8, "room for an OVERLAPPED record");

namespace {

const int kConnectAttempts = 20;
const DWORD kConnectWaitMs = 5000;
const DWORD kPipeBuffer = 4096;
const DWORD kMaxInstances = PIPE_UNLIMITED_INSTANCES; // 255

// The security every pipe instance is created with, held for one creation:
// low-integrity and packaged processes may open the pipe. Should the
// low-integrity label not convert, the instance gets the creator's default
// security instead, and the failure is logged.
class InstanceSecurity {
public:
    InstanceSecurity() {
        try {
            low_.reset(new ntdll::LowSecurity());
        } catch (std::exception const &e) {
            ZEM_LOG(3, "pipe created without the low-integrity security: " << e.what());
        }
    }
    InstanceSecurity(InstanceSecurity const &) = delete;
    InstanceSecurity &operator=(InstanceSecurity const &) = delete;
    SECURITY_ATTRIBUTES *attributes() { return low_ ? low_->attributes() : nullptr; }

private:
    std::unique_ptr<ntdll::LowSecurity> low_;
};

HANDLE create_instance(char const *name, DWORD open_mode, DWORD default_timeout) {
    if (name == nullptr)
        return INVALID_HANDLE_VALUE;
    InstanceSecurity security;
    return CreateNamedPipeA(name, open_mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            kMaxInstances, kPipeBuffer, kPipeBuffer, default_timeout,
                            security.attributes());
}

HANDLE duplicate(HANDLE h) {
    return detail::duplicate_handle(h, INVALID_HANDLE_VALUE);
}

} // namespace

// ---------------------------------------------------------------------------
// Pipe
// ---------------------------------------------------------------------------

Pipe::Pipe() : handle_(INVALID_HANDLE_VALUE), state_(not_connected) {}

Pipe::Pipe(void *handle, int state) : handle_(handle), state_(state) {}

Pipe::Pipe(char const *name) : handle_(INVALID_HANDLE_VALUE), state_(not_connected) {
    connect(name, false);
}

Pipe::Pipe(Pipe const &other) : handle_(duplicate(other.handle_)), state_(other.state_) {}

Pipe &Pipe::operator=(Pipe const &other) {
    if (this != &other) {
        HANDLE copy = duplicate(other.handle_);
        detail::close_handle(handle_, INVALID_HANDLE_VALUE);
        handle_ = copy;
        state_ = other.state_;
    }
    return *this;
}

Pipe::~Pipe() {
    detail::close_handle(handle_, INVALID_HANDLE_VALUE);
}

void *Pipe::detach() {
    void *h = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return h;
}

bool Pipe::connect(char const *name, bool overlapped) {
    if (name == nullptr)
        return false;
    if (handle_ != INVALID_HANDLE_VALUE)
        Pipe::close();
    DWORD const flags = overlapped ? FILE_FLAG_OVERLAPPED : 0;
    int t = kConnectAttempts;
    detail::FileHandle h;
    DWORD error = 0;
    for (;;) {
        --t;
        h.reset(CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, flags, nullptr));
        if (h)
            break;
        error = GetLastError();
        if (error != ERROR_PIPE_BUSY && error != ERROR_SEM_TIMEOUT)
            break;
        if (!WaitNamedPipeA(name, kConnectWaitMs)) {
            DWORD wait_error = GetLastError();
            if (wait_error != ERROR_PIPE_BUSY && wait_error != ERROR_SEM_TIMEOUT) {
                error = wait_error;
                break;
            }
            error = wait_error;
        }
        if (t <= 0) {
            t = -1;
            break;
        }
    }
    if (!h) {
        if (error == ERROR_PIPE_BUSY || error == ERROR_SEM_TIMEOUT)
            state_ = busy;
        ZEM_LOG(7, "Connect Pipe with " << name << ", t " << t << ", got Handle " << h.get()
                                        << ", LastError " << error);
        SetLastError(error);
        return false;
    }
    DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
    if (!SetNamedPipeHandleState(h.get(), &mode, nullptr, nullptr)) {
        state_ = not_connected;
        return false;
    }
    handle_ = h.release();
    state_ = connected;
    return true;
}

bool Pipe::bind(char const *name) {
    if (handle_ != INVALID_HANDLE_VALUE)
        Pipe::close();
    handle_ = create_instance(name, PIPE_ACCESS_DUPLEX, 0);
    if (handle_ == INVALID_HANDLE_VALUE)
        return false;
    if (ConnectNamedPipe(handle_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
        state_ = connected;
        return true;
    }
    return false;
}

void Pipe::disconnect() {
    if (handle_ != INVALID_HANDLE_VALUE) {
        DisconnectNamedPipe(handle_);
        state_ = not_connected;
    }
}

void Pipe::close() {
    detail::close_handle(handle_, INVALID_HANDLE_VALUE);
    state_ = not_connected;
}

// ---------------------------------------------------------------------------
// AsyncPipe
// ---------------------------------------------------------------------------

AsyncPipe::AsyncPipe() : Pipe(INVALID_HANDLE_VALUE, not_connected) {
    std::memset(overlapped_, 0, sizeof overlapped_);
}

AsyncPipe::AsyncPipe(void *handle) : Pipe(handle, not_connected) {
    std::memset(overlapped_, 0, sizeof overlapped_);
}

AsyncPipe::AsyncPipe(AsyncPipe const &other) : Pipe(other), Pollable(other) {
    std::memcpy(overlapped_, other.overlapped_, sizeof overlapped_);
}

AsyncPipe &AsyncPipe::operator=(AsyncPipe const &other) {
    if (this != &other) {
        Pipe::operator=(other);
        Pollable::operator=(other);
        std::memcpy(overlapped_, other.overlapped_, sizeof overlapped_);
    }
    return *this;
}

// The system must not write into this object, nor queue a completion for it,
// once it is gone: an operation still under way is cancelled and waited for,
// and whatever completion is already queued for it is dropped by the loop.
AsyncPipe::~AsyncPipe() {
    HANDLE h = Pipe::handle();
    OVERLAPPED *ov = static_cast<OVERLAPPED *>(overlapped());
    DWORD n = 0;
    if (h != INVALID_HANDLE_VALUE && !HasOverlappedIoCompleted(ov) && CancelIoEx(h, ov))
        GetOverlappedResult(h, ov, &n, TRUE);
    detail::io_owner_gone(static_cast<Pollable const *>(this));
}

IOPollResult AsyncPipe::begin_bind(char const *name, IOPoll &poll) {
    if (Pipe::handle() == INVALID_HANDLE_VALUE)
        set(create_instance(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0xFFFFFFFF),
            not_connected);
    if (Pipe::handle() == INVALID_HANDLE_VALUE || Pollable::begin_bind(poll) == io_failed)
        return io_failed;
    OVERLAPPED *ov = static_cast<OVERLAPPED *>(overlapped());
    std::memset(ov, 0, sizeof *ov);
    Pollable const *key = this;
    detail::io_started(poll.port(), key);
    // A connect that succeeds at once still queues its completion on the
    // port, which moves the object to bound and runs end_bind there:
    // running end_bind here too would handle the connection twice.
    if (ConnectNamedPipe(Pipe::handle(), ov)) {
        ZEM_LOG(7, "bind ok");
        return io_pending;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING)
        return io_pending;
    detail::io_not_started(poll.port(), key);
    ZEM_LOG(7, "GetLastError() = " << error);
    if (error == ERROR_PIPE_CONNECTED) {
        bool ok = end_bind(poll);
        ZEM_LOG(7, "bind ok+");
        return ok ? io_done : io_failed;
    }
    return io_failed;
}

IOPollResult AsyncPipe::begin_read(IOPoll &poll, void *buffer, uint64 size) {
    if (Pipe::handle() == INVALID_HANDLE_VALUE || io_state() < bound)
        return io_failed;
    Pollable::begin_read(poll, buffer, size);
    OVERLAPPED *ov = static_cast<OVERLAPPED *>(overlapped());
    std::memset(ov, 0, sizeof *ov);
    DWORD count = size > 0xFFFFFFFFull ? 0xFFFFFFFFul : DWORD(size);
    Pollable const *key = this;
    detail::io_started(poll.port(), key);
    if (ReadFile(Pipe::handle(), buffer, count, nullptr, ov))
        return io_done;
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING)
        return io_pending;
    detail::io_not_started(poll.port(), key);
    ZEM_LOG(7, "GetLastError() = " << error);
    return io_failed;
}

void AsyncPipe::disconnect() {
    Pipe::disconnect();
    io_state(unbound);
}

} // namespace vfs
} // namespace zem

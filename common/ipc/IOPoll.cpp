#include "IOPoll.h"

#include "../log/Log.h"
#include "../sys/internal/Handles.h"
#include "../sys/internal/NoThrow.h"
#include "internal/PendingIo.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <utility>

namespace zem {
namespace vfs {

namespace detail {

namespace {

// Operations outstanding per (port, owner), and whether the owner is gone.
struct Outstanding {
    long count = 0;
    bool gone = false;
};
typedef std::map<std::pair<void *, void const *>, Outstanding> OutstandingMap;

// Created once and never destroyed: loops may still run while the process
// ends.
struct Registry {
    Registry() { InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    OutstandingMap map;
};

Registry &registry() {
    static Registry *r = new Registry();
    return *r;
}

class Held {
public:
    explicit Held(Registry &r) : r_(r) { EnterCriticalSection(&r_.lock); }
    ~Held() { LeaveCriticalSection(&r_.lock); }
    Held(Held const &) = delete;
    Held &operator=(Held const &) = delete;

private:
    Registry &r_;
};

} // namespace

void io_started(void *port, void const *owner) {
    Registry &r = registry();
    Held held(r);
    // Should the entry not fit, the operation goes untracked and its
    // completion is delivered as it comes.
    detail::no_throw([&] {
        Outstanding &o = r.map[std::make_pair(port, owner)];
        o.gone = false;
        ++o.count;
    });
}

void io_not_started(void *port, void const *owner) {
    Registry &r = registry();
    Held held(r);
    OutstandingMap::iterator it = r.map.find(std::make_pair(port, owner));
    if (it != r.map.end() && --it->second.count <= 0)
        r.map.erase(it);
}

bool io_arrived(void *port, void const *owner) {
    Registry &r = registry();
    Held held(r);
    OutstandingMap::iterator it = r.map.find(std::make_pair(port, owner));
    if (it == r.map.end())
        return true;
    bool const live = !it->second.gone;
    if (--it->second.count <= 0)
        r.map.erase(it);
    return live;
}

void io_owner_gone(void const *owner) {
    Registry &r = registry();
    Held held(r);
    for (OutstandingMap::iterator it = r.map.begin(); it != r.map.end(); ++it)
        if (it->first.second == owner)
            it->second.gone = true;
}

void io_port_closed(void *port) {
    Registry &r = registry();
    Held held(r);
    for (OutstandingMap::iterator it = r.map.begin(); it != r.map.end();) {
        if (it->first.first == port)
            it = r.map.erase(it);
        else
            ++it;
    }
}

} // namespace detail

namespace {

const ULONG_PTR kStopKey = ~ULONG_PTR(0);

bool is_notify_key(ULONG_PTR key) {
    std::intptr_t k = static_cast<std::intptr_t>(key);
    return k >= -100 && k <= -2;
}

// How a failed wait is treated.
enum WaitOutcome { wait_ok, wait_timeout, wait_aborted, wait_broken, wait_failed };

// One wait on the port. A packet dequeued for a failed operation is handed
// on as a completion of 0 bytes, so the object that started the operation
// always hears of its end: besides the broken pipe (109) and the deleted
// network name (64) that is any error of an operation. Only an aborted
// connection (1236) is discarded.
// A completion of an operation (it has an OVERLAPPED record) for an object
// that has been destroyed since is dropped here, unseen by the caller.
WaitOutcome wait_port(HANDLE port, DWORD ms, ULONG_PTR &key, uint64 &bytes) {
    DWORD count = 0;
    OVERLAPPED *ov = nullptr;
    key = 0;
    bytes = 0;
    BOOL ok;
    while (!(ok = GetQueuedCompletionStatus(port, &count, &key, &ov, ms)) || ov != nullptr) {
        if (ov == nullptr || detail::io_arrived(port, reinterpret_cast<void const *>(key)))
            break;
        key = 0;
        ov = nullptr;
    }
    if (ok) {
        bytes = count;
        return wait_ok;
    }
    DWORD e = GetLastError();
    if (e == WAIT_TIMEOUT && ov == nullptr)
        return wait_timeout;
    if (e == ERROR_CONNECTION_ABORTED)
        return wait_aborted;
    if (e == ERROR_BROKEN_PIPE || e == ERROR_NETNAME_DELETED || ov != nullptr)
        return wait_broken;
    return wait_failed;
}

} // namespace

// ---------------------------------------------------------------------------
// IOPoll
// ---------------------------------------------------------------------------

IOPoll::IOPoll() : IOPoll(INFINITE) {}

IOPoll::IOPoll(unsigned long ms) : port_(nullptr), timeout_(ms) {
    port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
}

IOPoll::~IOPoll() {
    if (port_ != nullptr) {
        void *closed = port_;
        detail::close_handle(port_, nullptr);
        detail::io_port_closed(closed);
    }
}

bool IOPoll::valid() const {
    return port_ != nullptr;
}

bool IOPoll::add(Pollable *p) {
    if (port_ == nullptr || p == nullptr)
        return false;
    return p->associate(*this);
}

bool IOPoll::remove(Pollable *) {
    return false;
}

void IOPoll::post(Pollable *p) {
    if (port_ != nullptr)
        PostQueuedCompletionStatus(port_, 0, reinterpret_cast<ULONG_PTR>(p), nullptr);
}

void IOPoll::stop() {
    if (port_ != nullptr)
        PostQueuedCompletionStatus(port_, 0, kStopKey, nullptr);
}

bool IOPoll::poll(Pollable **p, uint64 &bytes) {
    if (p != nullptr)
        *p = nullptr;
    bytes = 0;
    if (port_ == nullptr)
        return false;
    for (;;) {
        ULONG_PTR key = 0;
        switch (wait_port(port_, timeout_, key, bytes)) {
        case wait_timeout:
            timeout();
            continue;
        case wait_aborted:
            return true;
        case wait_failed:
            return false;
        case wait_broken:
            bytes = 0;
            break;
        case wait_ok:
            break;
        }
        if (p != nullptr)
            *p = reinterpret_cast<Pollable *>(key);
        return true;
    }
}

void IOPoll::loop() {
    while (port_ != nullptr) {
        ULONG_PTR key = 0;
        uint64 bytes = 0;
        WaitOutcome outcome;
        while ((outcome = wait_port(port_, timeout_, key, bytes)) == wait_timeout)
            timeout();
        if (outcome == wait_aborted)
            continue;
        if (outcome == wait_failed)
            return;
        if (outcome == wait_broken)
            bytes = 0;
        if (key == kStopKey) {
            ZEM_LOG(7, "io poll exit notify\n");
            return;
        }
        if (is_notify_key(key)) {
            notify(reinterpret_cast<Pollable *>(key));
            continue;
        }
        if (key == 0)
            continue;
        Pollable *p = reinterpret_cast<Pollable *>(key);
        if (!p->callback(*this, bytes))
            p->error(*this);
    }
}

bool IOPoll::notify(Pollable *) {
    return false;
}

void IOPoll::timeout() {}

// ---------------------------------------------------------------------------
// Pollable
// ---------------------------------------------------------------------------

Pollable::Pollable()
    : io_state_(unbound), buffer_(nullptr), joined_handle_(nullptr), joined_port_(nullptr) {}

Pollable::Pollable(Pollable const &other)
    : io_state_(other.io_state_), buffer_(other.buffer_), joined_handle_(nullptr),
      joined_port_(nullptr) {}

Pollable &Pollable::operator=(Pollable const &other) {
    io_state_ = other.io_state_;
    buffer_ = other.buffer_;
    joined_handle_ = nullptr;
    joined_port_ = nullptr;
    return *this;
}

Pollable::~Pollable() = default;

// A handle joins a port once: the system refuses a second association, which
// would otherwise make every rebind of a disconnected pipe fail. The handle
// value remembered is not trusted alone: a closed handle's value is handed
// out again for the next one, which has joined nothing yet, so the join is
// always tried and its refusal accepted only for the handle joined last.
bool Pollable::associate(IOPoll &poll) {
    HANDLE h = handle();
    if (poll.port() == nullptr || h == nullptr || h == INVALID_HANDLE_VALUE)
        return false;
    if (CreateIoCompletionPort(h, poll.port(), reinterpret_cast<ULONG_PTR>(this), 0) == nullptr)
        return h == joined_handle_ && poll.port() == joined_port_;
    joined_handle_ = h;
    joined_port_ = poll.port();
    return true;
}

IOPollResult Pollable::begin_bind(IOPoll &poll) {
    if (io_state_ != unbound)
        return io_failed;
    io_state_ = binding;
    if (!poll.valid() || !associate(poll))
        return io_failed;
    return io_done;
}

bool Pollable::end_bind(IOPoll &) {
    if (io_state_ == binding)
        io_state_ = bound;
    return true;
}

IOPollResult Pollable::begin_read(IOPoll &, void *buffer, uint64) {
    if (io_state_ < bound)
        return io_failed;
    io_state_ = reading;
    buffer_ = buffer;
    return io_done;
}

bool Pollable::end_read(IOPoll &, void *, uint64) {
    return false;
}

IOPollResult Pollable::begin_write(IOPoll &, void const *, uint64) {
    if (io_state_ < bound)
        return io_failed;
    io_state_ = writing;
    return io_done;
}

bool Pollable::end_write(IOPoll &, uint64) {
    return false;
}

bool Pollable::callback(IOPoll &poll, uint64 bytes) {
    switch (io_state_) {
    case binding:
        io_state_ = bound;
        return end_bind(poll);
    case reading:
        return end_read(poll, buffer_, bytes);
    case writing:
        return end_write(poll, bytes);
    default:
        return false;
    }
}

void Pollable::error(IOPoll &) {}

} // namespace vfs
} // namespace zem

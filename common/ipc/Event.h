// Unnamed, process-local events and semaphores.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {

// An unnamed event with default security, initially not signalled. The
// object owns its handle (null when creation failed) and closes it once.
//
// A copy holds its own duplicate of the source's handle (DuplicateHandle), so
// both objects drive the same event and each closes only what it holds; a
// copy of an object without a handle, or whose duplication failed, has none.
class ZEM_VFS_API Event {
public:
    // Manual-reset when `manual_reset` is true, auto-reset otherwise.
    explicit Event(bool manual_reset = false);
    Event(Event const &other);
    // Takes a duplicate of the other's handle, then closes the one held before.
    Event &operator=(Event const &other);
    ~Event();

    // SetEvent / ResetEvent; nothing without a handle.
    void set();
    void reset();
    // Waits up to `ms` milliseconds; a negative value (-1) waits without
    // time-out. False only without a handle or when the wait call fails: a
    // time-out is not a failure and also gives true.
    bool wait(int ms);
    void *handle() const { return handle_; }

private:
    void *handle_;
};

// An unnamed semaphore with default security, initial count 0 and maximum
// count 2147483647. Owns and copies its handle exactly as Event does.
class ZEM_VFS_API Semaphore {
public:
    Semaphore();
    Semaphore(Semaphore const &other);
    Semaphore &operator=(Semaphore const &other);
    ~Semaphore();

    // Releases one unit; nothing without a handle.
    void set();
    // As Event::wait: false only without a handle or when the wait call fails.
    bool wait(int ms);

private:
    void *handle_;
};

} // namespace vfs
} // namespace zem

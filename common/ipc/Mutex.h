// A named mutex that processes of every integrity level can open.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {

// Creates the mutex, or opens the existing one of that name, with a null
// DACL and the low mandatory label, so that sandboxed (low-integrity)
// processes can open and use it too. A null name makes an unnamed mutex.
// The object owns its handle (null when creation failed) and closes it when
// destroyed; a thread that still owns the mutex then keeps it until it
// releases it or ends (the mutex is then abandoned).
//
// A copy holds its own duplicate of the handle (DuplicateHandle): both refer
// to the same mutex, and each closes only its own.
class ZEM_VFS_API Mutex {
public:
    explicit Mutex(wchar_t const *name);
    Mutex(Mutex const &other);
    Mutex &operator=(Mutex const &other);
    ~Mutex();

    // Waits without time-out. True only when the mutex was handed over
    // normally; false without a handle, when the wait fails, and for a mutex
    // abandoned by a thread or process that ended while owning it (the
    // calling thread then owns it all the same and must unlock it).
    bool lock();
    // Releases the mutex; nothing without a handle.
    void unlock();

private:
    void *handle_;
};

} // namespace vfs
} // namespace zem

// The process-local reader/writer lock.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {

// Shared (read) and exclusive (write) locking, blocking without time-out.
//
// Where kernel32 offers the slim reader/writer lock (looked up by name once
// for the process) the object is that lock word and needs no clean-up. Where
// it does not, the object owns a fallback block: a critical section that
// writers hold for the whole write, an event that wakes a waiting writer when
// the last reader leaves, and a reader count. The fallback prefers writers (a
// waiting writer keeps new readers out); a reader on the thread that holds
// the write lock does not block there, a writer on a thread that holds a read
// lock waits for ever. With the slim lock neither may be nested.
//
// Neither copied nor assigned: the lock word and the fallback block belong to
// one object.
class ZEM_VFS_API RWLock {
public:
    RWLock();
    ~RWLock();
    RWLock(RWLock const &) = delete;
    RWLock &operator=(RWLock const &) = delete;

    void lock_read();
    void unlock_read();
    void lock_write();
    void unlock_write();

private:
    struct Fallback;

    Fallback *fallback_; // null with the slim lock
    void *word_;         // the slim lock word (SRWLOCK)
};

} // namespace vfs
} // namespace zem

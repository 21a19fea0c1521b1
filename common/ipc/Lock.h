// The process-local critical section and its scope guard.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {

// A Windows critical section: re-entrant for the owning thread, blocking
// without time-out. The object is the CRITICAL_SECTION itself (the storage
// below has its size and alignment), initialised by the constructor and
// deleted by the destructor. A critical section cannot be moved or shared
// between two objects, so a Lock is neither copied nor assigned.
class ZEM_VFS_API Lock {
public:
    Lock();
    ~Lock();
    Lock(Lock const &) = delete;
    Lock &operator=(Lock const &) = delete;

    void lock();
    void unlock();

private:
    // DebugInfo, LockCount, RecursionCount, OwningThread, LockSemaphore,
    // SpinCount: four pointer-sized fields and two 32-bit ones.
    alignas(void *) unsigned char section_[4 * sizeof(void *) + 2 * sizeof(long)];
};

// Enters a Lock for the life of the guard. Holds a pointer to the lock, owns
// nothing; not copied, since a copy would leave the lock twice.
class ZEM_VFS_API auto_lock {
public:
    explicit auto_lock(Lock &lock);
    ~auto_lock();
    auto_lock(auto_lock const &) = delete;
    auto_lock &operator=(auto_lock const &) = delete;

private:
    Lock *lock_;
};

} // namespace vfs
} // namespace zem

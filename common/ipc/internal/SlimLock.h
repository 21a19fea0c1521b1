// Library-internal: the slim reader/writer lock functions of kernel32 and a
// way to build an RWLock on the fallback path. Not installed.
#pragma once

#include "../../config.h"

namespace zem {
namespace vfs {

class RWLock;

namespace detail {

// Looks up "InitializeSRWLock", "AcquireSRWLockShared",
// "ReleaseSRWLockShared", "AcquireSRWLockExclusive" and
// "ReleaseSRWLockExclusive" in the loaded kernel32.dll and stores them for
// the process. The library's startup calls it first of all; calling it again
// (from any thread) finds the same functions and changes nothing. An RWLock
// built before that call runs it itself.
ZEM_VFS_API void load_slim_lock_functions();

// True when all five functions were found: every RWLock then uses the slim
// lock. Runs the look-up if it has not run yet.
ZEM_VFS_API bool slim_lock_available();

// A heap RWLock that uses the fallback block whatever kernel32 offers, for
// the library's tests and benchmarks of that path. Destroyed with delete.
// Null only when memory runs out.
ZEM_VFS_API RWLock *new_fallback_rwlock();

} // namespace detail
} // namespace vfs
} // namespace zem

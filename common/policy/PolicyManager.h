// The process-wide policy tree.
#pragma once

#include "../ipc/RWLock.h"
#include "Policy.h"

namespace zem {
namespace vfs {

// The root group of the process-wide tree and the reader/writer lock that
// guards it. Created by the first instance() call (once, whichever threads
// ask first) and destroyed with every policy still in it when the library
// unloads. Written to a stream it is an ordinary, unnamed group.
//
// Taking the lock is the caller's duty: walks hold it for reading, changes
// of the children (add, remove, clear, swap, copy_children, load) for
// writing. A new tree can be built in a separate group without the lock,
// swapped in under the write lock, and the old children destroyed after it
// is released.
class ZEM_VFS_API PolicyManager : public RWLock, public PolicyGroup {
public:
    static PolicyManager *instance();

    // The manager lives until the library unloads: releasing it does nothing.
    void release() override;

private:
    PolicyManager();
    ~PolicyManager() override;
    PolicyManager(PolicyManager const &) = delete;
    PolicyManager &operator=(PolicyManager const &) = delete;
};

} // namespace vfs
} // namespace zem

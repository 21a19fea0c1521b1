// A named event that marks one piece of work of one thread of one process as
// owned, wanted and done.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {

// The event is named "<name>_<process id>_<thread id>" after the calling
// thread: an Identy opened with `create` false finds the event only on the
// same thread of the same process as the one that created it. The object
// owns the event handle and closes it when destroyed.
//
// A name whose event name would exceed 259 characters is refused (no
// handle), as is a null name; so is an event that cannot be created or
// opened. Without a handle owner(), want() and is_done() are false and
// exists() is true.
class ZEM_VFS_API Identy {
public:
    // `create` true: creates the manual-reset event, not signalled, with
    // default security; this object is its owner unless it existed already.
    // `create` false: opens the existing event; never the owner.
    Identy(char const *name, bool create);
    ~Identy();
    Identy(Identy const &) = delete;
    Identy &operator=(Identy const &) = delete;

    // There is a handle and this object created the event.
    bool owner() const;
    // !owner(): the event existed before, was only opened, or is missing.
    bool exists() const;
    // The owner's work is still wanted: owner() and the event not signalled.
    bool want() const;
    // There is a handle and the event is signalled.
    bool is_done() const;
    // Signals the event; nothing without a handle.
    void done();

private:
    void *handle_;
    bool owner_;
};

} // namespace vfs
} // namespace zem

// The process-wide table of named pointers through which the modules loaded
// into one process find each other's objects.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "../config.h"

namespace zem {
namespace vfs {

// Names are compared byte by byte (case matters). The table owns its names,
// not the objects pointed to. It takes no lock: the first instance() call and
// every set() and get() must be serialised by the callers.
class ZEM_VFS_API SharedAtom {
public:
    // The one table, created empty on first call and destroyed when the
    // library is unloaded.
    static SharedAtom *instance();

    // Stores `p` under `name` (added, or replacing the pointer stored
    // before); a null `p` removes the entry. Nothing for a null name.
    void set(char const *name, void *p);
    // The pointer stored under `name`; null when there is none or the name
    // is null. A lookup never adds an entry.
    void *get(char const *name);
    // The number of entries.
    std::size_t size() const { return table_.size(); }

    SharedAtom(SharedAtom const &) = delete;
    SharedAtom &operator=(SharedAtom const &) = delete;

private:
    friend struct SharedAtomOwner;

    SharedAtom();
    ~SharedAtom();

    std::map<std::string, void *> table_;
};

} // namespace vfs
} // namespace zem

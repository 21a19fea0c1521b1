#include "SharedAtom.h"

#include <new>

namespace zem {
namespace vfs {

// Holds the table for the life of the library; its static destructor runs
// when the library is unloaded.
struct SharedAtomOwner {
    SharedAtom *atom = nullptr;
    ~SharedAtomOwner() {
        delete atom;
        atom = nullptr;
    }
};

namespace {

SharedAtomOwner g_owner;

} // namespace

SharedAtom::SharedAtom() = default;

SharedAtom::~SharedAtom() {
    table_.clear();
}

SharedAtom *SharedAtom::instance() {
    if (g_owner.atom == nullptr) {
        g_owner.atom = new (std::nothrow) SharedAtom;
    }
    return g_owner.atom;
}

void SharedAtom::set(char const *name, void *p) {
    if (name == nullptr) {
        return;
    }
    try {
        if (p == nullptr) {
            table_.erase(std::string(name));
        } else {
            table_[std::string(name)] = p;
        }
    } catch (std::bad_alloc const &) {
        // Out of memory: the table is left as it was.
    }
}

void *SharedAtom::get(char const *name) {
    if (name == nullptr) {
        return nullptr;
    }
    try {
        auto found = table_.find(std::string(name));
        return found == table_.end() ? nullptr : found->second;
    } catch (std::bad_alloc const &) {
        return nullptr;
    }
}

} // namespace vfs
} // namespace zem

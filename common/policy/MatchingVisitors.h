// The questions the hook code puts to the policy tree: how a file access is
// treated, whether a process is hooked, which hook types apply to it.
//
// Typical use: build the visitor, take the PolicyManager's read lock, call
// apply() on the manager, release the lock, read the answer. A visitor serves
// one walk; the texts it is given are borrowed for that walk.
#pragma once

#include "PolicyVisitor.h"

#include <list>
#include <string>

namespace zem {
namespace vfs {

class FilePolicyVisitor;
namespace detail {
bool apply_indexed(PolicyGroup &group, FilePolicyVisitor &v);
}

// The first matching FilePolicy in walk order whose value is not 3 decides:
// its value, and for value 1 the mapped path. Nothing decided: policy 0 and
// an empty mapped path. Merge modes are not consulted.
class ZEM_VFS_API FilePolicyVisitor : public PolicyVisitor {
public:
    // `file`: the path (UTF-8, may carry "\??\"); `mode`: the access bits.
    FilePolicyVisitor(char const *file, int mode);
    using PolicyVisitor::accept;
    bool accept(FilePolicy &p) override;

    int policy() const { return policy_; }
    char const *mappedfile() const { return mappedfile_.c_str(); }

private:
    friend bool detail::apply_indexed(PolicyGroup &group, FilePolicyVisitor &v);

    char const *file_;
    int mode_;
    int policy_;
    std::string mappedfile_;
};

// The hook value of the matching ProcessPolicy nodes: a node with merge mode
// 1 sets a provisional answer that later matches replace; the first match
// with any other merge mode decides and ends the walk. Hook value 2 passes a
// node over. Nothing matched: the hook given to the constructor and an empty
// name.
class ZEM_VFS_API ProcessPolicyVisitor : public PolicyVisitor {
public:
    // `name`: UTF-8 image path or null (then taken from `process`, or from
    // the current process when that is null too); `process`: a handle or
    // null; `hook`: the answer when nothing matches.
    ProcessPolicyVisitor(char const *name, void *process, int hook);
    using PolicyVisitor::accept;
    bool accept(ProcessPolicy &p) override;

    int hook() const { return hook_; }
    // The name of the deciding policy.
    char const *name() const { return policy_name_.c_str(); }

private:
    char const *name_;
    void *process_;
    int hook_;
    std::string policy_name_;
};

// Collects the hook types of the matching HookTypePolicy nodes by their
// merge modes: 0 appends and goes on, 1 appends and stops, 2 replaces what
// was collected and stops, any other mode is ignored.
class ZEM_VFS_API HookTypePolicyVisitor : public PolicyVisitor {
public:
    HookTypePolicyVisitor(char const *name, void *process);
    using PolicyVisitor::accept;
    bool accept(HookTypePolicy &p) override;

    std::list<std::string> *hooktype() { return &hooktype_; }

private:
    char const *name_;
    void *process_;
    std::list<std::string> hooktype_;
};

} // namespace vfs
} // namespace zem

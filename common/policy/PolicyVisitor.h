// Questions put to a policy tree. The caller builds a visitor with the
// question's inputs, calls apply() on the root group and reads the answer
// from the visitor afterwards. The walk hands every node to the accept
// overload of its class; a visitor that has its answer calls finish(), which
// ends the walk, and an accept that returns false aborts it.
#pragma once

#include "../config.h"

#include <string>

namespace zem {
namespace vfs {

class Policy;
class PolicyGroup;
class BasePolicy;
class FilePolicy;
class ProcessPolicy;
class HookTypePolicy;
// Two policy kinds that visitors know of but this library does not define.
class NetworkPolicy;
class WindowPolicy;

// The visitor interface. Every overload but the last two kinds falls back to
// accept(Policy&), which returns true; the undefined kinds return false and
// so abort a walk that meets one. Visitors are plain values made on the
// caller's stack; one visitor serves one walk (finished is never reset).
class ZEM_VFS_API PolicyVisitor {
public:
    virtual bool accept(BasePolicy &p);
    virtual bool accept(HookTypePolicy &p);
    virtual bool accept(NetworkPolicy &p);
    virtual bool accept(WindowPolicy &p);
    virtual bool accept(ProcessPolicy &p);
    virtual bool accept(FilePolicy &p);
    virtual bool accept(PolicyGroup &p);
    virtual bool accept(Policy &p);

    bool finished() const { return finished_ == 1; }

protected:
    PolicyVisitor() : finished_(0) {}
    PolicyVisitor(PolicyVisitor const &) = default;
    PolicyVisitor &operator=(PolicyVisitor const &) = default;
    ~PolicyVisitor() = default;

    void finish() { finished_ = 1; }

private:
    int finished_;
};

// Collects the payload of the BasePolicy nodes: after a walk it holds the
// disp of the last one in walk order (empty when there is none).
class ZEM_VFS_API BasePolicyVisitor : public PolicyVisitor {
public:
    BasePolicyVisitor();
    using PolicyVisitor::accept;
    bool accept(BasePolicy &p) override;

    std::string const &get_disp() const { return disp_; }

private:
    std::string disp_;
};

// Finds the node at a path of child names separated by "/", starting at the
// group the walk starts on: a/b/c is child c of group b of group a; empty
// components are skipped; an empty path names the start group and "a/" the
// group a itself. A missing name, or a name that is not a group where the
// path goes on, gives null. The path is borrowed for the walk.
class ZEM_VFS_API PolicyPathVisitor : public PolicyVisitor {
public:
    explicit PolicyPathVisitor(char const *path);
    using PolicyVisitor::accept;
    bool accept(PolicyGroup &g) override;

    Policy *get() const { return result_; }

private:
    char const *path_;
    Policy *result_;
};

} // namespace vfs
} // namespace zem

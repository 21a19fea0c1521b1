// Process and hook-type policies: which processes are hooked, and which
// kinds of hooks apply to them.
#pragma once

#include "Policy.h"
#include "ProcessMatch.h"

#include <list>
#include <string>

namespace zem {
namespace vfs {

// A ProcessMatch with a hook value, reported by the process visitor: 0 and
// any unknown value are logged "(OFF)", 1 "(ON)", 3 "(FORBID)"; 2 passes the
// node over. A policy with hook value 0 and a non-zero session matches any
// session but 0 (its session becomes -1), whether built or loaded so.
//
// Fields on the wire after the frame head: name, merge, pattern, service,
// domain, user, session, hook.
class ZEM_VFS_API ProcessPolicy : public Policy, public ProcessMatch {
public:
    // Name, image-path pattern (null: every process), hook value.
    ProcessPolicy(char const *name, char const *pattern, int hook);
    // Name, account domain and user, hook value.
    ProcessPolicy(char const *name, char const *domain, char const *user, int hook);
    // Name, session id, hook value.
    ProcessPolicy(char const *name, int session, int hook);
    // Name, a copy of the match, hook value.
    ProcessPolicy(char const *name, ProcessMatch const &match, int hook);
    ~ProcessPolicy() override;

    Policy *clone() const override;
    bool serialize(Stream &s) const override;
    bool load(Stream &s) override;
    // accept(ProcessPolicy&).
    bool apply(PolicyVisitor &v) override;

    int hook() const { return hook_; }

    static ProcessPolicy __protype;

protected:
    explicit ProcessPolicy(Protype const &);
    ProcessPolicy(char const *type, Protype const &);

private:
    void widen();

    int hook_;
};

// A ProcessMatch with an ordered list of hook-type names (opaque to the
// library; duplicates allowed), collected by the hook-type visitor.
//
// Fields on the wire after the frame head: name, merge, pattern, service,
// domain, user, session, the number of names (unsigned 64-bit), each name.
class ZEM_VFS_API HookTypePolicy : public Policy, public ProcessMatch {
public:
    // Name, image-path pattern (null: every process), then the hook-type
    // names as char const* arguments ended by a null pointer; a null third
    // argument gives an empty list.
    HookTypePolicy(char const *name, char const *pattern, char const *first, ...);
    // The same with a copy of a whole match.
    HookTypePolicy(char const *name, ProcessMatch const &match, char const *first, ...);
    ~HookTypePolicy() override;

    Policy *clone() const override;
    bool serialize(Stream &s) const override;
    // Keeps the names that arrive: a count larger than the names that follow
    // ends the load with false instead of adding empty names.
    bool load(Stream &s) override;
    // accept(HookTypePolicy&).
    bool apply(PolicyVisitor &v) override;

    // Appends one name (a null pointer is ignored).
    void add_policy(char const *type);
    std::list<std::string> &hooktype() { return hooktype_; }
    std::list<std::string> const &hooktype() const { return hooktype_; }

    static HookTypePolicy __protype;

protected:
    explicit HookTypePolicy(Protype const &);
    HookTypePolicy(char const *type, Protype const &);

private:
    std::list<std::string> hooktype_;
};

} // namespace vfs
} // namespace zem

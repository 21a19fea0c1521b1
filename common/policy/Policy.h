// The policy tree: named policies held by groups, walked by visitors and
// carried between processes on a Stream.
//
// Inner nodes are PolicyGroups, which own an ordered list of children; leaves
// are the concrete policies (BasePolicy here, the file, process and hook-type
// policies beside it). Every node is a Variable registered under its type
// name, so Stream::load recreates a whole tree from its frames.
#pragma once

#include "../config.h"
#include "../serialize/Variable.h"

#include <string>
#include <vector>

namespace zem {
namespace vfs {

class Stream;
class PolicyVisitor;
namespace detail {
struct GroupAccess;
}

// A named node of the tree. Fields on the wire: the frame head with the type
// name, the name (narrow text), the merge mode (32-bit signed). The merge
// mode is read only by the visitors that consult it (process and hook-type
// questions); it is 0 after construction.
class ZEM_VFS_API Policy : public Variable {
public:
    // `type` must not be null; a null `name` is stored as "".
    Policy(char const *type, char const *name);
    // Copies type name, name and merge mode.
    Policy(Policy const &other);
    Policy &operator=(Policy const &other);

    // A new heap copy that the caller owns and ends with release().
    Policy *clone() const override = 0;
    // Writes the frame head, the name and the merge mode.
    bool serialize(Stream &s) const override;
    // Reads the name and the merge mode; false when the stream is not good.
    bool load(Stream &s) override;
    ~Policy() override;

    // Hands this node to the visitor (accept(Policy&) here; every class
    // calls its own overload) and returns what the visitor returned.
    virtual bool apply(PolicyVisitor &v);
    virtual bool is_group() const;

    char const *name() const { return name_.c_str(); }
    int get_merge() const { return merge_; }
    void set_merge(int merge) { merge_ = merge; }

protected:
    // Registers this object as the prototype of `type`.
    Policy(char const *type, Protype const &);

private:
    std::string name_;
    int merge_;
};

// An inner node: owns its children (never null) and destroys them with
// itself. Not copied by value: clone() and copy_children() make deep copies.
class ZEM_VFS_API PolicyGroup : public Policy {
public:
    explicit PolicyGroup(char const *name);
    ~PolicyGroup() override;
    PolicyGroup(PolicyGroup const &) = delete;
    PolicyGroup &operator=(PolicyGroup const &) = delete;

    // A new "policy/PolicyGroup" with this name, merge mode 0 and clones of
    // every child in order.
    Policy *clone() const override;
    // The common part, the child count (unsigned 64-bit) and each child's
    // own frame.
    bool serialize(Stream &s) const override;
    // Appends the children read to those the group already has. A null frame
    // or an unknown type name among them is skipped. Only what arrives is
    // kept: a child count larger than the frames that follow ends the load
    // with false instead of waiting on a stream that has nothing more.
    bool load(Stream &s) override;
    // accept(PolicyGroup&), then the children depth-first in order until the
    // visitor finishes; false as soon as an accept returns false.
    bool apply(PolicyVisitor &v) override;
    bool is_group() const override;

    // Takes ownership of `p` and appends it (a null pointer is ignored).
    void add(Policy *p);
    // Sets p's merge mode, then appends it.
    void add(Policy *p, int merge);
    // The first direct child with exactly this name (borrowed), or null.
    Policy *get(char const *name);
    // Destroys and removes the first direct child with exactly this name.
    void remove(char const *name);
    // Destroys every child when `destroy` is true, then empties the list.
    void clear(bool destroy);
    uint64 count() const;
    // Appends clones of this group's children to `dst`.
    void copy_children(PolicyGroup *dst);
    // Exchanges the children of the two groups; names and merge modes stay.
    void swap(PolicyGroup *other);

    static PolicyGroup __protype;

protected:
    explicit PolicyGroup(Protype const &);
    PolicyGroup(char const *type, Protype const &);

private:
    friend struct detail::GroupAccess;
    void copy_children_into(PolicyGroup *dst) const;

    std::vector<Policy *> children_;
};

// A leaf carrying a payload text, read back by BasePolicyVisitor.
class ZEM_VFS_API BasePolicy : public Policy {
public:
    // A null `disp` leaves the payload empty.
    BasePolicy(char const *name, char const *disp);
    ~BasePolicy() override;

    Policy *clone() const override;
    bool serialize(Stream &s) const override;
    bool load(Stream &s) override;
    bool apply(PolicyVisitor &v) override;

    std::string const &disp() const { return disp_; }

    static BasePolicy __protype;

protected:
    explicit BasePolicy(Protype const &);
    BasePolicy(char const *type, Protype const &);

private:
    std::string disp_;
};

} // namespace vfs
} // namespace zem

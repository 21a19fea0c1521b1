// File decisions without visiting every node: an index of a group's subtree
// from the literal prefixes of its path lists to the nodes that carry them.
#pragma once

#include <cstdint>

namespace zem {
namespace vfs {

class PolicyGroup;
class FilePolicyVisitor;

namespace detail {

// Every change of any tree (children added, removed, swapped, patterns set)
// advances this counter; an index built before the change is rebuilt on its
// next use.
void policy_tree_changed();

// Walks the children of `group` for the visitor the way PolicyGroup::apply
// would, visiting in walk order only the nodes that can match the visitor's
// path: those whose list has a reference covering it, and every node the
// index cannot rule out. Answer, mapped path and log records are those of
// the full walk.
bool apply_indexed(PolicyGroup &group, FilePolicyVisitor &v);
// Drops the index of a group that goes away.
void forget_index(PolicyGroup const *group);

} // namespace detail
} // namespace vfs
} // namespace zem

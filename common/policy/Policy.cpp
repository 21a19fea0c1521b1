#include "Policy.h"

#include "MatchingVisitors.h"
#include "PolicyTrace.h"
#include "PolicyVisitor.h"
#include "internal/LoadProgress.h"
#include "internal/PolicyIndex.h"

#include "../serialize/Stream.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>
#include <utility>

namespace zem {
namespace vfs {

// ---------------------------------------------------------------------------
// Policy
// ---------------------------------------------------------------------------

Policy::Policy(char const *type, char const *name)
    : Variable(type), name_(name != nullptr ? name : ""), merge_(0) {}

Policy::Policy(char const *type, Protype const &) : Variable(type), merge_(0) {
    register_variable();
}

Policy::Policy(Policy const &other) : Variable(other), name_(other.name_), merge_(other.merge_) {}

Policy &Policy::operator=(Policy const &other) {
    Variable::operator=(other);
    name_ = other.name_;
    merge_ = other.merge_;
    return *this;
}

Policy::~Policy() = default;

bool Policy::serialize(Stream &s) const {
    if (!Variable::serialize(s))
        return false;
    s << name_ << merge_;
    return s.good();
}

bool Policy::load(Stream &s) {
    detail::FieldReader in(s);
    return in.text(name_) && in.integer(merge_);
}

bool Policy::apply(PolicyVisitor &v) {
    return v.accept(*this);
}

bool Policy::is_group() const {
    return false;
}

// ---------------------------------------------------------------------------
// PolicyGroup
// ---------------------------------------------------------------------------

PolicyGroup PolicyGroup::__protype{Protype()};

PolicyGroup::PolicyGroup(char const *name) : Policy("policy/PolicyGroup", name) {}

PolicyGroup::PolicyGroup(Protype const &p) : Policy("policy/PolicyGroup", p) {}

PolicyGroup::PolicyGroup(char const *type, Protype const &p) : Policy(type, p) {}

PolicyGroup::~PolicyGroup() {
    detail::forget_index(this);
    clear(true);
}

bool PolicyGroup::is_group() const {
    return true;
}

Policy *PolicyGroup::clone() const {
    PolicyGroup *copy = new PolicyGroup(name());
    try {
        copy_children_into(copy);
    } catch (...) {
        copy->release();
        throw;
    }
    return copy;
}

bool PolicyGroup::serialize(Stream &s) const {
    if (!Policy::serialize(s))
        return false;
    s << uint64(children_.size());
    for (Policy const *child : children_) {
        if (!child->serialize(s))
            return false;
    }
    return s.good();
}

bool PolicyGroup::load(Stream &s) {
    if (!Policy::load(s))
        return false;
    detail::FieldReader in(s);
    int count = 0;
    if (!in.integer(count))
        return false;
    // Children are read while they arrive whole; a cut or broken frame, or a
    // child that fails to load, fails the group.
    for (int i = 0; i < count; ++i) {
        Variable *object = nullptr;
        if (!in.object(object))
            return false;
        if (object == nullptr)
            continue; // a null frame or a type nothing registered
        // Only policies join the tree; any other registered object is dropped.
        Policy *child = dynamic_cast<Policy *>(object);
        if (child == nullptr) {
            object->release();
            continue;
        }
        add(child);
    }
    return in.good();
}

bool PolicyGroup::apply(PolicyVisitor &v) {
    if (!v.accept(*this))
        return false;
    if (v.finished())
        return true;
    // A file decision visits only the nodes that can match its path. With a
    // trace watching, every node is walked so that the trace lists them all.
    if (typeid(v) == typeid(FilePolicyVisitor) && PolicyTrace::current() == nullptr)
        return detail::apply_indexed(*this, static_cast<FilePolicyVisitor &>(v));
    for (std::size_t i = 0; i < children_.size(); ++i) {
        if (!children_[i]->apply(v))
            return false;
        if (v.finished())
            return true;
    }
    return true;
}

void PolicyGroup::add(Policy *p) {
    if (p == nullptr)
        return;
    detail::policy_tree_changed();
    try {
        children_.push_back(p);
    } catch (...) {
        p->release();
        throw;
    }
}

void PolicyGroup::add(Policy *p, int merge) {
    if (p == nullptr)
        return;
    p->set_merge(merge);
    add(p);
}

Policy *PolicyGroup::get(char const *name) {
    if (name == nullptr)
        return nullptr;
    for (Policy *child : children_) {
        if (std::strcmp(child->name(), name) == 0)
            return child;
    }
    return nullptr;
}

void PolicyGroup::remove(char const *name) {
    if (name == nullptr)
        return;
    for (auto it = children_.begin(); it != children_.end(); ++it) {
        if (std::strcmp((*it)->name(), name) == 0) {
            Policy *child = *it;
            children_.erase(it);
            detail::policy_tree_changed();
            child->release();
            return;
        }
    }
}

void PolicyGroup::clear(bool destroy) {
    std::vector<Policy *> children;
    children.swap(children_);
    detail::policy_tree_changed();
    if (destroy) {
        for (Policy *child : children)
            child->release();
    }
}

uint64 PolicyGroup::count() const {
    return children_.size();
}

void PolicyGroup::copy_children(PolicyGroup *dst) {
    if (dst != nullptr)
        copy_children_into(dst);
}

void PolicyGroup::copy_children_into(PolicyGroup *dst) const {
    // Counted first: copying a group into itself doubles it once.
    std::size_t const n = children_.size();
    for (std::size_t i = 0; i < n; ++i)
        dst->add(children_[i]->clone());
}

void PolicyGroup::swap(PolicyGroup *other) {
    if (other != nullptr) {
        children_.swap(other->children_);
        detail::policy_tree_changed();
    }
}

// ---------------------------------------------------------------------------
// BasePolicy
// ---------------------------------------------------------------------------

BasePolicy BasePolicy::__protype{Protype()};

BasePolicy::BasePolicy(char const *name, char const *disp)
    : Policy("policy/BasePolicy", name), disp_(disp != nullptr ? disp : "") {}

BasePolicy::BasePolicy(Protype const &p) : Policy("policy/BasePolicy", p) {}

BasePolicy::BasePolicy(char const *type, Protype const &p) : Policy(type, p) {}

BasePolicy::~BasePolicy() = default;

Policy *BasePolicy::clone() const {
    return new BasePolicy(*this);
}

bool BasePolicy::serialize(Stream &s) const {
    if (!Policy::serialize(s))
        return false;
    s << disp_;
    return s.good();
}

bool BasePolicy::load(Stream &s) {
    if (!Policy::load(s))
        return false;
    detail::FieldReader in(s);
    return in.text(disp_);
}

bool BasePolicy::apply(PolicyVisitor &v) {
    return v.accept(*this);
}

} // namespace vfs
} // namespace zem

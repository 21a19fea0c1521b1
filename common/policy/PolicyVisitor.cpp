#include "PolicyVisitor.h"

#include "FilePolicy.h"
#include "Policy.h"
#include "ProcessPolicy.h"

#include <cstring>

namespace zem {
namespace vfs {

// ---------------------------------------------------------------------------
// PolicyVisitor: the defaults
// ---------------------------------------------------------------------------

bool PolicyVisitor::accept(BasePolicy &p) {
    return accept(static_cast<Policy &>(p));
}

bool PolicyVisitor::accept(HookTypePolicy &p) {
    return accept(static_cast<Policy &>(p));
}

bool PolicyVisitor::accept(NetworkPolicy &) {
    return false;
}

bool PolicyVisitor::accept(WindowPolicy &) {
    return false;
}

bool PolicyVisitor::accept(ProcessPolicy &p) {
    return accept(static_cast<Policy &>(p));
}

bool PolicyVisitor::accept(FilePolicy &p) {
    return accept(static_cast<Policy &>(p));
}

bool PolicyVisitor::accept(PolicyGroup &p) {
    return accept(static_cast<Policy &>(p));
}

bool PolicyVisitor::accept(Policy &) {
    return true;
}

// ---------------------------------------------------------------------------
// BasePolicyVisitor
// ---------------------------------------------------------------------------

BasePolicyVisitor::BasePolicyVisitor() = default;

bool BasePolicyVisitor::accept(BasePolicy &p) {
    disp_ = p.disp();
    return true;
}

// ---------------------------------------------------------------------------
// PolicyPathVisitor
// ---------------------------------------------------------------------------

PolicyPathVisitor::PolicyPathVisitor(char const *path) : path_(path), result_(nullptr) {}

bool PolicyPathVisitor::accept(PolicyGroup &g) {
    // Empty components resolve the same group again with the shorter rest:
    // skipped here in a loop rather than by walking the group once more.
    while (path_ != nullptr && *path_ == '/')
        ++path_;
    if (path_ == nullptr || *path_ == '\0') {
        result_ = &g;
        finish();
        return true;
    }
    char const *slash = std::strchr(path_, '/');
    if (slash == nullptr) {
        result_ = g.get(path_);
        finish();
        return true;
    }
    std::string head(path_, std::size_t(slash - path_));
    path_ = slash + 1;
    Policy *child = g.get(head.c_str());
    if (child != nullptr && child->is_group())
        return child->apply(*this);
    result_ = nullptr;
    finish();
    return true;
}

} // namespace vfs
} // namespace zem

#include "ProcessPolicy.h"

#include "PolicyVisitor.h"
#include "internal/LoadProgress.h"

#include "../serialize/Stream.h"

#include <cstdarg>

namespace zem {
namespace vfs {

// ---------------------------------------------------------------------------
// ProcessPolicy
// ---------------------------------------------------------------------------

ProcessPolicy ProcessPolicy::__protype{Protype()};

ProcessPolicy::ProcessPolicy(char const *name, char const *pattern, int hook)
    : Policy("policy/ProcessPolicy", name), ProcessMatch(pattern), hook_(hook) {}

ProcessPolicy::ProcessPolicy(char const *name, char const *domain, char const *user, int hook)
    : Policy("policy/ProcessPolicy", name), ProcessMatch(domain, user), hook_(hook) {}

ProcessPolicy::ProcessPolicy(char const *name, int session, int hook)
    : Policy("policy/ProcessPolicy", name), ProcessMatch(session), hook_(hook) {
    widen();
}

ProcessPolicy::ProcessPolicy(char const *name, ProcessMatch const &match, int hook)
    : Policy("policy/ProcessPolicy", name), ProcessMatch(match), hook_(hook) {
    widen();
}

ProcessPolicy::ProcessPolicy(Protype const &p) : Policy("policy/ProcessPolicy", p), hook_(0) {}

ProcessPolicy::ProcessPolicy(char const *type, Protype const &p) : Policy(type, p), hook_(0) {}

ProcessPolicy::~ProcessPolicy() = default;

// Hook value 0 with a session means every session but 0.
void ProcessPolicy::widen() {
    if (hook_ == 0)
        deny_for_all();
}

Policy *ProcessPolicy::clone() const {
    return new ProcessPolicy(*this);
}

bool ProcessPolicy::serialize(Stream &s) const {
    if (!Policy::serialize(s) || !serialize_match(s))
        return false;
    s << hook_;
    return s.good();
}

bool ProcessPolicy::load(Stream &s) {
    if (!Policy::load(s) || !load_match(s))
        return false;
    detail::FieldReader in(s);
    if (!in.integer(hook_))
        return false;
    widen();
    return in.good();
}

bool ProcessPolicy::apply(PolicyVisitor &v) {
    return v.accept(*this);
}

// ---------------------------------------------------------------------------
// HookTypePolicy
// ---------------------------------------------------------------------------

HookTypePolicy HookTypePolicy::__protype{Protype()};

HookTypePolicy::HookTypePolicy(char const *name, char const *pattern, char const *first, ...)
    : Policy("policy/HookTypePolicy", name), ProcessMatch(pattern) {
    va_list names;
    va_start(names, first);
    for (char const *type = first; type != nullptr; type = va_arg(names, char const *))
        hooktype_.push_back(type);
    va_end(names);
}

HookTypePolicy::HookTypePolicy(char const *name, ProcessMatch const &match, char const *first, ...)
    : Policy("policy/HookTypePolicy", name), ProcessMatch(match) {
    va_list names;
    va_start(names, first);
    for (char const *type = first; type != nullptr; type = va_arg(names, char const *))
        hooktype_.push_back(type);
    va_end(names);
}

HookTypePolicy::HookTypePolicy(Protype const &p) : Policy("policy/HookTypePolicy", p) {}

HookTypePolicy::HookTypePolicy(char const *type, Protype const &p) : Policy(type, p) {}

HookTypePolicy::~HookTypePolicy() = default;

Policy *HookTypePolicy::clone() const {
    return new HookTypePolicy(*this);
}

void HookTypePolicy::add_policy(char const *type) {
    if (type != nullptr)
        hooktype_.push_back(type);
}

bool HookTypePolicy::serialize(Stream &s) const {
    if (!Policy::serialize(s) || !serialize_match(s))
        return false;
    s << uint64(hooktype_.size());
    for (std::string const &type : hooktype_)
        s << type;
    return s.good();
}

bool HookTypePolicy::load(Stream &s) {
    if (!Policy::load(s) || !load_match(s))
        return false;
    detail::FieldReader in(s);
    int count = 0;
    if (!in.integer(count))
        return false;
    // Names are taken while they arrive whole: a huge count in front of a
    // short stream adds only what came.
    for (int i = 0; i < count; ++i) {
        std::string type;
        if (!in.text(type))
            return false;
        hooktype_.push_back(type);
    }
    return in.good();
}

bool HookTypePolicy::apply(PolicyVisitor &v) {
    return v.accept(*this);
}

} // namespace vfs
} // namespace zem

#include "MatchingVisitors.h"

#include "FilePolicy.h"
#include "PolicyTrace.h"
#include "ProcessPolicy.h"

#include "../log/Log.h"

namespace zem {
namespace vfs {

namespace {

char const *text_or_null(char const *text) {
    return text != nullptr ? text : "<null>";
}

char const *hook_name(int hook) {
    switch (hook) {
    case 1:
        return "(ON)";
    case 3:
        return "(FORBID)";
    default:
        return "(OFF)";
    }
}

} // namespace

// ---------------------------------------------------------------------------
// FilePolicyVisitor
// ---------------------------------------------------------------------------

FilePolicyVisitor::FilePolicyVisitor(char const *file, int mode)
    : file_(file), mode_(mode), policy_(0) {}

bool FilePolicyVisitor::accept(FilePolicy &p) {
    bool matched = p.is_module_policy()
                       ? static_cast<ModuleFileFilePolicy const &>(p).match_file(file_, mode_)
                       : static_cast<FileMatch &>(p).match_file(file_, mode_);
    if (PolicyTrace *trace = PolicyTrace::current())
        trace->file_step(p, file_, mode_, matched);
    if (!matched)
        return true;
    ZEM_LOG(7, "File Policy Visitor Matched " << p.policy() << " at " << p.name() << " for "
                                              << text_or_null(file_) << ":" << mode_);
    if (p.policy() == 3)
        return true;
    policy_ = p.policy();
    if (policy_ == 1)
        mappedfile_ = p.get_mapped_file(file_);
    finish();
    return true;
}

// ---------------------------------------------------------------------------
// ProcessPolicyVisitor
// ---------------------------------------------------------------------------

ProcessPolicyVisitor::ProcessPolicyVisitor(char const *name, void *process, int hook)
    : name_(name), process_(process), hook_(hook) {}

bool ProcessPolicyVisitor::accept(ProcessPolicy &p) {
    bool const matched = p.match_process(name_, process_);
    if (PolicyTrace *trace = PolicyTrace::current())
        trace->process_step(p, name_, process_, matched);
    if (!matched)
        return true;
    ZEM_LOG(7, "Process Policy Visitor Matched " << hook_name(p.hook()) << " at " << p.name()
                                                 << " for " << text_or_null(name_));
    if (p.hook() == 2)
        return true;
    hook_ = p.hook();
    policy_name_ = p.name();
    if (p.get_merge() != 1)
        finish();
    return true;
}

// ---------------------------------------------------------------------------
// HookTypePolicyVisitor
// ---------------------------------------------------------------------------

HookTypePolicyVisitor::HookTypePolicyVisitor(char const *name, void *process)
    : name_(name), process_(process) {}

bool HookTypePolicyVisitor::accept(HookTypePolicy &p) {
    bool const matched = p.match_process(name_, process_);
    if (PolicyTrace *trace = PolicyTrace::current())
        trace->hook_step(p, name_, process_, matched);
    if (!matched)
        return true;
    std::list<std::string> const &types = p.hooktype();
    switch (p.get_merge()) {
    case 0:
        hooktype_.insert(hooktype_.end(), types.begin(), types.end());
        break;
    case 1:
        hooktype_.insert(hooktype_.end(), types.begin(), types.end());
        finish();
        break;
    case 2:
        hooktype_.assign(types.begin(), types.end());
        finish();
        break;
    default:
        break;
    }
    return true;
}

} // namespace vfs
} // namespace zem

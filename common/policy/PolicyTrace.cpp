#include "PolicyTrace.h"

#include "FilePolicy.h"
#include "ProcessPolicy.h"

#include <atomic>
#include <cstring>

namespace zem {
namespace vfs {

namespace {

std::atomic<int> g_live(0);
thread_local PolicyTrace *t_current = nullptr;

bool begins(std::string const &text, char const *prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The kind of test an extended file pattern makes.
std::string extended_condition(std::string const &ext) {
    if (begins(ext, "regex:"))
        return ext.size() > 6 && ext[6] == '!' ? "regular expression (inverted)"
                                               : "regular expression";
    if (ext == "disk:remote" || ext == "disk:cdrom" || ext == "disk:usb")
        return "drive class (" + ext.substr(5) + ")";
    if (begins(ext, "disk:unc"))
        return "network share";
    if (begins(ext, "!:"))
        return "negation (the inner pattern matched)";
    return "path list";
}

// Which condition of a file policy's test failed for this file and mode.
std::string file_condition(FilePolicy &p, int mode) {
    if ((p.mode() & mode) == 0)
        return "access mode (policy " + std::to_string(p.mode()) + ", asked " +
               std::to_string(mode) + ")";
    if (p.is_module_policy())
        return "module test (a loaded DLL opened with mode 1)";
    if (p.min_size() != 0)
        return "size (at least " + std::to_string(p.min_size()) + " bytes)";
    std::string const &pattern = p.file();
    if (begins(pattern, "_:"))
        return extended_condition(pattern.substr(2));
    if (begins(pattern, "$:")) {
        std::string const rest = pattern.substr(2);
        std::size_t colon = rest.find(':');
        if (colon == std::string::npos)
            return extended_condition(rest);
        ProcessMatch condition(rest.substr(0, colon).c_str());
        if (!condition.match_process(nullptr, nullptr))
            return "process condition (" + rest.substr(0, colon) + ")";
        return extended_condition(rest.substr(colon + 1));
    }
    return "path list";
}

std::string process_condition(ProcessMatch &p, char const *name, void *process) {
    if (!p.pattern().empty()) {
        ProcessMatch image(p.pattern().c_str());
        if (!image.match_process(name, process))
            return "image path pattern";
        return "service (" + p.service() + ")";
    }
    if (!p.service().empty())
        return "service (" + p.service() + ")";
    return "account or session";
}

} // namespace

PolicyTrace::PolicyTrace() : outer_(t_current) {
    t_current = this;
    g_live.fetch_add(1, std::memory_order_relaxed);
}

PolicyTrace::~PolicyTrace() {
    t_current = outer_;
    g_live.fetch_sub(1, std::memory_order_relaxed);
}

PolicyTrace *PolicyTrace::current() {
    return g_live.load(std::memory_order_relaxed) == 0 ? nullptr : t_current;
}

char const *PolicyTrace::outcome_name(Outcome outcome) {
    switch (outcome) {
    case not_matched:
        return "not matched";
    case passed_over:
        return "passed over";
    case decided:
        return "decided";
    case provisional:
        return "provisional";
    case collected:
        return "collected";
    default:
        return "ignored";
    }
}

void PolicyTrace::file_step(FilePolicy &p, char const *file, int mode, bool matched) {
    (void)file;
    Step step{p.name(), p.is_module_policy() ? "ModuleFileFilePolicy" : "FilePolicy",
              matched ? (p.policy() == 3 ? passed_over : decided) : not_matched, ""};
    if (!matched)
        step.condition = file_condition(p, mode);
    steps_.push_back(step);
}

void PolicyTrace::process_step(ProcessPolicy &p, char const *name, void *process, bool matched) {
    Step step{p.name(), "ProcessPolicy",
              !matched             ? not_matched
              : p.hook() == 2      ? passed_over
              : p.get_merge() == 1 ? provisional
                                   : decided,
              ""};
    if (!matched)
        step.condition = process_condition(p, name, process);
    steps_.push_back(step);
}

void PolicyTrace::hook_step(HookTypePolicy &p, char const *name, void *process, bool matched) {
    int const merge = p.get_merge();
    Step step{p.name(), "HookTypePolicy",
              !matched                   ? not_matched
              : merge == 0               ? collected
              : merge == 1 || merge == 2 ? decided
                                         : ignored,
              ""};
    if (!matched)
        step.condition = process_condition(p, name, process);
    steps_.push_back(step);
}

} // namespace vfs
} // namespace zem

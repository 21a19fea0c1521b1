// Why a policy question got its answer: while a PolicyTrace lives, the
// matching visitors running on its thread report every node they look at,
// in walk order, with what it did to the answer and, for a node that did not
// match, the condition of its test that failed. The decision stays the
// visitor's own; the trace only watches it.
//
//   PolicyTrace trace;
//   FilePolicyVisitor v(path, mode);
//   manager->apply(v);                 // v.policy() is the answer
//   for (auto const &step : trace.steps()) ...
//
// Traces nest per thread (the innermost one records). Without a trace the
// visitors pay one relaxed atomic load per node. A file decision normally
// visits only the nodes its path can match; while a trace watches, it walks
// every node instead, so the trace lists each one as the plain walk sees it.
#pragma once

#include "../config.h"

#include <string>
#include <vector>

namespace zem {
namespace vfs {

class FilePolicy;
class ProcessPolicy;
class HookTypePolicy;

class ZEM_VFS_API PolicyTrace {
public:
    enum Outcome {
        not_matched, // the node's test failed (see condition)
        passed_over, // matched, but its value passes it over (file 3, hook 2)
        decided,     // matched and ended the walk with its value
        provisional, // matched and set an answer a later node may replace (merge 1)
        collected,   // matched and added its hook types; the walk goes on
        ignored,     // matched, but its merge mode makes it count for nothing
    };
    struct Step {
        std::string node; // the node's name
        std::string kind; // FilePolicy, ModuleFileFilePolicy, ProcessPolicy, HookTypePolicy
        Outcome outcome;
        std::string condition; // not_matched: the test that failed, in words
    };

    PolicyTrace();
    ~PolicyTrace();
    PolicyTrace(PolicyTrace const &) = delete;
    PolicyTrace &operator=(PolicyTrace const &) = delete;

    std::vector<Step> const &steps() const { return steps_; }
    // "not matched", "passed over", "decided", ...
    static char const *outcome_name(Outcome outcome);

    // The trace that watches the calling thread, or null.
    static PolicyTrace *current();
    // Reports of the matching visitors.
    void file_step(FilePolicy &p, char const *file, int mode, bool matched);
    void process_step(ProcessPolicy &p, char const *name, void *process, bool matched);
    void hook_step(HookTypePolicy &p, char const *name, void *process, bool matched);

private:
    PolicyTrace *outer_;
    std::vector<Step> steps_;
};

} // namespace vfs
} // namespace zem

// File policies: what happens to accesses to the files that a FileMatch
// selects.
#pragma once

#include "FileMatch.h"
#include "Policy.h"

#include <string>

namespace zem {
namespace vfs {

// A FileMatch with a policy value and a redirection text. Value 1 redirects
// (the file visitor reports get_mapped_file of the path), value 3 passes the
// node over, any other value is reported unchanged. The redirection text is
// a target path, or "source;target".
//
// Fields on the wire after the frame head: name, merge, pattern, min size,
// mode, policy value, redirection text.
class ZEM_VFS_API FilePolicy : public Policy, public FileMatch {
public:
    // Name, pattern, mode, policy value, redirection text (null: "").
    FilePolicy(char const *name, char const *pattern, int mode, int policy, char const *redir);
    // Name, a copy of the match (pattern, min size, mode), policy value,
    // redirection text.
    FilePolicy(char const *name, FileMatch const &match, int policy, char const *redir);
    ~FilePolicy() override;

    // A copy of every field, merge mode included, of the same class.
    Policy *clone() const override;
    bool serialize(Stream &s) const override;
    bool load(Stream &s) override;
    // accept(FilePolicy&).
    bool apply(PolicyVisitor &v) override;

    int policy() const { return policy_; }
    char const *redir() const { return redir_.c_str(); }

    // Where the file goes: the target, plus for a directory source ending in
    // "\" the rest of the file below it. A leading "\??\" is kept in front.
    std::string get_mapped_file(char const *file);

    // True for the policies whose own module test (ModuleFileFilePolicy)
    // decides which files they cover.
    bool is_module_policy() const { return module_policy_; }

    static FilePolicy __protype;

protected:
    explicit FilePolicy(Protype const &);
    FilePolicy(char const *type, Protype const &);
    void set_module_policy() { module_policy_ = true; }

private:
    int policy_;
    std::string redir_;
    bool module_policy_;
};

// A file policy for DLL files that are already loaded as modules of the
// current process. Its own test, match_file() const, says whether a file is
// such a DLL accessed with mode 1 (the FileMatch part is not consulted for
// it); the file visitor uses that test for this class.
class ZEM_VFS_API ModuleFileFilePolicy : public FilePolicy {
public:
    // Name; empty pattern, mode 1, policy value 0, no redirection.
    explicit ModuleFileFilePolicy(char const *name);
    ~ModuleFileFilePolicy() override;

    Policy *clone() const override;

    // The FileMatch test stays reachable beside the module test: it is the
    // one chosen on a non-const object.
    using FileMatch::match_file;
    // True when `mode` is exactly 1 and the file is an existing ".dll" whose
    // base name is loaded in the current process (logged at level 7).
    virtual bool match_file(char const *file, int mode) const;

    static ModuleFileFilePolicy __protype;

protected:
    explicit ModuleFileFilePolicy(Protype const &);
    ModuleFileFilePolicy(char const *type, Protype const &);
};

} // namespace vfs
} // namespace zem

// Matchers: the common interface of file and process matching, and the
// process matcher that decides whether a process falls under a process or
// hook-type policy (or under the process condition of a file pattern).
#pragma once

#include "../config.h"

#include <memory>
#include <string>

namespace zem {
namespace vfs {

class Stream;

namespace detail {
struct ProcessPattern;
}

// The matching half of a policy. Matchers are parts of the policies that
// contain them and are destroyed through their own type.
class ZEM_VFS_API PolicyMatch {
public:
    // Defaults: no match.
    virtual bool match_file(char const *file, int mode);
    virtual bool match_process(char const *name, void *process);
    // The matcher's fields, written inside the frame of its policy.
    virtual bool serialize_match(Stream &s) const = 0;
    virtual bool load_match(Stream &s) = 0;

protected:
    PolicyMatch() = default;
    PolicyMatch(PolicyMatch const &) = default;
    PolicyMatch &operator=(PolicyMatch const &) = default;
    ~PolicyMatch() = default;
};

// Selects processes by image path, by a condition on the current process, by
// the Windows service they run, or by the session or account of their token.
//
// Image-path patterns (UTF-8):
//   "*"                     every process
//   a;b;c                   a ";" list of names matched as whole path
//                           components (notepad.exe, system32\cmd.exe,
//                           C:\Tools\), any ASCII case, "/" same as "\"
//   _:regex:EXPR            EXPR found anywhere in the path, ignoring case;
//                           failing that the whole text is tried as a list
//   *A:B                    the current process matches A and the target B
//   *A                      the current process matches A
// With a service name the pattern's match also needs the target to be that
// service's process. Without a pattern and service the token is tested:
// the session (0 none, -1 any session but 0), else the account.
//
// Matching keeps no state; concurrent calls on one object are safe. The
// pattern is prepared once when it is set (wide pieces, compiled expression).
class ZEM_VFS_API ProcessMatch : public PolicyMatch {
public:
    // Everything empty, session 0: matches nothing.
    ProcessMatch();
    // Image-path pattern; null means "*".
    explicit ProcessMatch(char const *pattern);
    // Account: domain (empty: any) and user name; nulls are stored as "".
    ProcessMatch(char const *domain, char const *user);
    // Session id of the process token.
    explicit ProcessMatch(int session);
    ProcessMatch(ProcessMatch const &other);
    ProcessMatch &operator=(ProcessMatch const &other);
    ~ProcessMatch();

    void set_service(char const *service);
    // A non-zero session becomes -1 (any session but 0).
    void deny_for_all();

    // `name`: UTF-8 image path of the process to test, or null to read it
    // from `process` (the current process when that is null too).
    // `process`: a process handle or null; needed for the service and token
    // tests. Every failure is a non-match.
    bool match_process(char const *name, void *process) override;
    // pattern, service, domain, user (narrow texts), session (32-bit).
    bool serialize_match(Stream &s) const override;
    bool load_match(Stream &s) override;

    std::string const &pattern() const { return pattern_; }
    std::string const &service() const { return service_; }
    std::string const &domain() const { return domain_; }
    std::string const &user() const { return user_; }
    int session() const { return session_; }

protected:
    void set_session(int session) { session_ = session; }

private:
    void prepare();
    bool service_test(void *process, bool log_failure) const;
    bool account_test(void *process) const;

    std::string pattern_;
    std::string service_;
    std::string domain_;
    std::string user_;
    int session_;
    // Derived from pattern_ alone; immutable once built, shared by copies.
    std::shared_ptr<detail::ProcessPattern const> prepared_;
};

} // namespace vfs
} // namespace zem

// Process matching and the process policies: image-path patterns, the
// current-process forms and file conditions (also inside children named
// explorer.exe and svchost.exe), targets by handle, tokens, services.
#include "policy/ProcessPolicy.h"

#include "policy_support.h"

#include <gtest/gtest.h>

#include <psapi.h>

using namespace zem::vfs;
using namespace zem::vfs::policy_test;

namespace {

// A match with every field set, as only a stream gives it.
ProcessMatch loaded(char const *pattern, char const *service, char const *domain, char const *user,
                    int session) {
    MemoryStreamBuf buf;
    Stream s(buf);
    s << pattern << service << domain << user << session;
    ProcessMatch m;
    EXPECT_TRUE(m.load_match(s));
    return m;
}

// The session, domain and user of this process's token.
bool own_account(int &session, std::string &domain, std::string &user) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    Handle token(raw);
    DWORD size = 0, id = 0, un = 256, dn = 256;
    alignas(TOKEN_USER) char info[512];
    char u[256], d[256];
    SID_NAME_USE use;
    if (!GetTokenInformation(token.get(), TokenSessionId, &id, sizeof id, &size) ||
        !GetTokenInformation(token.get(), TokenUser, &info, sizeof info, &size) ||
        !LookupAccountSidA(nullptr, reinterpret_cast<TOKEN_USER *>(info)->User.Sid, u, &un, d, &dn,
                           &use))
        return false;
    session = int(id), domain = d, user = u;
    return true;
}

// The memory that the process has touched.
SIZE_T in_use() {
    PROCESS_MEMORY_COUNTERS counters = {};
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.WorkingSetSize;
}

} // namespace

TEST(ProcessMatchTest, ImagePathPatterns) {
    std::string chain;
    for (int i = 0; i < 20000; ++i)
        chain += i + 1 < 20000 ? "*test_policy.exe:" : "*test_policy.exe:x.exe";
    std::string const stars = std::string(100000, '*') + "test_policy.exe";
    // Forms nest 32 deep at most, whichever part holds them.
    std::string const deepest[] = {std::string(32, '*') + "test_policy.exe",
                                   std::string(33, '*') + "test_policy.exe",
                                   std::string(32, '*') + "test_policy.exe:x.exe",
                                   std::string(33, '*') + "test_policy.exe:x.exe"};
    // clang-format off
    struct Case { char const *pattern, *image; bool match; } const cases[] = {
        {"notepad.exe", "C:\\Windows\\System32\\NOTEPAD.EXE", true}, {"notepad.exe", "C:\\Tools\\mynotepad.exe", false},
        {"notepad.exe", "C:\\Tools\\notepad.exe.bak", false}, {"ystem32\\cmd.exe", "C:\\system32\\cmd.exe", false},
        {"system32\\cmd.exe", "c:/windows/system32/cmd.exe", true}, {"system32/cmd.exe", "C:\\WINDOWS\\SYSTEM32\\CMD.EXE", true},
        {"C:\\Tools\\", "C:\\Tools\\sub\\x.exe", true}, {"C:\\Tools\\", "C:\\Tools2\\x.exe", false},
        {"\\Tools", "C:\\MyTools\\x.exe", false}, {"\\Tools", "C:\\Tools\\x.exe", true},
        {" \tcmd.exe ", "C:\\cmd.exe", true}, {"a.exe;;b.exe", "C:\\x\\b.exe", true}, {"a.exe;;b.exe", "C:\\x\\c.exe", false},
        {";;", "C:\\x\\c.exe", false}, {"a.exe;", "C:\\a.exe", true}, {" ; ", "", true}, {"*", "", true}, {"", "C:\\x.exe", false},
        {"_:regex:\\\\(cmd|powershell)\\.exe$", "C:\\Windows\\System32\\CMD.EXE", true}, {"_:regex:\\\\(cmd|powershell)\\.exe$", "C:\\ps\\PowerShell.exe", true},
        {"_:regex:\\\\(cmd|powershell)\\.exe$", "C:\\x\\xcmd.exe", false},
        {"_:regex:zzz;notepad.exe", "C:\\w\\notepad.exe", true}, {"_:regex:zzz;notepad.exe", "C:\\w\\calc.exe", false},
        {"_:regex:", "C:\\x.exe", true}, {"_:regex:!cmd", "C:\\x.exe", false}, {"_:REGEX:x", "C:\\x.exe", false},
        {"_:regexp", "C:\\x.exe", false}, {"*test_policy.exe:x.exe;y.exe", "C:\\x.exe", true},
        {"*test_policy.exe:notepad.exe", "C:\\x\\notepad.exe", true}, {"*test_policy.exe:notepad.exe", "C:\\x\\calc.exe", false},
        {"*explorer.exe:notepad.exe", "C:\\x\\notepad.exe", false}, {"*test_policy.exe", "C:\\x\\anything.exe", true},
        {"*explorer.exe", "C:\\x\\anything.exe", false}, {"*TEST_POLICY.EXE;x.exe", "C:\\y.exe", true},
        {"**test_policy.exe", "C:\\x\\y.exe", true}, {"*_:regex:test_pol", "C:\\x\\y.exe", false},
        {"*test_policy.exe:*test_policy.exe:b.exe", "C:\\b.exe", true}, {"*test_policy.exe:*test_policy.exe:b.exe", "C:\\c.exe", false},
        {"*:notepad.exe", "C:\\x\\notepad.exe", false}, {"*test_policy.exe:", "C:\\x\\notepad.exe", false},
        {"*test_policy.exe:*", "C:\\x\\notepad.exe", true}, {"*test_policy.exe:_:regex:pad\\.", "C:\\x\\NOTEPAD.exe", true},
        {"*x.exe;test_policy.exe:a.exe", "C:\\a.exe", true}, {"*x.exe;test_policy.exe:a.exe", "C:\\b.exe", false},
        {stars.c_str(), "C:\\x.exe", false}, {deepest[0].c_str(), "C:\\x.exe", true}, {deepest[1].c_str(), "C:\\x.exe", false},
        {deepest[2].c_str(), "C:\\x.exe", true}, {deepest[3].c_str(), "C:\\x.exe", false}, {chain.c_str(), "C:\\x.exe", false}};
    // clang-format on
    for (Case const &c : cases)
        EXPECT_EQ(ProcessMatch(c.pattern).match_process(c.image, nullptr), c.match)
            << std::string(c.pattern).substr(0, 60) << " on " << c.image;
    ProcessMatch any(static_cast<char const *>(nullptr));
    EXPECT_EQ(any.pattern(), "*");
    EXPECT_TRUE(any.match_process(nullptr, nullptr));
    EXPECT_FALSE(ProcessMatch().match_process(nullptr, GetCurrentProcess()));
}

// Nested current-process forms share one copy of the pattern's name list:
// "*:" 31 times before a list of 262,144 names costs about what the text
// does, not a list per nesting level.
TEST(ProcessMatchTest, NestedFormsShareTheirPattern) {
    std::string pattern;
    for (int i = 0; i < 31 + 262144; ++i)
        pattern += i < 31 ? "*:" : "a;";
    SIZE_T before = in_use();
    std::vector<char> touched(SIZE_T(64) << 20, 'x'); // the measure sees what is built
    ASSERT_GT(in_use() - before, SIZE_T(48) << 20);
    touched = std::vector<char>();
    before = in_use();
    ProcessPolicy p("p", pattern.c_str(), 1);
    EXPECT_LT(in_use() - before, SIZE_T(32) << 20);
    EXPECT_TRUE(p.match_process("C:\\a", nullptr));
    EXPECT_FALSE(p.match_process("C:\\b", nullptr));
}

TEST(ProcessMatchTest, InsideOtherPrograms) {
    TempFolder dir(L"zem_policy");
    // clang-format off
    std::vector<std::string> const questions = { // kind, pattern, name: process patterns and file conditions
        "process", "*explorer.exe:notepad.exe", "C:\\Windows\\notepad.exe", "process", "*explorer.exe:notepad.exe", "C:\\Windows\\calc.exe",
        "process", "*svchost.exe", "C:\\any\\thing.exe", "process", "explorer.exe", "", "process", "notepad.exe", "",
        "process", "*explorer.exe", "C:\\x.exe", "file", "$:explorer.exe:C:\\w\\", "C:\\w\\f", "file", "$:explorer.exe:C:\\w\\", "C:\\v\\f",
        "file", "$:svchost.exe:C:\\w\\", "C:\\w\\f"};
    // clang-format on
    EXPECT_EQ(ask_child(dir, L"explorer.exe", questions).value("answers"), "100101100");
    EXPECT_EQ(ask_child(dir, L"svchost.exe", questions).value("answers"), "001000001");

    int session = 0;
    std::string domain, user;
    ASSERT_TRUE(own_account(session, domain, user));
    ChildResult target = ask_child(dir, L"notepad.exe", {"wait"}, [&](DWORD, HANDLE h) {
        EXPECT_TRUE(ProcessMatch("notepad.exe").match_process(nullptr, h));
        EXPECT_FALSE(ProcessMatch("explorer.exe").match_process(nullptr, h));
        EXPECT_TRUE(ProcessMatch("_:regex:^c:\\\\").match_process(nullptr, h));
        EXPECT_TRUE(ProcessMatch("*test_policy.exe:notepad.exe").match_process(nullptr, h));
        EXPECT_FALSE(ProcessMatch("*notepad.exe:notepad.exe").match_process(nullptr, h));
        EXPECT_FALSE(ProcessMatch("notepad.exe").match_process("C:\\x\\calc.exe", h));
        EXPECT_EQ(ProcessMatch(session).match_process(nullptr, h), session != 0);
        EXPECT_FALSE(ProcessMatch(session + 7).match_process(nullptr, h));
        TerminateProcess(h, 0);
    });
    EXPECT_TRUE(target.finished);
    HANDLE raw = nullptr; // a handle without query rights: no image path
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &raw,
                                SYNCHRONIZE, FALSE, 0));
    Handle limited(raw);
    EXPECT_FALSE(ProcessMatch("*").match_process(nullptr, limited.get()));
}

TEST(ProcessMatchTest, SessionsAndAccountsOfThisToken) {
    int s = 0;
    std::string d, u;
    ASSERT_TRUE(own_account(s, d, u));
    std::string upper_user = u;
    CharUpperA(&upper_user[0]);
    // clang-format off
    std::pair<ProcessMatch, bool> const cases[] = { // and whether this process matches
        {ProcessMatch(s), s != 0}, {ProcessMatch(-1), s != 0}, {ProcessMatch(s + 1), false}, {ProcessMatch(0), false},
        {ProcessMatch(d.c_str(), u.c_str()), true}, {ProcessMatch(nullptr, upper_user.c_str()), true},
        {ProcessMatch("NoSuchDomain", u.c_str()), false}, {ProcessMatch(d.c_str(), "nobody_here"), false},
        {ProcessMatch(d.c_str(), nullptr), false}, {loaded("", "", "", "nobody_here", s), s != 0},
        {loaded("", "", "", u.c_str(), s + 3), true}, {loaded("", "", "", "nobody_here", s + 3), false},
        {loaded("", "", d.c_str(), "", -1), s != 0}};
    // clang-format on
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        ProcessMatch m = cases[i].first;
        EXPECT_EQ(m.match_process(nullptr, GetCurrentProcess()), cases[i].second) << i;
        EXPECT_FALSE(m.match_process("C:\\x.exe", nullptr)) << i; // no handle: no token
    }
    for (int session : {5, 0, -1, 2}) {
        ProcessMatch m(session);
        m.deny_for_all();
        EXPECT_EQ(m.session(), session == 0 ? 0 : -1);
    }
}

TEST(ProcessMatchTest, Services) {
    LogCapture log;
    ProcessMatch m("*"), other("nothing_like_this.exe"), alone;
    for (ProcessMatch *p : {&m, &other, &alone})
        p->set_service("zem_no_such_service");
    EXPECT_FALSE(m.match_process(nullptr, nullptr)); // no handle: no lookup
    EXPECT_EQ(log.count("get service process id failed"), 0);
    EXPECT_FALSE(m.match_process(nullptr, GetCurrentProcess()));
    EXPECT_EQ(log.count("get service process id failed for zem_no_such_service, with error: "), 1);
    EXPECT_FALSE(other.match_process(nullptr, GetCurrentProcess())); // never asks
    EXPECT_FALSE(alone.match_process(nullptr, GetCurrentProcess())); // asks, no record
    EXPECT_EQ(log.count("get service process id failed"), 1);
    alone.set_service(nullptr);
    EXPECT_EQ(alone.service(), "");
}

TEST(ProcessPolicyTest, SessionWidening) {
    // clang-format off
    std::pair<ProcessPolicy, int> const cases[] = {{ProcessPolicy("p", 3, 0), -1}, {ProcessPolicy("p", 3, 1), 3},
        {ProcessPolicy("p", 0, 0), 0}, {ProcessPolicy("p", ProcessMatch(4), 0), -1},
        {ProcessPolicy("p", ProcessMatch(4), 3), 4}, {ProcessPolicy("p", "a.exe", 0), 0}};
    // clang-format on
    for (auto const &c : cases)
        EXPECT_EQ(c.first.session(), c.second);
    EXPECT_EQ(HookTypePolicy("m", ProcessMatch(3), "x", nullptr).session(), 3);

    for (int hook : {0, 1, 2}) {
        MemoryStreamBuf buf;
        Stream s(buf);
        s.write("v:policy/ProcessPolicy:");
        std::string const none;
        s << "p" << 0 << "a.exe" << none << none << none << 5 << hook;
        ProcessPolicy *back = dynamic_cast<ProcessPolicy *>(s.load());
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->session(), hook == 0 ? -1 : 5);
        EXPECT_TRUE(back->match_process("C:\\a.exe", nullptr)); // prepared after the load
        back->release();
    }
}

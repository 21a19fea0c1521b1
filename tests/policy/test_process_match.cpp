// Process matching and the process and hook-type policies: name lists,
// expressions, the current-process forms inside child processes named
// explorer.exe, notepad.exe and svchost.exe, target processes by handle,
// sessions and accounts of real tokens, services, the wire format.
#include "policy/ProcessMatch.h"
#include "policy/ProcessPolicy.h"
#include "service/WinServiceCtrl.h"

#include "policy_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

using namespace zem::vfs;
using zem::vfs::policy_test::Child;
using zem::vfs::policy_test::frame_of;
using zem::vfs::policy_test::Handle;
using zem::vfs::policy_test::LogCapture;
using zem::vfs::policy_test::round_trip;
using zem::vfs::policy_test::run;
using zem::vfs::policy_test::Scratch;
using zem::vfs::test::hex;
using zem::vfs::test::MemoryStreamBuf;

namespace {

bool named(char const *pattern, char const *image) {
    ProcessMatch m(pattern);
    return m.match_process(image, nullptr);
}

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

struct Account {
    bool ok = false;
    DWORD session = 0;
    std::string user;
    std::string domain;
};

// The session and account of this process's token, read directly.
Account own_account() {
    Account a;
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return a;
    Handle token(raw);
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenSessionId, &a.session, sizeof a.session, &size))
        return a;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    if (!GetTokenInformation(token.get(), TokenUser, &buffer[0], size, &size))
        return a;
    char user[256], domain[256];
    DWORD un = 256, dn = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidA(nullptr, reinterpret_cast<TOKEN_USER *>(&buffer[0])->User.Sid, user, &un,
                           domain, &dn, &use))
        return a;
    a.user = user;
    a.domain = domain;
    a.ok = true;
    return a;
}

std::string upper(std::string text) {
    for (char &c : text)
        c = char(toupper(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

// ---------------------------------------------------------------------------
// Image-path patterns
// ---------------------------------------------------------------------------

TEST(ProcessMatchNames, WholeComponentsAnyCase) {
    EXPECT_TRUE(named("notepad.exe", "C:\\Windows\\System32\\NOTEPAD.EXE"));
    EXPECT_FALSE(named("notepad.exe", "C:\\Tools\\mynotepad.exe"));
    EXPECT_FALSE(named("notepad.exe", "C:\\Tools\\notepad.exe.bak"));
    EXPECT_TRUE(named("system32\\cmd.exe", "c:/windows/system32/cmd.exe"));
    EXPECT_TRUE(named("C:\\Tools\\", "C:\\Tools\\sub\\x.exe"));
    EXPECT_FALSE(named("C:\\Tools\\", "C:\\Tools2\\x.exe"));
    EXPECT_TRUE(named(" \tcmd.exe ", "C:\\cmd.exe"));
}

TEST(ProcessMatchNames, ListsAndEmptyPieces) {
    EXPECT_TRUE(named("a.exe;;b.exe", "C:\\x\\b.exe"));
    EXPECT_TRUE(named("a.exe;;b.exe", "C:\\x\\A.EXE"));
    EXPECT_FALSE(named("a.exe;;b.exe", "C:\\x\\c.exe"));
    EXPECT_FALSE(named(";;", "C:\\x\\c.exe"));
    EXPECT_TRUE(named("a.exe;", "C:\\a.exe"));
}

TEST(ProcessMatchNames, EverythingAndNothing) {
    EXPECT_TRUE(named("*", "C:\\any.exe"));
    EXPECT_TRUE(named("*", ""));
    ProcessMatch from_null(static_cast<char const *>(nullptr));
    EXPECT_EQ(from_null.pattern(), "*");
    EXPECT_TRUE(from_null.match_process("C:\\whatever.exe", nullptr));
    EXPECT_TRUE(from_null.match_process(nullptr, nullptr)); // this process
    ProcessMatch empty;
    EXPECT_FALSE(empty.match_process("C:\\x.exe", nullptr));
    EXPECT_FALSE(empty.match_process(nullptr, GetCurrentProcess()));
    EXPECT_FALSE(named("", "C:\\x.exe"));
}

TEST(ProcessMatchRegex, AnywhereIgnoringCaseThenTheList) {
    char const *p = "_:regex:\\\\(cmd|powershell)\\.exe$";
    EXPECT_TRUE(named(p, "C:\\Windows\\System32\\CMD.EXE"));
    EXPECT_TRUE(named(p, "C:\\ps\\PowerShell.exe"));
    EXPECT_FALSE(named(p, "C:\\x\\cmd.exe.bak"));
    EXPECT_FALSE(named(p, "C:\\x\\xcmd.exe"));
    // No match: the whole text is tried as a list.
    EXPECT_TRUE(named("_:regex:zzz;notepad.exe", "C:\\w\\notepad.exe"));
    EXPECT_FALSE(named("_:regex:zzz;notepad.exe", "C:\\w\\calc.exe"));
    // An empty expression is found everywhere; "!" is no inversion here.
    EXPECT_TRUE(named("_:regex:", "C:\\x.exe"));
    EXPECT_FALSE(named("_:regex:!cmd", "C:\\x.exe"));
    EXPECT_FALSE(named("_:REGEX:x", "C:\\x.exe")); // the prefix is case-sensitive
    ProcessMatch m("_:regex:^c:\\\\apps\\\\");
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(m.match_process("C:\\Apps\\a.exe", nullptr));
        EXPECT_FALSE(m.match_process("D:\\Apps\\a.exe", nullptr));
    }
}

TEST(ProcessMatchCurrent, FormsEvaluatedInThisProcess) {
    EXPECT_TRUE(named("*test_policy.exe:notepad.exe", "C:\\x\\notepad.exe"));
    EXPECT_FALSE(named("*test_policy.exe:notepad.exe", "C:\\x\\calc.exe"));
    EXPECT_FALSE(named("*explorer.exe:notepad.exe", "C:\\x\\notepad.exe"));
    EXPECT_TRUE(named("*test_policy.exe", "C:\\x\\anything.exe"));
    EXPECT_FALSE(named("*explorer.exe", "C:\\x\\anything.exe"));
    EXPECT_TRUE(named("**test_policy.exe", "C:\\x\\y.exe"));
    // The own part ends at the first ":", so it cannot hold an expression.
    EXPECT_FALSE(named("*_:regex:test_pol", "C:\\x\\y.exe"));
    EXPECT_TRUE(named("*test_policy.exe:*test_policy.exe:b.exe", "C:\\b.exe"));
    EXPECT_FALSE(named("*:notepad.exe", "C:\\x\\notepad.exe"));     // empty own part
    EXPECT_FALSE(named("*test_policy.exe:", "C:\\x\\notepad.exe")); // empty target part
    EXPECT_TRUE(named("*test_policy.exe:*", "C:\\x\\notepad.exe"));
}

TEST(ProcessMatchCurrent, DeepNestingEndsWithoutAMatch) {
    std::string stars(100000, '*');
    EXPECT_FALSE(named((stars + "test_policy.exe").c_str(), "C:\\x.exe"));
    std::string chain;
    for (int i = 0; i < 20000; ++i)
        chain += "*test_policy.exe:";
    EXPECT_FALSE(named((chain + "x.exe").c_str(), "C:\\x.exe"));
    EXPECT_TRUE(named("*****test_policy.exe", "C:\\x.exe"));
}

TEST(ProcessMatchCurrent, InChildProcessesNamedLikeTheSystemsPrograms) {
    Scratch dir;
    for (wchar_t const *name : {L"explorer.exe", L"notepad.exe", L"svchost.exe"})
        ASSERT_TRUE(dir.copy_child(name));
    auto asked = [&](wchar_t const *program, char const *pattern, char const *target) {
        return run(dir.file(program), {"process", pattern, target}).value("match");
    };
    char const *pair = "*explorer.exe:notepad.exe";
    EXPECT_EQ(asked(L"explorer.exe", pair, "C:\\Windows\\notepad.exe"), "1");
    EXPECT_EQ(asked(L"explorer.exe", pair, "C:\\Windows\\calc.exe"), "0");
    EXPECT_EQ(asked(L"notepad.exe", pair, "C:\\Windows\\notepad.exe"), "0");
    EXPECT_EQ(asked(L"svchost.exe", "*svchost.exe", "C:\\any\\thing.exe"), "1");
    EXPECT_EQ(asked(L"notepad.exe", "*svchost.exe", "C:\\any\\thing.exe"), "0");
    // Without a name the child asks about itself.
    EXPECT_EQ(asked(L"notepad.exe", "notepad.exe", ""), "1");
    EXPECT_EQ(asked(L"notepad.exe", "explorer.exe", ""), "0");
}

TEST(ProcessMatchTarget, ImagePathOfAnotherProcessByHandle) {
    Scratch dir;
    ASSERT_TRUE(dir.copy_child(L"notepad.exe"));
    std::string image = run(dir.file(L"notepad.exe"), {"image"}).value("image");
    // Started from drive C:, its image path has a drive letter.
    EXPECT_EQ(upper(image.substr(0, 2)), "C:") << image;

    Child target;
    ASSERT_TRUE(target.start(dir.file(L"notepad.exe"), {"wait", "20000"}));
    HANDLE h = target.process();
    EXPECT_TRUE(ProcessMatch("notepad.exe").match_process(nullptr, h));
    EXPECT_FALSE(ProcessMatch("explorer.exe").match_process(nullptr, h));
    EXPECT_TRUE(ProcessMatch("_:regex:^c:\\\\").match_process(nullptr, h));
    EXPECT_TRUE(ProcessMatch("*test_policy.exe:notepad.exe").match_process(nullptr, h));
    EXPECT_FALSE(ProcessMatch("*notepad.exe:notepad.exe").match_process(nullptr, h));
    // A given name wins over the handle.
    EXPECT_FALSE(ProcessMatch("notepad.exe").match_process("C:\\x\\calc.exe", h));
    TerminateProcess(h, 0);
    WaitForSingleObject(h, 10000);
}

TEST(ProcessMatchTarget, UnreadableImageIsNoMatch) {
    // A handle without query rights: its image path cannot be read.
    HANDLE raw = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &raw,
                                SYNCHRONIZE, FALSE, 0));
    Handle limited(raw);
    EXPECT_FALSE(ProcessMatch("*").match_process(nullptr, limited.get()));
}

// ---------------------------------------------------------------------------
// Token tests
// ---------------------------------------------------------------------------

TEST(ProcessMatchSession, SessionOfARealToken) {
    Account me = own_account();
    ASSERT_TRUE(me.ok);
    HANDLE self = GetCurrentProcess();
    int s = int(me.session);
    if (s != 0) {
        EXPECT_TRUE(ProcessMatch(s).match_process(nullptr, self));
        EXPECT_TRUE(ProcessMatch(-1).match_process(nullptr, self));
    } else {
        EXPECT_FALSE(ProcessMatch(-1).match_process(nullptr, self));
    }
    EXPECT_FALSE(ProcessMatch(s + 1).match_process(nullptr, self));
    EXPECT_FALSE(ProcessMatch(0).match_process(nullptr, self)); // no condition at all
    EXPECT_FALSE(ProcessMatch(s).match_process(nullptr, nullptr));
    EXPECT_FALSE(ProcessMatch(s).match_process("C:\\x.exe", nullptr));

    // A child process of this one has the same session.
    Scratch dir;
    ASSERT_TRUE(dir.copy_child(L"notepad.exe"));
    Child target;
    ASSERT_TRUE(target.start(dir.file(L"notepad.exe"), {"wait", "20000"}));
    if (s != 0) {
        EXPECT_TRUE(ProcessMatch(s).match_process(nullptr, target.process()));
    }
    EXPECT_FALSE(ProcessMatch(s + 7).match_process(nullptr, target.process()));
    TerminateProcess(target.process(), 0);
}

TEST(ProcessMatchSession, DenyForAllWidensOnlyNonZeroSessions) {
    ProcessMatch five(5);
    five.deny_for_all();
    EXPECT_EQ(five.session(), -1);
    ProcessMatch zero(0);
    zero.deny_for_all();
    EXPECT_EQ(zero.session(), 0);
    ProcessMatch negative(-1);
    negative.deny_for_all();
    EXPECT_EQ(negative.session(), -1);
}

TEST(ProcessMatchAccount, DomainAndUserOfARealToken) {
    Account me = own_account();
    ASSERT_TRUE(me.ok);
    HANDLE self = GetCurrentProcess();
    EXPECT_TRUE(ProcessMatch(me.domain.c_str(), me.user.c_str()).match_process(nullptr, self));
    EXPECT_TRUE(ProcessMatch(nullptr, me.user.c_str()).match_process(nullptr, self));
    EXPECT_TRUE(ProcessMatch("", upper(me.user).c_str()).match_process(nullptr, self));
    EXPECT_TRUE(
        ProcessMatch(upper(me.domain).c_str(), me.user.c_str()).match_process(nullptr, self));
    EXPECT_FALSE(ProcessMatch("NoSuchDomain", me.user.c_str()).match_process(nullptr, self));
    EXPECT_FALSE(ProcessMatch(me.domain.c_str(), "nobody_here").match_process(nullptr, self));
    EXPECT_FALSE(ProcessMatch(me.domain.c_str(), nullptr).match_process(nullptr, self));
    EXPECT_FALSE(ProcessMatch(me.domain.c_str(), me.user.c_str()).match_process(nullptr, nullptr));
    ProcessMatch fields("d", "u");
    EXPECT_EQ(fields.domain(), "d");
    EXPECT_EQ(fields.user(), "u");
    EXPECT_EQ(fields.pattern(), "");
}

TEST(ProcessMatchAccount, SessionAndAccountAreAlternatives) {
    Account me = own_account();
    ASSERT_TRUE(me.ok);
    HANDLE self = GetCurrentProcess();
    int s = int(me.session);
    if (s != 0) {
        // The right session with a wrong account matches.
        EXPECT_TRUE(loaded("", "", "", "nobody_here", s).match_process(nullptr, self));
    }
    // A wrong session with the right account matches.
    EXPECT_TRUE(loaded("", "", "", me.user.c_str(), s + 3).match_process(nullptr, self));
    EXPECT_FALSE(loaded("", "", "", "nobody_here", s + 3).match_process(nullptr, self));
}

// ---------------------------------------------------------------------------
// Services
// ---------------------------------------------------------------------------

TEST(ProcessMatchService, NeedsAHandleAndLogsAFailedLookupAfterAPattern) {
    LogCapture log;
    ProcessMatch m("*");
    m.set_service("zem_no_such_service");
    EXPECT_EQ(m.service(), "zem_no_such_service");
    EXPECT_FALSE(m.match_process(nullptr, nullptr)); // no handle: no match, no lookup
    EXPECT_EQ(log.count("get service process id failed"), 0);
    EXPECT_FALSE(m.match_process(nullptr, GetCurrentProcess()));
    EXPECT_EQ(log.count("get service process id failed for zem_no_such_service, with error: "), 1);
    // A pattern that does not match never asks.
    ProcessMatch other("nothing_like_this.exe");
    other.set_service("zem_no_such_service");
    EXPECT_FALSE(other.match_process(nullptr, GetCurrentProcess()));
    // Without a pattern the service alone is tested, without the record.
    ProcessMatch alone;
    alone.set_service("zem_no_such_service");
    EXPECT_FALSE(alone.match_process(nullptr, GetCurrentProcess()));
    EXPECT_EQ(log.count("get service process id failed"), 1);
    alone.set_service(nullptr);
    EXPECT_EQ(alone.service(), "");
}

TEST(ProcessMatchService, TheServicesOwnProcess) {
    // A service of the system that runs in a process of its own.
    std::string found;
    unsigned long pid = 0;
    for (wchar_t const *name : {L"PlugPlay", L"RpcSs", L"winmgmt", L"Spooler", L"EventLog"}) {
        WinServiceCtrl control(name);
        pid = control.get_pid();
        if (pid == 0 && control.start())
            pid = control.get_pid();
        if (pid != 0) {
            found = policy_test::narrow(name);
            break;
        }
    }
    if (pid == 0)
        GTEST_SKIP() << "no service process of the system could be found";
    Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    ASSERT_TRUE(process.valid());
    ProcessMatch m("*");
    m.set_service(found.c_str());
    EXPECT_TRUE(m.match_process(nullptr, process.get())) << found;
    EXPECT_FALSE(m.match_process(nullptr, GetCurrentProcess()));
    EXPECT_FALSE(m.match_process(nullptr, nullptr)); // even for the service itself
    ProcessMatch alone;
    alone.set_service(found.c_str());
    EXPECT_TRUE(alone.match_process("C:\\any.exe", process.get()));
    ProcessMatch wrong_pattern("nothing_like_this.exe");
    wrong_pattern.set_service(found.c_str());
    EXPECT_FALSE(wrong_pattern.match_process(nullptr, process.get()));
}

// ---------------------------------------------------------------------------
// Wire format
// ---------------------------------------------------------------------------

TEST(ProcessMatchWire, FiveFieldsInOrder) {
    ProcessMatch m = loaded("a.exe", "svc", "dom", "usr", -1);
    MemoryStreamBuf buf;
    Stream s(buf);
    EXPECT_TRUE(m.serialize_match(s));
    std::string z(1, '\0');
    EXPECT_EQ(hex(buf.bytes()), hex("s::a.exe" + z + "s::svc" + z + "s::dom" + z + "s::usr" + z +
                                    "i:4:" + std::string(4, '\xff')));
    EXPECT_TRUE(m.match_process("C:\\A.EXE", nullptr) == false); // the service needs a handle
    ProcessMatch plain = loaded("a.exe", "", "", "", 0);
    EXPECT_TRUE(plain.match_process("C:\\A.EXE", nullptr)); // prepared after the load
}

// ---------------------------------------------------------------------------
// Process policies
// ---------------------------------------------------------------------------

TEST(ProcessPolicyFields, SessionWideningForHookZero) {
    EXPECT_EQ(ProcessPolicy("p", 3, 0).session(), -1);
    EXPECT_EQ(ProcessPolicy("p", 3, 1).session(), 3);
    EXPECT_EQ(ProcessPolicy("p", 0, 0).session(), 0);
    EXPECT_EQ(ProcessPolicy("p", ProcessMatch(4), 0).session(), -1);
    EXPECT_EQ(ProcessPolicy("p", ProcessMatch(4), 3).session(), 4);
    ProcessPolicy by_name("p", "a.exe", 0);
    EXPECT_EQ(by_name.session(), 0);
    EXPECT_EQ(by_name.hook(), 0);
    ProcessPolicy account("p", "dom", "usr", 1);
    EXPECT_EQ(account.domain(), "dom");
    EXPECT_EQ(account.user(), "usr");
    EXPECT_EQ(account.pattern(), "");
}

TEST(ProcessPolicyFields, NullPatternMatchesEveryProcess) {
    ProcessPolicy p("p", static_cast<char const *>(nullptr), 1);
    EXPECT_EQ(p.pattern(), "*");
    EXPECT_TRUE(p.match_process("C:\\x\\y.exe", nullptr));
    EXPECT_TRUE(p.match_process(nullptr, GetCurrentProcess()));
}

TEST(ProcessPolicyWire, FieldsInOrderAndWideningOnLoad) {
    ProcessPolicy p("n", "a.exe", 3);
    p.set_merge(1);
    std::string z(1, '\0');
    std::string expected = "v:policy/ProcessPolicy:s::n" + z +
                           "i:4:" + std::string("\x01\0\0\0", 4) + "s::a.exe" + z + "s::" + z +
                           "s::" + z + "s::" + z + "i:4:" + std::string(4, '\0') +
                           "i:4:" + std::string("\x03\0\0\0", 4);
    EXPECT_EQ(hex(frame_of(p)), hex(expected));
    ProcessPolicy *back = round_trip(p);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->hook(), 3);
    EXPECT_EQ(back->get_merge(), 1);
    EXPECT_TRUE(back->match_process("C:\\a.exe", nullptr));
    back->release();

    for (int hook : {0, 1}) {
        MemoryStreamBuf buf;
        Stream s(buf);
        s.write("v:policy/ProcessPolicy:");
        s << "p" << 0 << ""
          << ""
          << ""
          << "" << 5 << hook;
        Variable *v = s.load();
        ProcessPolicy *pp = dynamic_cast<ProcessPolicy *>(v);
        ASSERT_NE(pp, nullptr);
        EXPECT_EQ(pp->session(), hook == 0 ? -1 : 5);
        v->release();
    }
}

TEST(ProcessPolicyClone, CopiesEveryField) {
    ProcessPolicy p("n", "dom", "usr", 3);
    p.set_service("svc");
    p.set_merge(1);
    Policy *c = p.clone();
    ProcessPolicy *pc = dynamic_cast<ProcessPolicy *>(c);
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(frame_of(*pc), frame_of(p));
    c->release();
}

// ---------------------------------------------------------------------------
// Hook-type policies
// ---------------------------------------------------------------------------

TEST(HookTypePolicyList, VariadicNamesAddAndOrder) {
    HookTypePolicy h("h", "*", "a", "b", nullptr);
    EXPECT_EQ(h.hooktype(), (std::list<std::string>{"a", "b"}));
    h.add_policy("a");
    h.add_policy(nullptr);
    EXPECT_EQ(h.hooktype(), (std::list<std::string>{"a", "b", "a"}));
    HookTypePolicy *back = round_trip(h);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->hooktype(), (std::list<std::string>{"a", "b", "a"}));
    back->release();
    HookTypePolicy none("n", static_cast<char const *>(nullptr), nullptr);
    EXPECT_TRUE(none.hooktype().empty());
    EXPECT_EQ(none.pattern(), "*");
    std::string bytes = frame_of(none);
    EXPECT_EQ(bytes.substr(bytes.size() - 12), "I:8:" + std::string(8, '\0'));
    HookTypePolicy with_match("m", ProcessMatch(3), "x", nullptr);
    EXPECT_EQ(with_match.session(), 3); // no widening here
    EXPECT_EQ(with_match.hooktype(), (std::list<std::string>{"x"}));
}

TEST(HookTypePolicyList, WireFormatAndClone) {
    HookTypePolicy h("h", "b.exe", "t1", nullptr);
    h.set_merge(2);
    std::string z(1, '\0');
    std::string expected = "v:policy/HookTypePolicy:s::h" + z +
                           "i:4:" + std::string("\x02\0\0\0", 4) + "s::b.exe" + z + "s::" + z +
                           "s::" + z + "s::" + z + "i:4:" + std::string(4, '\0') +
                           "I:8:" + std::string("\x01\0\0\0\0\0\0\0", 8) + "s::t1" + z;
    EXPECT_EQ(hex(frame_of(h)), hex(expected));
    Policy *c = h.clone();
    EXPECT_EQ(frame_of(*c), expected);
    c->release();
}

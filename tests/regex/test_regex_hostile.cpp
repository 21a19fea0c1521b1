// Hostile input: malformed patterns, deep nesting, runaway backtracking and
// recursion.
#include "regex_test_util.h"

#include "regex/RegexMatch.h"

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

using namespace regex_test;
using zem::vfs::regex_search_icase;

namespace {

std::wstring Times(const std::wstring &piece, int count) {
    std::wstring out;
    for (int i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

// Malformed patterns, separated by blanks (none contains one).
const wchar_t kMalformed[] =
    L"( ) (() ()) [ [^ [a- [a-\\ [\\ \\ \\Q \\Qabc \\E \\L \\Uab * +a ? { {1} a{1, a{, "
    L"\\x{ \\x{12 \\u{ \\x{123456789} (? (?< (?<name (?' (?P (?P< (?( (?(1 (?(?=a (?(?< "
    L"(?R (?R< (?R'x (?1 (?99) (?R<nope>) (?# (?#x)* a(?#x \\k \\k< \\k<x [[: [[:alpha "
    L"[[:alpha: (?i (?- (?x) (?<= (?<! (?> a|* (*) (((( )))) [] [^] a{2147483648} "
    L"a{99999999999,1} (?<9999>a)\\9999 (?<0>a) (?<>a) \\99999999999 (?(99999999999)a|b) "
    L"(?99999999999) a**+?* (?=)* (?!)+ \\b* (?:)* (|)* $^ (?<=(?<=(?<=a))) (?(?=(?(1)))x) "
    L"(?R) (?R)* ((?1)) (a|(?R)) (?<=(?R)) (?<!(?1)(a)) (a(?<=(?1))) (?<=(?2)((?1)))b "
    L"[\\x{10FFFF}-\\x{0}]";

TEST(RegexHostile, MalformedPatternsCompileToSomeTreeAndMatchSafely) {
    const wchar_t *texts[] = {L"", L"a", L"abc(d)e", L"((((aaaa", L"\\x{", L"\n\r\n"};
    std::wistringstream all(kMalformed);
    for (std::wstring pattern; all >> pattern;) {
        for (int flags : {0, I, R | I, M | S | G | X}) {
            CPatternT<wchar_t> compiled(pattern.c_str(), static_cast<int>(pattern.size()), flags);
            EXPECT_TRUE(compiled.IsCompiled()) << Narrow(pattern);
            for (const wchar_t *text : texts) {
                CMatchContextT<wchar_t> ctx;
                const int length = static_cast<int>(wcslen(text));
                if (compiled.Match(text, length, ctx)) {
                    EXPECT_LE(0, ctx.m_captures[0]);
                    EXPECT_LE(ctx.m_captures[0], ctx.m_captures[1]);
                    EXPECT_LE(ctx.m_captures[1], length);
                }
            }
        }
    }
}

// Some malformed patterns have a fixed meaning: a top-level ')' is literal, an
// open group or class runs to the end, a quantifier with nothing to repeat is
// literal, and an unknown (? construct is a plain group.
TEST(RegexHostile, SomeMalformedPatternsHaveAFixedMeaning) {
    CheckAll(Hit(L"a)", 0, L"a)", 0, 2), Miss(L"a)", 0, L"a"), Hit(L"(ab", 0, L"xab", 1, 3),
             Hit(L"[ab", 0, L"b", 0, 1), Hit(L"*a", 0, L"*a", 0, 2), Hit(L"a|+", 0, L"+", 0, 1),
             Hit(L"(?#x)*", 0, L"*", 0, 1), Hit(L"\\", 0, L"\\", 0, 1), Hit(L"(?x)", 0, L"x", 0, 1),
             Hit(L"a(?", 0, L"a", 0, 1), Miss(L"\\x{", 0, L"x"));
    EXPECT_TRUE(Find(L"\\x{", 0, std::wstring(1, L'\0')).IsMatched()); // code 0
    EXPECT_FALSE(Find(L"[ab", 0, std::wstring(1, L'\0')).IsMatched()); // nothing past the end
}

TEST(RegexHostile, NestingDepthIsBoundedAtCompileTime) {
    const int limit = CPatternT<wchar_t>::kMaxNesting;
    std::wstring ok = std::wstring(limit, L'(') + L"a" + std::wstring(limit, L')');
    CPatternT<wchar_t> deepest(ok.c_str(), 8);
    EXPECT_TRUE(deepest.IsCompiled());
    EXPECT_TRUE(deepest.Match(L"xa", 2).IsMatched());

    std::wstring deeper = L"(" + ok + L")";
    CPatternT<wchar_t> tooDeep(deeper.c_str(), 8);
    EXPECT_FALSE(tooDeep.IsCompiled());
    EXPECT_FALSE(tooDeep.Compile(deeper.c_str(), static_cast<int>(deeper.size()), 8));
    EXPECT_EQ(0, tooDeep.Match(L"a", 1).GetSize());

    // Unclosed, look-arounds and conditions count too; none of it overflows.
    for (const wchar_t *open : {L"(", L"(?:", L"(?=", L"(?<=", L"(?>", L"(?(?=", L"(?i:"}) {
        const std::wstring huge = Times(open, 100000);
        CPatternT<wchar_t> compiled(huge.c_str(), 8);
        EXPECT_FALSE(compiled.IsCompiled()) << Narrow(open);
        EXPECT_FALSE(regex_search_icase(huge, L"a"));
    }
}

// Runaway searches give up within their step budget (scanning long runs and
// comparing long literals count as work too) or their call depth; ordinary
// work stays far below the budget.
struct Budgeted {
    std::wstring pattern;
    int flags;
    std::wstring text;
    int budget; // 0: the default
    bool aborted, matched;
    int maxSteps;
};

TEST(RegexHostile, SearchesEndWithinTheirLimits) {
    const int budget = CMatchContextT<wchar_t>::kDefaultStepBudget;
    const std::wstring run(5000, L'a');
    const std::wstring path = L"C:\\Users\\someone\\AppData\\Local\\Temp" + Times(L"\\folder", 38);
    const Budgeted rows[] = {
        {L"(a|aa)+$", 0, run + L"b", 0, true, false, budget + 64},
        {L"(a*)*[bc]", I, run, 0, true, false, budget + 64},
        {L".*\\\\foo\\\\.*\\.exe$", I, path + L"\\foo\\tool.exe", 0, false, true, budget / 10},
        {L"[^y]*+[y!]", 0, std::wstring(32000, L'a'), 0, true, false, budget + 4096},
        {L"(a|aa)+$", 0, std::wstring(40, L'a') + L"b", 1000, true, false, 1064},
        {L"a(?R)?b", 0, L"aaaaabbbbb", 0, false, true, 1000},
        {L"a(?R)?b", 0, std::wstring(20000, L'a') + std::wstring(20000, L'b'), 0, true, false,
         budget + 64},
        {L"a" + std::wstring(20000, L'*'), 0, L"aaaa", 0, true, false, budget + 64}};
    for (const Budgeted &row : rows) {
        CPatternT<wchar_t> compiled(row.pattern.c_str(), static_cast<int>(row.pattern.size()),
                                    row.flags);
        CMatchContextT<wchar_t> ctx;
        if (row.budget > 0) {
            ctx.SetStepBudget(row.budget);
        }
        SCOPED_TRACE(Narrow(row.pattern.substr(0, 40)));
        EXPECT_EQ(row.matched,
                  compiled.Match(row.text.c_str(), static_cast<int>(row.text.size()), ctx));
        EXPECT_EQ(row.aborted, ctx.IsAborted());
        EXPECT_LE(ctx.GetSteps(), row.maxSteps);
    }
    // The matchers' view: a search that gives up is a failed match.
    EXPECT_FALSE(regex_search_icase(L"(a*)*b", run)); // no 'b' at all: ruled out at once
    EXPECT_FALSE(regex_search_icase(L"(?:){2147483647}x", L"x"));
    // Here the only match, at the very end, lies beyond the budget: no match.
    EXPECT_FALSE(
        regex_search_icase(std::wstring(5000, L'a') + L"b", std::wstring(20000, L'a') + L"b"));
    EXPECT_TRUE(
        regex_search_icase(std::wstring(500, L'a') + L"b", std::wstring(2000, L'a') + L"b"));
}

struct StackJob {
    std::wstring pattern, text;
    bool done;
};

DWORD WINAPI RunStackJob(LPVOID parameter) {
    StackJob *job = static_cast<StackJob *>(parameter);
    regex_search_icase(job->pattern, job->text);
    job->done = true;
    return 0;
}

// The worst nesting a pattern may have, and deep recursion, on a thread with
// the default 1 MiB stack of Windows.
TEST(RegexHostile, WorstCasesFitInAOneMebibyteThreadStack) {
    const int limit = CPatternT<wchar_t>::kMaxNesting;
    const std::wstring nested = Times(L"(?:a|(", limit) + L"b" + Times(L")+)*", limit);
    const std::wstring recursive = Times(L"(?:", limit - 1) + L"a(?R)?" + Times(L")", limit - 1);
    std::vector<StackJob> jobs = {
        {nested, std::wstring(3000, L'a') + L"c", false},
        {nested, std::wstring(3000, L'b'), false},
        {recursive, std::wstring(3000, L'a'), false},
        {L"(?<=" + recursive + L")b", std::wstring(3000, L'a') + L"b", false},
        {L"\\((?:[^()]|(?R))*\\)", std::wstring(5000, L'(') + std::wstring(5000, L')'), false},
        {L"a" + std::wstring(20000, L'+'), L"aaaa", false},
        {std::wstring(limit + 1, L'('), L"a", false},
    };
    for (StackJob &job : jobs) {
        HANDLE thread = CreateThread(nullptr, 1024 * 1024, RunStackJob, &job,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        ASSERT_NE(nullptr, thread);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 120000));
        DWORD code = 1;
        GetExitCodeThread(thread, &code);
        CloseHandle(thread);
        EXPECT_EQ(0u, code);
        EXPECT_TRUE(job.done);
    }
}

} // namespace

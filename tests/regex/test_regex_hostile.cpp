// Hostile input: malformed patterns, deep nesting, runaway backtracking and
// recursion, and a deterministic fuzz run.
#include "regex_test_util.h"

#include "regex/RegexMatch.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

using namespace regex_test;
using zem::vfs::regex_search_icase;

namespace {

int SearchSteps(const std::wstring &pattern, int flags, const std::wstring &text,
                bool *aborted = nullptr, bool *matched = nullptr, int budget = 0) {
    CPatternT<wchar_t> compiled(pattern.c_str(), static_cast<int>(pattern.size()), flags);
    CMatchContextT<wchar_t> ctx;
    if (budget > 0) {
        ctx.SetStepBudget(budget);
    }
    const bool m = compiled.Match(text.c_str(), static_cast<int>(text.size()), ctx);
    if (aborted != nullptr) {
        *aborted = ctx.IsAborted();
    }
    if (matched != nullptr) {
        *matched = m;
    }
    return ctx.GetSteps();
}

TEST(RegexHostile, MalformedPatternsCompileToSomeTreeAndMatchSafely) {
    const wchar_t *patterns[] = {L"(",
                                 L")",
                                 L"(()",
                                 L"())",
                                 L"[",
                                 L"[^",
                                 L"[a-",
                                 L"[a-\\",
                                 L"[\\",
                                 L"\\",
                                 L"\\Q",
                                 L"\\Qabc",
                                 L"\\E",
                                 L"\\L",
                                 L"\\Uab",
                                 L"*",
                                 L"+a",
                                 L"?",
                                 L"{",
                                 L"{1}",
                                 L"a{1,",
                                 L"a{,",
                                 L"\\x{",
                                 L"\\x{12",
                                 L"\\u{",
                                 L"\\x{123456789}",
                                 L"(?",
                                 L"(?<",
                                 L"(?<name",
                                 L"(?'",
                                 L"(?P",
                                 L"(?P<",
                                 L"(?(",
                                 L"(?(1",
                                 L"(?(?=a",
                                 L"(?(?<",
                                 L"(?R",
                                 L"(?R<",
                                 L"(?R'x",
                                 L"(?1",
                                 L"(?99)",
                                 L"(?R<nope>)",
                                 L"(?#",
                                 L"\\k",
                                 L"\\k<",
                                 L"\\k<x",
                                 L"[[:",
                                 L"[[:alpha",
                                 L"[[:alpha:",
                                 L"(?i",
                                 L"(?-",
                                 L"(?x)",
                                 L"(?<=",
                                 L"(?<!",
                                 L"(?>",
                                 L"a|*",
                                 L"(*)",
                                 L"((((",
                                 L"))))",
                                 L"[]",
                                 L"[^]",
                                 L"a{2147483648}",
                                 L"a{99999999999,1}",
                                 L"(?<9999>a)\\9999",
                                 L"(?<0>a)",
                                 L"(?<>a)",
                                 L"\\99999999999",
                                 L"(?(99999999999)a|b)",
                                 L"(?99999999999)",
                                 L"a**+?*",
                                 L"(?=)*",
                                 L"(?!)+",
                                 L"\\b*",
                                 L"(?:)*",
                                 L"(|)*",
                                 L"$^",
                                 L"(?<=(?<=(?<=a)))",
                                 L"(?(?=(?(1)))x)",
                                 L"(?R)",
                                 L"(?R)*",
                                 L"((?1))",
                                 L"(a|(?R))",
                                 L"[\\x{10FFFF}-\\x{0}]"};
    const wchar_t *texts[] = {L"", L"a", L"abc(d)e", L"((((aaaa", L"\\x{", L"\n\r\n"};
    for (const wchar_t *pattern : patterns) {
        for (int flags : {0, I, R | I, M | S | G | X}) {
            CPatternT<wchar_t> compiled(pattern, flags);
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

TEST(RegexHostile, SomeMalformedPatternsHaveAFixedMeaning) {
    EXPECT_TRUE(Find(L"a)", 0, L"a)").IsMatched()); // top-level ')' is literal
    EXPECT_FALSE(Find(L"a)", 0, L"a").IsMatched());
    EXPECT_TRUE(Find(L"(ab", 0, L"xab").IsMatched()); // open group closed at the end
    EXPECT_TRUE(Find(L"[ab", 0, L"b").IsMatched());   // class runs to the end
    EXPECT_TRUE(Find(L"*a", 0, L"*a").IsMatched());   // nothing to repeat: literal
    EXPECT_TRUE(Find(L"a|+", 0, L"+").IsMatched());
    EXPECT_TRUE(Find(L"(?#x)*", 0, L"*").IsMatched());
    EXPECT_TRUE(Find(L"\\", 0, L"\\").IsMatched());
    EXPECT_TRUE(Find(L"(?x)", 0, L"x").IsMatched()); // unknown (? construct: plain group
    EXPECT_TRUE(Find(L"\\x{", 0, std::wstring(1, L'\0')).IsMatched());
    EXPECT_TRUE(Find(L"a(?", 0, L"a").IsMatched());
    EXPECT_FALSE(Find(L"(?R<nope>)", 0, L"abc").IsMatched());
    EXPECT_FALSE(Find(L"(?5)", 0, L"abc").IsMatched());
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
    EXPECT_EQ(0, tooDeep.Match(L"a", 1).GetSize());

    // Unclosed, look-arounds and conditions count too; none of it overflows.
    for (const wchar_t *open : {L"(", L"(?:", L"(?=", L"(?<=", L"(?>", L"(?(?=", L"(?i:"}) {
        std::wstring huge;
        for (int i = 0; i < 100000; ++i) {
            huge += open;
        }
        CPatternT<wchar_t> compiled(huge.c_str(), 8);
        EXPECT_FALSE(compiled.IsCompiled()) << Narrow(open);
        EXPECT_FALSE(regex_search_icase(huge, L"a"));
    }
}

TEST(RegexHostile, CatastrophicBacktrackingEndsWithinTheStepBudget) {
    const int budget = CMatchContextT<wchar_t>::kDefaultStepBudget;
    bool aborted = false;
    bool matched = true;
    const std::wstring run(5000, L'a');
    int steps = SearchSteps(L"(a|aa)+$", 0, run + L"b", &aborted, &matched);
    EXPECT_TRUE(aborted);
    EXPECT_FALSE(matched);
    EXPECT_LE(steps, budget + 64);

    steps = SearchSteps(L"(a*)*[bc]", 8, run, &aborted, &matched);
    EXPECT_TRUE(aborted);
    EXPECT_FALSE(matched);
    EXPECT_LE(steps, budget + 64);

    // The matchers' view: a search that gives up is a failed match.
    EXPECT_FALSE(regex_search_icase(L"(a|aa)+$", run + L"b"));
    EXPECT_FALSE(regex_search_icase(L"(a*)*b", run)); // no 'b' at all: ruled out at once
    EXPECT_FALSE(regex_search_icase(L"(?:){2147483647}x", L"x"));

    // Ordinary work stays far below the budget.
    std::wstring path = L"C:\\Users\\someone\\AppData\\Local\\Temp";
    while (path.size() < 300) {
        path += L"\\folder";
    }
    path += L"\\foo\\tool.exe";
    steps = SearchSteps(L".*\\\\foo\\\\.*\\.exe$", 8, path, &aborted, &matched);
    EXPECT_TRUE(matched);
    EXPECT_FALSE(aborted);
    EXPECT_LT(steps, budget / 10);

    // Scanning long runs and comparing long literals count as work too, so
    // possessive runs and hostile literals cannot spin outside the budget.
    const std::wstring longRun(32000, L'a');
    steps = SearchSteps(L"[^y]*+[y!]", 0, longRun, &aborted, &matched);
    EXPECT_TRUE(aborted);
    EXPECT_FALSE(matched);
    EXPECT_LE(steps, budget + 4096);
    // Here the only match, at the very end, lies beyond the budget: no match.
    const std::wstring longLiteral = std::wstring(5000, L'a') + L"b";
    EXPECT_FALSE(regex_search_icase(longLiteral, std::wstring(20000, L'a') + L"b"));
    const std::wstring literal = std::wstring(500, L'a') + L"b";
    EXPECT_TRUE(regex_search_icase(literal, std::wstring(2000, L'a') + L"b"));

    // A caller may choose a smaller budget.
    SearchSteps(L"(a|aa)+$", 0, std::wstring(40, L'a') + L"b", &aborted, &matched, 1000);
    EXPECT_TRUE(aborted);
}

TEST(RegexHostile, RecursionDepthIsBoundedWhileMatching) {
    bool aborted = false;
    bool matched = false;
    SearchSteps(L"a(?R)?b", 0, std::wstring(5, L'a') + std::wstring(5, L'b'), &aborted, &matched);
    EXPECT_TRUE(matched);
    SearchSteps(L"a(?R)?b", 0, std::wstring(20000, L'a') + std::wstring(20000, L'b'), &aborted,
                &matched);
    EXPECT_TRUE(aborted);
    EXPECT_FALSE(matched);
    std::wstring stacked = L"a" + std::wstring(20000, L'*');
    SearchSteps(stacked, 0, L"aaaa", &aborted, &matched);
    EXPECT_TRUE(aborted);
    EXPECT_FALSE(matched);
}

struct StackJob {
    std::wstring pattern;
    std::wstring text;
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
    std::wstring nested;
    for (int i = 0; i < limit; ++i) {
        nested += L"(?:a|(";
    }
    nested += L"b";
    for (int i = 0; i < limit; ++i) {
        nested += L")+)*";
    }
    std::wstring recursive;
    for (int i = 0; i < limit - 1; ++i) {
        recursive += L"(?:";
    }
    recursive += L"a(?R)?";
    for (int i = 0; i < limit - 1; ++i) {
        recursive += L")";
    }
    std::vector<StackJob> jobs = {
        {nested, std::wstring(3000, L'a') + L"c", false},
        {nested, std::wstring(3000, L'b'), false},
        {recursive, std::wstring(3000, L'a'), false},
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

// --- Deterministic fuzzing -------------------------------------------------

class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint32_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return static_cast<uint32_t>(m_state >> 16);
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }

private:
    uint64_t m_state;
};

const wchar_t *const kPieces[] = {
    L"a",     L"b",     L"ab",    L"A",       L".",           L"\\d",   L"\\w",     L"\\s",
    L"\\W",   L"[ab]",  L"[^a]",  L"[a-c]",   L"[[:alpha:]]", L"\\x41", L"\\u{62}", L"(",
    L")",     L"(?:",   L"(?=",   L"(?!",     L"(?<=",        L"(?<!",  L"(?>",     L"(?i)",
    L"(?-i)", L"(?s:",  L"|",     L"*",       L"+",           L"?",     L"*?",      L"+?",
    L"*+",    L"{2}",   L"{1,3}", L"{,2}",    L"{2,}?",       L"^",     L"$",       L"\\b",
    L"\\B",   L"\\A",   L"\\z",   L"\\Z",     L"\\G",         L"\\1",   L"\\2",     L"\\k<n>",
    L"(?<n>", L"(?(1)", L"(?(n)", L"(?(?=a)", L"(?R)",        L"(?1)",  L"\\Q",     L"\\E",
    L"\\",    L"{",     L"}",     L"]",       L"[",           L"#",     L" ",       L"\\n",
    L"-"};
const wchar_t kAlphabet[] = L"aabbA \n-1\\";

std::wstring RandomPattern(Random &rng) {
    std::wstring pattern;
    const int count = rng.Below(12) + 1;
    for (int i = 0; i < count; ++i) {
        pattern += kPieces[rng.Below(static_cast<int>(sizeof(kPieces) / sizeof(kPieces[0])))];
    }
    return pattern;
}

std::wstring RandomText(Random &rng, int maxLength) {
    std::wstring text;
    const int length = rng.Below(maxLength + 1);
    for (int i = 0; i < length; ++i) {
        text += kAlphabet[rng.Below(static_cast<int>(wcslen(kAlphabet)))];
    }
    return text;
}

TEST(RegexFuzz, RandomPatternsAndSubjectsAreHandledSafely) {
    Random rng(0x5eed1234abcdULL);
    const int flagBits[] = {S, M, G, I, R, X};
    const auto started = std::chrono::steady_clock::now();
    int matched = 0;
    int runs = 0;
    for (; runs < 600000; ++runs) {
        if (std::chrono::steady_clock::now() - started > std::chrono::seconds(5)) {
            break; // bounded time on slow machines; the sequence stays the same
        }
        const std::wstring pattern = RandomPattern(rng);
        int flags = 0;
        for (int bit : flagBits) {
            if (rng.Below(4) == 0) {
                flags |= bit;
            }
        }
        CPatternT<wchar_t> compiled(pattern.c_str(), static_cast<int>(pattern.size()), flags);
        ASSERT_TRUE(compiled.IsCompiled()) << Narrow(pattern);
        for (int t = 0; t < 3; ++t) {
            const std::wstring text = RandomText(rng, 24);
            CMatchContextT<wchar_t> ctx;
            ctx.SetStepBudget(20000);
            const int length = static_cast<int>(text.size());
            if (!compiled.Match(text.c_str(), length, ctx)) {
                continue;
            }
            ++matched;
            const int groups = ctx.m_captures.GetSize() / 2;
            ASSERT_LE(0, ctx.m_captures[0]) << Narrow(pattern) << " / " << Narrow(text);
            ASSERT_LE(ctx.m_captures[0], ctx.m_captures[1]) << Narrow(pattern);
            ASSERT_LE(ctx.m_captures[1], length) << Narrow(pattern);
            for (int g = 1; g < groups; ++g) {
                const int s = ctx.m_captures[2 * g];
                const int e = ctx.m_captures[2 * g + 1];
                ASSERT_TRUE(s >= -1 && s <= length && e >= -1 && e <= length)
                    << Narrow(pattern) << " / " << Narrow(text) << " group " << g;
            }
        }
    }
    EXPECT_GT(runs, 1000);
    EXPECT_GT(matched, 0);
}

// Patterns within the syntax both engines share (no back-references,
// look-behind or extensions) must find the same leftmost match as
// std::wregex in ECMAScript mode. Inside a look-ahead the reference takes
// the look-ahead's position for the start of the text, so '^' is left out
// and $ \b \B never share a pattern with look-aheads.
TEST(RegexFuzz, AgreesWithStdRegexOnTheCommonSyntax) {
    const wchar_t *const pieces[] = {L"a",    L"b",    L"ab",    L".", L"\\d", L"\\w",
                                     L"[ab]", L"[^a]", L"(",     L")", L"(?:", L"(?=",
                                     L"(?!",  L"|",    L"*",     L"+", L"?",   L"*?",
                                     L"+?",   L"{2}",  L"{1,3}", L"$", L"\\b", L"\\B"};
    const int kFirstQuantifier = 14; // "*" up to "{1,3}"
    const int kLastQuantifier = 20;
    const wchar_t alphabet[] = L"aab 1-";
    Random rng(0xfeedbeef42ULL);
    int compared = 0;
    for (int runs = 0; runs < 100000; ++runs) {
        // Quantifiers are not stacked: engines disagree on what a** means.
        std::wstring pattern;
        const int count = rng.Below(8) + 1;
        const int kinds = static_cast<int>(sizeof(pieces) / sizeof(pieces[0]));
        bool lastQuantifier = false;
        const bool lookahead = rng.Below(2) == 0; // look-aheads or $ \b \B
        for (int i = 0; i < count; ++i) {
            const int k = rng.Below(kinds);
            const bool isLookahead = k == 11 || k == 12;
            const bool isAssertion = k >= kinds - 3;
            if ((isLookahead && !lookahead) || (isAssertion && lookahead)) {
                continue;
            }
            const bool quantifier = k >= kFirstQuantifier && k <= kLastQuantifier;
            if (quantifier && lastQuantifier) {
                continue;
            }
            lastQuantifier = quantifier;
            pattern += pieces[k];
        }
        // Engines differ on which match a repeated group that can match empty
        // prefers (ECMAScript rejects empty extra iterations, as this engine
        // does; the reference has rules of its own): compare only whether
        // there is a match then.
        bool repeatedGroup = false;
        for (size_t i = 0; i + 1 < pattern.size(); ++i) {
            const wchar_t next = pattern[i + 1];
            repeatedGroup = repeatedGroup || (pattern[i] == L')' && (next == L'*' || next == L'+' ||
                                                                     next == L'?' || next == L'{'));
        }
        std::wregex reference;
        try {
            reference.assign(pattern, std::regex_constants::ECMAScript);
        } catch (const std::regex_error &) {
            continue; // malformed for the reference
        }
        CPatternT<wchar_t> compiled(pattern.c_str(), static_cast<int>(pattern.size()), 0);
        for (int t = 0; t < 3; ++t) {
            std::wstring text;
            const int length = rng.Below(12);
            for (int i = 0; i < length; ++i) {
                text += alphabet[rng.Below(6)];
            }
            std::wsmatch expected;
            bool found = false;
            try {
                found = std::regex_search(text, expected, reference);
            } catch (const std::regex_error &) {
                continue;
            }
            CMatchResultT<wchar_t> actual = compiled.Match(text.c_str(), length);
            ++compared;
            ASSERT_EQ(found, actual.IsMatched()) << Narrow(pattern) << " / " << Narrow(text);
            if (found && !repeatedGroup) {
                ASSERT_EQ(static_cast<int>(expected.position(0)), actual.GetGroupStart(0))
                    << Narrow(pattern) << " / " << Narrow(text);
                ASSERT_EQ(static_cast<int>(expected.position(0) + expected.length(0)),
                          actual.GetGroupEnd(0))
                    << Narrow(pattern) << " / " << Narrow(text);
            }
        }
    }
    EXPECT_GT(compared, 1000);
}

// Without anchors, look-around, back-references or atomic constructs the
// set of texts a pattern matches does not depend on the direction: a search
// right to left must find a match exactly when one left to right does, and
// ignoring case must not depend on the case of the text.
TEST(RegexFuzz, DirectionAndCaseDoNotChangeWhetherThereIsAMatch) {
    const wchar_t *const pieces[] = {L"a",   L"b",    L"ab",    L"B",     L".",    L"\\d",
                                     L"\\w", L"[ab]", L"[^a]",  L"[a-c]", L"(",    L")",
                                     L"(?:", L"|",    L"*",     L"+",     L"?",    L"*?",
                                     L"+?",  L"{2}",  L"{1,3}", L"(?<n>", L"(?i)", L"\\x41"};
    const wchar_t alphabet[] = L"aAbB1-";
    Random rng(0x0dd5eedULL);
    for (int runs = 0; runs < 100000; ++runs) {
        // No stacked quantifiers: a++ is possessive, which depends on the direction.
        std::wstring pattern;
        const int count = rng.Below(8) + 1;
        bool lastQuantifier = false;
        for (int i = 0; i < count; ++i) {
            const int k = rng.Below(static_cast<int>(sizeof(pieces) / sizeof(pieces[0])));
            const bool quantifier = k >= 14 && k <= 20; // "*" up to "{1,3}"
            if (quantifier && lastQuantifier) {
                continue;
            }
            lastQuantifier = quantifier;
            pattern += pieces[k];
        }
        const int length = static_cast<int>(pattern.size());
        CPatternT<wchar_t> forward(pattern.c_str(), length, 0);
        CPatternT<wchar_t> backward(pattern.c_str(), length, R);
        CPatternT<wchar_t> folded(pattern.c_str(), length, I);
        for (int t = 0; t < 3; ++t) {
            std::wstring text;
            const int size = rng.Below(10);
            for (int i = 0; i < size; ++i) {
                text += alphabet[rng.Below(6)];
            }
            std::wstring upper = text;
            for (wchar_t &c : upper) {
                c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c;
            }
            ASSERT_EQ(forward.Match(text.c_str(), size).IsMatched(),
                      backward.Match(text.c_str(), size).IsMatched())
                << Narrow(pattern) << " / " << Narrow(text);
            ASSERT_EQ(folded.Match(text.c_str(), size).IsMatched(),
                      folded.Match(upper.c_str(), size).IsMatched())
                << Narrow(pattern) << " / " << Narrow(text);
        }
    }
}

} // namespace

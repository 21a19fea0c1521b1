// Buffers, results, the pattern interface, the search helpers and the
// matchers' entry point.
#include "regex_test_util.h"

#include "regex/RegexMatch.h"

#include <string>

using namespace regex_test;
using zem::vfs::CBufferRefT;
using zem::vfs::CBufferT;
using zem::vfs::CInlineBufferT;
using zem::vfs::regex_search_icase;

namespace {

TEST(RegexBuffer, CapacityGrowsByDoublingFromEightOrToTheNeededMultipleOfEight) {
    CBufferT<int> ints;
    EXPECT_EQ(0, ints.GetCapacity());
    ints.Push(1);
    EXPECT_EQ(8, ints.GetCapacity());
    for (int i = 0; i < 8; ++i) {
        ints.Push(i);
    }
    EXPECT_EQ(16, ints.GetCapacity());
    int block[100] = {};
    ASSERT_TRUE(ints.Append(block, 100)); // needs 109: more than 2 x 16
    EXPECT_EQ(112, ints.GetCapacity());
    EXPECT_EQ(109, ints.GetSize());
    ASSERT_TRUE(ints.Append(block, 4)); // 113 > 112: doubling wins
    EXPECT_EQ(224, ints.GetCapacity());

    CBufferT<char> chars("abc", 3);
    EXPECT_EQ(8, chars.GetCapacity());
    EXPECT_EQ('c', chars.Pop());
    EXPECT_EQ(2, chars.GetSize());
    CBufferT<wchar_t> wide(L"xyz", 3);
    CBufferT<wchar_t> copy = wide;
    EXPECT_TRUE(copy.GetRef() == wide.GetRef());
    EXPECT_NE(copy.GetBuffer(), wide.GetBuffer());
}

TEST(RegexBuffer, EdgesAreSafe) {
    CBufferT<int> ints;
    EXPECT_EQ(0, ints.Pop());
    ints.Push(5);
    ints.Truncate(10);
    ints.Truncate(-1);
    EXPECT_EQ(1, ints.GetSize());
    ints.Truncate(0);
    EXPECT_TRUE(ints.IsEmpty());
    EXPECT_FALSE(ints.Append(nullptr, 3));
    EXPECT_TRUE(ints.Append(nullptr, 0));
    // Inline storage moves to the heap when outgrown.
    CInlineBufferT<int, 4> small;
    EXPECT_EQ(4, small.GetCapacity());
    for (int i = 0; i < 5; ++i) {
        small.Push(i);
    }
    EXPECT_EQ(8, small.GetCapacity());
    CInlineBufferT<int, 4> copy(small);
    ASSERT_EQ(5, copy.GetSize());
    EXPECT_EQ(4, copy[4]);
    const wchar_t text[] = L"abcabc";
    CBufferRefT<wchar_t> ref(text, 6);
    EXPECT_EQ(5, ref.Find(L'c', 3));
    EXPECT_EQ(-1, ref.Find(L'z'));
    EXPECT_FALSE(ref.IsEqual(L"abcab", 5));
    EXPECT_EQ(0, CBufferRefT<wchar_t>(nullptr, 5).GetSize());
}

TEST(RegexResult, HoldsFlagAndSpansOfEveryGroup) {
    CPatternT<wchar_t> pattern(L"(a)(x)?(c)");
    CMatchResultT<wchar_t> result = pattern.Match(L"zac", 3);
    ASSERT_EQ(1 + 2 * 4, result.GetSize());
    EXPECT_EQ(1, result[0]);
    EXPECT_EQ(3, result.MaxGroupNumber());
    EXPECT_EQ(1, result.GetGroupStart(0));
    EXPECT_EQ(3, result.GetGroupEnd(0));
    EXPECT_EQ(-1, result.GetGroupStart(2));
    EXPECT_EQ(-1, result.GetGroupEnd(2));
    EXPECT_EQ(2, result.GetGroupStart(3));
    EXPECT_EQ(-1, result[99]);

    CMatchResultT<wchar_t> none = pattern.Match(L"zzz", 3);
    EXPECT_EQ(0, none.GetSize());
    EXPECT_FALSE(none.IsMatched());
    EXPECT_EQ(-1, none.MaxGroupNumber());
}

TEST(RegexPattern, WithoutACompiledPatternTheResultIsEmpty) {
    CPatternT<wchar_t> none;
    EXPECT_FALSE(none.IsCompiled());
    EXPECT_EQ(0, none.Match(L"abc", 3).GetSize());
    CPatternT<wchar_t> empty(L"");
    ASSERT_TRUE(empty.IsCompiled());
    CMatchResultT<wchar_t> result = empty.Match(L"abc", 3);
    ASSERT_TRUE(result.IsMatched());
    EXPECT_EQ(0, result.GetGroupEnd(0));
    EXPECT_TRUE(empty.Match(nullptr, 0).IsMatched());
    EXPECT_TRUE(empty.Match(nullptr, 10).IsMatched()); // a null text is empty
}

TEST(RegexPattern, CompileReplacesThePreviousPattern) {
    CPatternT<wchar_t> pattern(L"(a)(b)");
    EXPECT_EQ(2, pattern.GetGroupCount());
    ASSERT_TRUE(pattern.Compile(L"xyz", 2, 0)); // only "xy"
    EXPECT_EQ(0, pattern.GetGroupCount());
    EXPECT_TRUE(pattern.Match(L"xy", 2).IsMatched());
    EXPECT_FALSE(pattern.Match(L"axz", 3).IsMatched());
    pattern.Clear();
    EXPECT_FALSE(pattern.IsCompiled());
}

TEST(RegexPattern, NamedGroupsAndExplicitNumbers) {
    CPatternT<wchar_t> pattern(L"(?<year>\\d{4})-(?'mon'\\d\\d)-(?P<day>\\d\\d)(?<7>x)?");
    EXPECT_EQ(1, pattern.GetNamedNumber(L"year", -1));
    EXPECT_EQ(2, pattern.GetNamedNumber(L"mon", 3));
    EXPECT_EQ(3, pattern.GetNamedNumber(L"day", -1));
    EXPECT_EQ(-1, pattern.GetNamedNumber(L"Day", -1));
    EXPECT_EQ(7, pattern.GetNamedNumber(L"7", -1));
    EXPECT_EQ(3, pattern.GetGroupCount());
    EXPECT_EQ(7, pattern.GetMaxGroupNumber());
    CMatchResultT<wchar_t> result = pattern.Match(L"on 2024-05-06x", 14);
    ASSERT_TRUE(result.IsMatched());
    EXPECT_EQ(7, result.MaxGroupNumber());
    EXPECT_EQ(8, result.GetGroupStart(2));
    EXPECT_EQ(11, result.GetGroupStart(3));
    EXPECT_EQ(13, result.GetGroupStart(7));
    EXPECT_EQ(-1, result.GetGroupStart(5));
}

TEST(RegexPattern, SearchStartAndGlobalContinuation) {
    CPatternT<wchar_t> global(L"\\Gb", zem::vfs::REGEX_GLOBAL);
    EXPECT_TRUE(global.Match(L"ab", 2, 1).IsMatched());
    EXPECT_FALSE(global.Match(L"ab", 2, 0).IsMatched());
    CPatternT<wchar_t> plain(L"a");
    CMatchResultT<wchar_t> r = plain.Match(L"aXa", 3, 1);
    ASSERT_TRUE(r.IsMatched());
    EXPECT_EQ(2, r.GetGroupStart(0));
    EXPECT_FALSE(plain.Match(L"aXa", 3, 3).IsMatched());
    EXPECT_FALSE(plain.Match(L"aXa", 3, 99).IsMatched());
    CPatternT<wchar_t> anchored(L"\\Aa");
    EXPECT_FALSE(anchored.Match(L"aa", 2, 1).IsMatched());
    // (?R) inside a look-behind runs the whole pattern right to left.
    r = Find(L"(?<=(?R)b|^)a", 0, L"aba", 1);
    EXPECT_EQ(2, r.GetGroupStart(0));
    EXPECT_FALSE(Find(L"(?<=(?R)b|^)a", 0, L"abba", 1).IsMatched());
    CPatternT<wchar_t> backwards(L"a", zem::vfs::REGEX_RIGHTTOLEFT);
    r = backwards.Match(L"aXa", 3, 2);
    ASSERT_TRUE(r.IsMatched());
    EXPECT_EQ(0, r.GetGroupStart(0));
}

// The search helpers learnt from a pattern must never hide a match. Each row:
// the pattern, what the search learnt (-1: not checked) and one search.
struct Helped {
    Case search;
    int anchored;
    int requiredAtEnd;
    int firstFilter;
};

TEST(RegexPattern, SearchHelpersAreSoundAndUsedWhereExpected) {
    const Helped rows[] = {
        {Hit(L"\\.tmp$", I, L"\\??\\C:\\a\\B.TMP", 10, 14), -1, 1, 1},
        {Miss(L"\\.tmp$", I, L"a.tmp.b"), -1, 1, 1},
        {Hit(L"abc$", M, L"abc\nx", 0, 3), -1, 0, -1},
        {Hit(L"x(ab(c))$", 0, L"zxabc", 1, 5), -1, 1, -1},
        {Hit(L"(^c:)\\\\", I, L"C:\\x", 0, 3), 1, -1, -1},
        {Miss(L"(^c:)\\\\", I, L"xC:\\x"), 1, -1, -1},
        {Hit(L"^a|b", 0, L"xb", 1, 2), 0, -1, -1},
        {Hit(L"a?b*", 0, L"zz", 0, 0), -1, -1, 0},
        {Hit(L"(?:ab|\\d)+x|y", 0, L"--12x", 2, 5), -1, -1, 1},
        {Hit(L"(?:ab|\\d)+x|y", 0, L"--y", 2, 3), -1, -1, 1},
        // Ignore-case first characters beyond ASCII follow the runtime's mapping.
        {Hit(L"\x00e9t\x00e9", I, L"x\x00e9t\x00e9", 1, 4), -1, -1, -1},
        {Hit(L"\x4e2d", I, L"ab\x4e2d", 2, 3), -1, -1, -1},
        // A leading .* skips starts on the same line, never a later line.
        {Hit(L".*b", 0, L"aaa\nab", 4, 6), -1, -1, -1},
        {Hit(L"(?s).*b", 0, L"a\nb", 0, 3), -1, -1, -1},
        {Miss(L"(?s).*c", 0, L"a\nb"), -1, -1, -1},
        {Hit(L".*?x", 0, L"ab\ncx", 3, 5), -1, -1, -1}};
    for (const Helped &row : rows) {
        Check(row.search);
        CPatternT<wchar_t> pattern(row.search.pattern, row.search.flags);
        const int learnt[] = {pattern.IsAnchoredStart(), pattern.IsRequiredAtEnd(),
                              pattern.HasFirstCharFilter()};
        const int expected[] = {row.anchored, row.requiredAtEnd, row.firstFilter};
        for (int k = 0; k < 3; ++k) {
            EXPECT_TRUE(expected[k] < 0 || expected[k] == learnt[k]) << Narrow(row.search.pattern);
        }
        EXPECT_TRUE(row.requiredAtEnd != 1 || pattern.GetRequiredLiteral() != nullptr);
    }
}

// The cases the file and process matchers rely on (flag 8, a search).
TEST(RegexMatchers, EdgeCasesOfThePolicyMatchers) {
    const struct {
        const wchar_t *pattern;
        const wchar_t *path;
        bool matches;
    } cases[] = {
        {L"", L"C:\\Windows\\notepad.exe", true},
        {L"", L"", true},
        {L"note", L"notepad.exe", true},
        {L"^note$", L"notepad.exe", false},
        {L"NOTE", L"notepad.exe", true},
        {L"(?-i)NOTE", L"notepad.exe", false},
        {L"(?-i)note", L"notepad.exe", true},
        {L"x{,5}", L"abc", true},
        {L"^x{,5}$", L"", true},
        {L"^x{3}?$", L"xxxx", false},
        {L"^x{3}?$", L"xxx", true},
        {L"\\.tmp$", L"\\??\\C:\\a\\B.TMP", true},
        {L"\\\\(cmd|powershell)\\.exe$", L"C:\\Windows\\System32\\CMD.EXE", true},
        {L"\\\\(cmd|powershell)\\.exe$", L"C:\\Windows\\System32\\xcmd.exe", false},
        {L"^c:\\\\users\\\\[^\\\\]+\\\\appdata\\\\", L"C:\\Users\\Bob\\AppData\\Local\\x.dll",
         true},
        {L"^c:\\\\users\\\\[^\\\\]+\\\\appdata\\\\", L"C:\\Users\\Bob\\Docs\\AppData\\x", false},
        {L"\\\\temp\\\\.*\\.(exe|dll)$", L"C:\\Users\\x\\AppData\\Local\\Temp\\a\\b.DLL", true},
        {L"(", L"abc", true}}; // closed at the end, matches empty
    for (const auto &c : cases) {
        EXPECT_EQ(c.matches, regex_search_icase(c.pattern, c.path)) << Narrow(c.pattern);
    }
    EXPECT_FALSE(regex_search_icase(std::wstring(200, L'('), L"abc")); // too deep: unusable
}

} // namespace

// Buffers, the pattern interface and its results, the search helpers and the
// matchers' entry point.
#include "regex_test_util.h"

#include "regex/RegexMatch.h"

#include <string>

using namespace regex_test;
using zem::vfs::CBufferRefT;
using zem::vfs::CBufferT;
using zem::vfs::regex_search_icase;

namespace {

TEST(RegexBuffer, CapacityGrowsByTheRuleAndTheEdgesAreSafe) {
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
    ints.Truncate(0);
    EXPECT_TRUE(ints.IsEmpty());
    EXPECT_EQ(0, ints.Pop());
    ints.Push(5);
    ints.Truncate(10);
    ints.Truncate(-1);
    EXPECT_EQ(1, ints.GetSize());
    EXPECT_FALSE(ints.Append(nullptr, 3));
    EXPECT_TRUE(ints.Append(nullptr, 0));
    EXPECT_EQ(0, CBufferRefT<wchar_t>(nullptr, 5).GetSize());
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
    // Compiling again replaces the previous pattern.
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
    // The result: the flag, then start and end of every group up to the highest.
    CMatchResultT<wchar_t> result = pattern.Match(L"on 2024-05-06x", 14);
    ASSERT_EQ(1 + 2 * 8, result.GetSize());
    EXPECT_EQ(1, result[0]);
    EXPECT_EQ(7, result.MaxGroupNumber());
    EXPECT_EQ(3, result.GetGroupStart(0));
    EXPECT_EQ(14, result.GetGroupEnd(0));
    EXPECT_EQ(10, result.GetGroupEnd(2));
    EXPECT_EQ(11, result.GetGroupStart(3));
    EXPECT_EQ(13, result.GetGroupStart(7));
    EXPECT_EQ(-1, result.GetGroupStart(5));
    EXPECT_EQ(-1, result[99]);
    CMatchResultT<wchar_t> none = pattern.Match(L"2024-05", 7);
    EXPECT_EQ(0, none.GetSize());
    EXPECT_EQ(-1, none.MaxGroupNumber());
}

TEST(RegexPattern, SearchStartAndGlobalContinuation) {
    CPatternT<wchar_t> global(L"\\Gb", zem::vfs::REGEX_GLOBAL);
    EXPECT_TRUE(global.Match(L"ab", 2, 1).IsMatched());
    EXPECT_FALSE(global.Match(L"ab", 2, 0).IsMatched());
    CPatternT<wchar_t> plain(L"a");
    CMatchResultT<wchar_t> r = plain.Match(L"aXa", 3, 1);
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
    EXPECT_EQ(0, r.GetGroupStart(0));
}

// What the search learnt from a pattern: an anchored start ("A"), a literal
// required at the very end ("E") and a first-character filter ("F").
std::string Learnt(const wchar_t *pattern, int flags) {
    CPatternT<wchar_t> compiled(pattern, flags);
    const bool atEnd = compiled.IsRequiredAtEnd() && compiled.GetRequiredLiteral() != nullptr;
    return std::string(compiled.IsAnchoredStart() ? "A" : "") + (atEnd ? "E" : "") +
           (compiled.HasFirstCharFilter() ? "F" : "");
}

// The search helpers are used where they apply and never hide a match.
TEST(RegexPattern, SearchHelpersNeverHideAMatch) {
    EXPECT_EQ("EF", Learnt(L"\\.tmp$", I));
    EXPECT_EQ("F", Learnt(L"abc$", M));
    EXPECT_EQ("AF", Learnt(L"(^c:)\\\\", I));
    EXPECT_EQ("F", Learnt(L"^a|b", 0));
    EXPECT_EQ("", Learnt(L"a?b*", 0));
    EXPECT_EQ("F", Learnt(L"(?:ab|\\d)+x|y", 0));
    CheckAll(Hit(L"\\.tmp$", I, L"\\??\\C:\\a\\B.TMP", 10, 14), Miss(L"\\.tmp$", I, L"a.tmp.b"),
             Hit(L"abc$", M, L"abc\nx", 0, 3), Hit(L"x(ab(c))$", 0, L"zxabc", 1, 5),
             Hit(L"(^c:)\\\\", I, L"C:\\x", 0, 3), Miss(L"(^c:)\\\\", I, L"xC:\\x"),
             Hit(L"^a|b", 0, L"xb", 1, 2), Hit(L"1|a", 0, L"xa", 1, 2), Hit(L"z", I, L"aZ", 1, 2),
             Hit(L"a?b*", 0, L"zz", 0, 0), Hit(L"(?:ab|\\d)+x|y", 0, L"--12x", 2, 5),
             Hit(L"(?:ab|\\d)+x|y", 0, L"--y", 2, 3),
             // Ignore-case first characters beyond ASCII follow the runtime's mapping.
             Hit(L"\x00e9t\x00e9", I, L"x\x00e9t\x00e9", 1, 4),
             Hit(L"\x4e2d", I, L"ab\x4e2d", 2, 3),
             // A leading .* skips starts on the same line, never a later line.
             Hit(L".*b", 0, L"aaa\nab", 4, 6), Hit(L"(?s).*b", 0, L"a\nb", 0, 3),
             Miss(L"(?s).*c", 0, L"a\nb"), Hit(L".*?x", 0, L"ab\ncx", 3, 5));
}

// The cases the file and process matchers rely on: an ignore-case search.
TEST(RegexMatchers, EdgeCasesOfThePolicyMatchers) {
    CheckAll(
        Miss(L"^x{3}?$", I, L"xxxx"), Hit(L"^x{3}?$", I, L"xxx", 0, 3),
        Hit(L"\\\\(cmd|powershell)\\.exe$", I, L"C:\\Windows\\System32\\CMD.EXE", 19, 27),
        Miss(L"\\\\(cmd|powershell)\\.exe$", I, L"C:\\Windows\\System32\\xcmd.exe"),
        Hit(L"^c:\\\\users\\\\[^\\\\]+\\\\appdata\\\\", I, L"C:\\Users\\Bob\\AppData\\Local\\x.dll",
            0, 21),
        Miss(L"^c:\\\\users\\\\[^\\\\]+\\\\appdata\\\\", I, L"C:\\Users\\Bob\\Docs\\AppData\\x"),
        Hit(L"\\\\temp\\\\.*\\.(exe|dll)$", I, L"C:\\Users\\x\\AppData\\Local\\Temp\\a\\b.DLL", 24,
            37));
    EXPECT_TRUE(regex_search_icase(L"(", L"abc")); // closed at the end, matches empty
    EXPECT_FALSE(regex_search_icase(L"^note$", L"notepad.exe"));
    EXPECT_FALSE(regex_search_icase(std::wstring(200, L'('), L"abc")); // too deep: unusable
}

} // namespace

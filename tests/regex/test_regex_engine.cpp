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

TEST(RegexBuffer, PopOfAnEmptyBufferAndTruncateAreSafe) {
    CBufferT<int> ints;
    EXPECT_EQ(0, ints.Pop());
    ints.Push(5);
    ints.Truncate(10);
    EXPECT_EQ(1, ints.GetSize());
    ints.Truncate(-1);
    EXPECT_EQ(1, ints.GetSize());
    ints.Truncate(0);
    EXPECT_TRUE(ints.IsEmpty());
    EXPECT_FALSE(ints.Append(nullptr, 3));
    EXPECT_TRUE(ints.Append(nullptr, 0));
}

TEST(RegexBuffer, InlineStorageMovesToTheHeapWhenOutgrown) {
    CInlineBufferT<int, 4> small;
    EXPECT_EQ(4, small.GetCapacity());
    for (int i = 0; i < 4; ++i) {
        small.Push(i);
    }
    const int *inlineStorage = small.GetBuffer();
    small.Push(4);
    EXPECT_NE(inlineStorage, small.GetBuffer());
    EXPECT_EQ(8, small.GetCapacity());
    CInlineBufferT<int, 4> copy(small);
    ASSERT_EQ(5, copy.GetSize());
    EXPECT_EQ(4, copy[4]);
}

TEST(RegexBuffer, ReferenceFindsAndCompares) {
    const wchar_t text[] = L"abcabc";
    CBufferRefT<wchar_t> ref(text, 6);
    EXPECT_EQ(2, ref.Find(L'c'));
    EXPECT_EQ(5, ref.Find(L'c', 3));
    EXPECT_EQ(-1, ref.Find(L'z'));
    EXPECT_TRUE(ref.IsEqual(L"abcabc", 6));
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

TEST(RegexPattern, ContextKeepsTheCapturesOfTheMatch) {
    CPatternT<wchar_t> pattern(L"(\\w+)@(\\w+)");
    CMatchContextT<wchar_t> ctx;
    ASSERT_TRUE(pattern.Match(L"mail bob@host now", 17, ctx));
    EXPECT_EQ(5, ctx.m_captures[0]);
    EXPECT_EQ(13, ctx.m_captures[1]);
    EXPECT_EQ(9, ctx.m_captures[4]);
    EXPECT_FALSE(ctx.IsAborted());
    EXPECT_GT(ctx.GetSteps(), 0);
}

// The search helpers learnt from a pattern must never hide a match.
TEST(RegexPattern, SearchHelpersAreSoundAndUsedWhereExpected) {
    CPatternT<wchar_t> suffix(L"\\.tmp$", 8);
    ASSERT_NE(nullptr, suffix.GetRequiredLiteral());
    EXPECT_TRUE(suffix.IsRequiredAtEnd());
    EXPECT_TRUE(suffix.HasFirstCharFilter());
    EXPECT_TRUE(suffix.Match(L"\\??\\C:\\a\\B.TMP", 14).IsMatched());
    EXPECT_FALSE(suffix.Match(L"a.tmp.b", 7).IsMatched());

    CPatternT<wchar_t> multi(L"abc$", zem::vfs::REGEX_MULTILINE);
    EXPECT_FALSE(multi.IsRequiredAtEnd());
    EXPECT_TRUE(multi.Match(L"abc\nx", 5).IsMatched());

    CPatternT<wchar_t> grouped(L"x(ab(c))$");
    EXPECT_TRUE(grouped.IsRequiredAtEnd());
    EXPECT_TRUE(grouped.Match(L"zxabc", 5).IsMatched());

    CPatternT<wchar_t> anchored(L"(^c:)\\\\", 8);
    EXPECT_TRUE(anchored.IsAnchoredStart());
    EXPECT_TRUE(anchored.Match(L"C:\\x", 4).IsMatched());
    EXPECT_FALSE(anchored.Match(L"xC:\\x", 5).IsMatched());
    CPatternT<wchar_t> notAnchored(L"^a|b");
    EXPECT_FALSE(notAnchored.IsAnchoredStart());
    EXPECT_TRUE(notAnchored.Match(L"xb", 2).IsMatched());

    CPatternT<wchar_t> optional(L"a?b*");
    EXPECT_FALSE(optional.HasFirstCharFilter());
    EXPECT_TRUE(optional.Match(L"zz", 2).IsMatched());
    CPatternT<wchar_t> alternatives(L"(?:ab|\\d)+x|y");
    EXPECT_TRUE(alternatives.HasFirstCharFilter());
    EXPECT_TRUE(alternatives.Match(L"--12x", 5).IsMatched());
    EXPECT_TRUE(alternatives.Match(L"--y", 3).IsMatched());

    // Ignore-case first characters beyond ASCII follow the runtime's mapping.
    CPatternT<wchar_t> high(L"\x00e9t\x00e9", 8);
    EXPECT_TRUE(high.Match(L"x\x00e9t\x00e9", 4).IsMatched());
    CPatternT<wchar_t> wide(L"\x4e2d", 8);
    EXPECT_TRUE(wide.Match(L"ab\x4e2d", 3).IsMatched());

    // A leading .* skips starts on the same line, never a later line.
    EXPECT_TRUE(Find(L".*b", 0, L"aaa\nab").IsMatched());
    EXPECT_EQ(4, Find(L".*b", 0, L"aaa\nab").GetGroupStart(0));
    EXPECT_EQ(0, Find(L"(?s).*b", 0, L"a\nb").GetGroupStart(0));
    EXPECT_FALSE(Find(L"(?s).*c", 0, L"a\nb").IsMatched());
    EXPECT_EQ(3, Find(L".*?x", 0, L"ab\ncx").GetGroupStart(0));
}

// The cases the file and process matchers rely on (flag 8, a search).
TEST(RegexMatchers, EdgeCasesOfThePolicyMatchers) {
    EXPECT_TRUE(regex_search_icase(L"", L"C:\\Windows\\notepad.exe"));
    EXPECT_TRUE(regex_search_icase(L"", L""));
    EXPECT_TRUE(regex_search_icase(L"note", L"notepad.exe"));
    EXPECT_FALSE(regex_search_icase(L"^note$", L"notepad.exe"));
    EXPECT_TRUE(regex_search_icase(L"NOTE", L"notepad.exe"));
    EXPECT_FALSE(regex_search_icase(L"(?-i)NOTE", L"notepad.exe"));
    EXPECT_TRUE(regex_search_icase(L"(?-i)note", L"notepad.exe"));
    EXPECT_TRUE(regex_search_icase(L"x{,5}", L"abc"));
    EXPECT_TRUE(regex_search_icase(L"^x{,5}$", L""));
    EXPECT_FALSE(regex_search_icase(L"^x{3}?$", L"xxxx"));
    EXPECT_TRUE(regex_search_icase(L"^x{3}?$", L"xxx"));
    EXPECT_TRUE(regex_search_icase(L"\\.tmp$", L"\\??\\C:\\a\\B.TMP"));
    EXPECT_TRUE(
        regex_search_icase(L"\\\\(cmd|powershell)\\.exe$", L"C:\\Windows\\System32\\CMD.EXE"));
    EXPECT_FALSE(
        regex_search_icase(L"\\\\(cmd|powershell)\\.exe$", L"C:\\Windows\\System32\\xcmd.exe"));
    EXPECT_TRUE(regex_search_icase(L"^c:\\\\users\\\\[^\\\\]+\\\\appdata\\\\",
                                   L"C:\\Users\\Bob\\AppData\\Local\\x.dll"));
    EXPECT_FALSE(regex_search_icase(L"^c:\\\\users\\\\[^\\\\]+\\\\appdata\\\\",
                                    L"C:\\Users\\Bob\\Docs\\AppData\\x"));
    EXPECT_TRUE(regex_search_icase(L"\\\\temp\\\\.*\\.(exe|dll)$",
                                   L"C:\\Users\\x\\AppData\\Local\\Temp\\a\\b.DLL"));
    EXPECT_TRUE(regex_search_icase(L"(", L"abc")); // closed at the end, matches empty
    EXPECT_FALSE(regex_search_icase(std::wstring(200, L'('), L"abc"));
}

} // namespace

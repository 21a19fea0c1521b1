#include "sys/Utility.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

using zem::vfs::uint64;
using zem::vfs::Utility;

uint64 const kNul = static_cast<uint64>(-1);

// Counts beyond 32 bits are refused (0xFFFFFFFF would read as NUL-terminated).
TEST(UtilityConvert, CountedTable) {
    struct Case {
        char const *narrow;
        wchar_t const *wide;
        uint64 count;
        char const *expected;
    } const cases[] = {
        {nullptr, nullptr, kNul, ""},       {"abc", L"abc", 0, ""},
        {"abc", L"abc", 0xFFFFFFFFull, ""}, {"abc", L"abc", (1ull << 32) + 3, ""},
        {"abc", L"abc", 0x80000000ull, ""}, {"abcdef", L"abcdef", 3, "abc"},
        {"ab\0cd", L"ab\0cd", 5, "ab"},     {"abc", L"abc", kNul, "abc"},
    };
    for (Case const &c : cases) {
        SCOPED_TRACE(c.count);
        std::wstring const wide(c.expected, c.expected + std::strlen(c.expected));
        EXPECT_EQ(Utility::utf82w(c.narrow, c.count), wide);
        EXPECT_EQ(Utility::a2w(c.narrow, c.count), wide);
        EXPECT_EQ(Utility::w2utf8(c.wide, c.count), c.expected);
        EXPECT_EQ(Utility::w2a(c.wide, c.count), c.expected);
    }
    EXPECT_EQ(Utility::a2w(std::string()) + Utility::utf82w(std::string("ab\0cd", 5)), L"ab");
    EXPECT_EQ(Utility::w2a(std::wstring()) + Utility::w2utf8(std::wstring(L"ab\0cd", 5)), "ab");
    // "Grüße, 日本語 😀" (the last character needs a surrogate pair).
    std::string const utf8 = "Gr\xC3\xBC\xC3\x9F"
                             "e, \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80";
    std::wstring const wide = L"Gr\u00FC\u00DFe, \u65E5\u672C\u8A9E \xD83D\xDE00";
    EXPECT_EQ(Utility::utf82w(utf8), wide);
    EXPECT_EQ(Utility::w2utf8(wide), utf8);
    EXPECT_EQ(Utility::utf82w(utf8.c_str(), 6), L"Gr\u00FC\u00DF");
    if (GetACP() == 1252) {
        EXPECT_EQ(Utility::a2w("caf\xE9"), L"caf\u00E9");
        EXPECT_EQ(Utility::w2a(L"caf\u00E9"), "caf\xE9");
    }
}

TEST(UtilityConvert, StackAndHeapBuffers) {
    // Two UTF-8 bytes a unit; with its NUL the wide text fills the stack buffer, or not.
    for (std::size_t units : {4094u, 4095u, 70000u}) {
        std::wstring const wide(units, L'\u00E9');
        std::string const utf8 = Utility::w2utf8(wide);
        EXPECT_EQ(utf8.size(), 2 * units);
        EXPECT_EQ(Utility::utf82w(utf8), wide);
    }
}

TEST(UtilityCase, AsciiOnly) {
    EXPECT_EQ(Utility::to_lower(std::string("AbC1\\")), "abc1\\");
    EXPECT_EQ(Utility::to_lower(std::wstring(L"ABC")), L"abc");
    // Non-ASCII passes, also wide units whose low byte is an ASCII letter.
    EXPECT_EQ(Utility::to_upper(std::string("a\xE9\xC3\xA9z")), "A\xE9\xC3\xA9Z");
    EXPECT_EQ(Utility::to_upper(std::wstring(L"a\u00E9\u0161z")), L"A\u00E9\u0161Z");
    EXPECT_EQ(Utility::to_lower(std::wstring(L"\u0141\u0100Z")), L"\u0141\u0100z");
    EXPECT_EQ(Utility::to_upper(std::string("a\0b", 3)), std::string("A\0B", 3));
}

TEST(UtilityTrim, Table) {
    struct Case {
        bool left;
        std::string text;
        char const *set; // nullptr: the default set
        std::string expected;
    } const cases[] = {
        {true, " \t\r\n ", nullptr, ""},
        {false, " \t\r\n ", nullptr, ""},
        {false, "ab\r\n", nullptr, "ab"},
        {true, "\r\n ab ", nullptr, "ab "},
        {true, "", nullptr, ""},
        {true, "\v ab", nullptr, "\v ab"},
        {true, "xxyab", "xy", "ab"},
        {false, "\\\\a\\", "\\", "\\\\a"},
        {true, " a", "", " a"},
        // trim_left ends at a NUL, trim_right keeps it; a NUL is never in the set.
        {true, std::string(" a\0b", 4), nullptr, "a"},
        {true, std::string(" \0b", 3), nullptr, ""},
        {false, std::string("a\0b ", 4), nullptr, std::string("a\0b", 3)},
        {false, std::string("a\0", 2), nullptr, std::string("a\0", 2)},
    };
    for (Case const &c : cases) {
        SCOPED_TRACE((c.left ? "left \"" : "right \"") + c.text + "\" " + (c.set ? c.set : "-"));
        std::wstring const wide(c.text.begin(), c.text.end()),
            expected(c.expected.begin(), c.expected.end());
        if (c.set != nullptr)
            EXPECT_EQ(c.left ? Utility::trim_left(c.text, c.set)
                             : Utility::trim_right(c.text, c.set),
                      c.expected);
        else if (c.left)
            EXPECT_TRUE(Utility::trim_left(c.text) == c.expected &&
                        Utility::trim_left(wide) == expected);
        else
            EXPECT_TRUE(Utility::trim_right(c.text) == c.expected &&
                        Utility::trim_right(wide) == expected);
    }
    EXPECT_EQ(Utility::trim_left(std::string(" a"), static_cast<char const *>(nullptr)), " a");
    EXPECT_EQ(Utility::trim_left(std::wstring(L"xya"), L"xy"), L"a");
    EXPECT_EQ(Utility::trim_right(std::wstring(L"a "), static_cast<wchar_t const *>(nullptr)),
              L"a ");
}

TEST(UtilityFileInPath, Table) {
    struct Case {
        char const *reference, *path;
        bool narrow, wide;
    } const cases[] = {
        {"C:\\dir\\", "\\??\\c:/DIR/file.txt", true, true},
        {"C:\\dir\\", "C:\\dir", true, true},
        {"C:\\dir\\", "C:\\dir2\\x", false, false},
        {"C:\\dir\\", "C:\\di", false, false},
        {"C:\\dir\\a.txt", "c:/DIR/A.TXT", true, true},
        {"C:\\dir\\a.txt", "C:\\dir\\a.txt2", false, false},
        // Only the path is normalised, never the reference.
        {"C:/dir/", "C:\\dir\\x", false, false},
        {"\\??\\C:\\dir\\", "\\??\\C:\\dir\\x", false, false},
        // "*" and "?" are ordinary characters.
        {"C:\\*\\", "C:\\dir\\x", false, false},
        // A reference without a final backslash is a folder only in the wide form.
        {"C:\\dir", "C:\\dir\\x", false, true},
        {"C:\\dir", "\\??\\c:/DIR/sub/x", false, true},
        {"C:\\dir", "C:\\dirx", false, false},
        {"", "C:\\x", false, false},
        {"C:\\", "", false, false},
        {"", "", true, false},
        {"C:\\", "\\??\\", false, false},
    };
    for (Case const &c : cases) {
        SCOPED_TRACE(std::string(c.reference) + " in " + c.path);
        EXPECT_EQ(Utility::file_in_path(c.reference, c.path), c.narrow);
        EXPECT_EQ(Utility::file_in_path(Utility::a2w(c.reference), Utility::a2w(c.path)), c.wide);
    }
    EXPECT_FALSE(Utility::file_in_path(static_cast<char const *>(nullptr), "C:\\x"));
    EXPECT_FALSE(Utility::file_in_path("C:\\", static_cast<char const *>(nullptr)));
    EXPECT_FALSE(Utility::file_in_path(static_cast<wchar_t const *>(nullptr), L"C:\\x"));
    EXPECT_FALSE(Utility::file_in_path(L"C:\\", static_cast<wchar_t const *>(nullptr)));
}

TEST(UtilityNameMatch, Table) {
    struct Case {
        char const *pattern, *name;
        bool match;
    } const cases[] = {
        {"notepad.exe", "C:\\Windows\\NOTEPAD.EXE", true},
        {"windows\\notepad.exe", "c:/windows/notepad.exe", true},
        {"pad.exe", "C:\\Windows\\notepad.exe", false},
        {"C:\\Windows\\", "C:\\Windows\\System32\\cmd.exe", true},
        {"Windows", "C:\\Windows\\System32\\cmd.exe", true},
        {"Windows", "C:\\Windows2\\cmd.exe", false},
        {"a\\b", "x\\ca\\b", false},
        {"a\\b", "x\\A\\B\\y", true},
        // A later occurrence may be bounded where the first is not.
        {"b", "ab\\b", true},
        {"\\cmd", "C:\\cmdx", false},
        {"ows\\", "C:\\Windows\\x", false},
        {"\\windows\\", "C:\\Windows\\x", true},
        {" cmd.exe\t", "C:\\cmd.exe", true},
        {"cmd.exe", "  C:\\CMD.EXE\r\n", true},
        {"*.exe", "C:\\cmd.exe", false},
        {"C:\\Windows\\System32\\cmd.exe", "cmd.exe", false},
        // Empty patterns match only empty names.
        {"", "", true},
        {" \t", "\r\n", true},
        {"", "C:\\cmd.exe", false},
        {"  ", "\\", false},
        {"x", "", false},
    };
    for (Case const &c : cases) {
        SCOPED_TRACE(std::string("pattern \"") + c.pattern + "\" name \"" + c.name + "\"");
        EXPECT_EQ(Utility::name_match(c.pattern, c.name), c.match);
        EXPECT_EQ(Utility::name_match(Utility::a2w(c.pattern), Utility::a2w(c.name)), c.match);
    }
    wchar_t name[] = L"C:\\cmd.exe", pattern[] = L"cmd.exe";
    EXPECT_TRUE(Utility::name_match(pattern, name));
    EXPECT_FALSE(Utility::name_match(static_cast<char const *>(nullptr), "C:\\cmd.exe"));
    EXPECT_FALSE(Utility::name_match("cmd.exe", static_cast<char const *>(nullptr)));
    EXPECT_FALSE(Utility::name_match(static_cast<wchar_t *>(nullptr), name));
    EXPECT_FALSE(Utility::name_match(name, static_cast<wchar_t *>(nullptr)));
    // Non-ASCII letters are compared exactly.
    EXPECT_TRUE(Utility::name_match(std::wstring(L"\u00E9.exe"), std::wstring(L"C:\\\u00E9.EXE")));
    EXPECT_FALSE(Utility::name_match(std::wstring(L"\u00E9.exe"), std::wstring(L"C:\\\u00C9.exe")));
}

// Helpers shared by the regular-expression tests.
#pragma once

#include "regex/RegexPattern.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>

namespace regex_test {

using zem::vfs::CMatchContextT;
using zem::vfs::CMatchResultT;
using zem::vfs::CPatternT;

const int S = zem::vfs::REGEX_SINGLELINE;
const int M = zem::vfs::REGEX_MULTILINE;
const int G = zem::vfs::REGEX_GLOBAL;
const int I = zem::vfs::REGEX_IGNORECASE;
const int R = zem::vfs::REGEX_RIGHTTOLEFT;
const int X = zem::vfs::REGEX_EXTENDED;

// One search: pattern, flags, subject, expected span of the match (-1, -1:
// no match) and of group 1 (-2, -2: not checked).
struct Case {
    const wchar_t *pattern;
    int flags;
    const wchar_t *text;
    int span[4];
};

inline Case Hit(const wchar_t *pattern, int flags, const wchar_t *text, int start, int end,
                int g1s = -2, int g1e = -2) {
    return Case{pattern, flags, text, {start, end, g1s, g1e}};
}
inline Case Miss(const wchar_t *pattern, int flags, const wchar_t *text) {
    return Hit(pattern, flags, text, -1, -1);
}

inline std::string Narrow(const std::wstring &text) {
    std::string out;
    for (wchar_t c : text) {
        char buffer[12];
        snprintf(buffer, sizeof(buffer), c >= 32 && c < 127 ? "%c" : "\\x{%x}",
                 static_cast<unsigned>(c));
        out += buffer;
    }
    return out;
}

inline CMatchResultT<wchar_t> Find(const wchar_t *pattern, int flags, const std::wstring &text,
                                   int start = -1) {
    CPatternT<wchar_t> compiled(pattern, flags);
    return compiled.Match(text.c_str(), static_cast<int>(text.size()), start);
}

inline void Check(const Case &c) {
    SCOPED_TRACE("/" + Narrow(c.pattern) + "/ flags " + std::to_string(c.flags) + " on \"" +
                 Narrow(c.text) + "\"");
    CMatchResultT<wchar_t> result = Find(c.pattern, c.flags, c.text);
    EXPECT_EQ(c.span[0] >= 0, result.IsMatched());
    EXPECT_TRUE(c.span[0] >= 0 || result.GetSize() == 0);
    for (int k = 0; k < 4; ++k) {
        EXPECT_TRUE(c.span[k] == -2 || c.span[k] == result[1 + k]) << "entry " << 1 + k;
    }
}

template <class... Cases> void CheckAll(const Cases &...cases) {
    for (const Case &c : {cases...}) {
        Check(c);
    }
}

} // namespace regex_test

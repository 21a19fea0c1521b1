// Character classes of the regular-expression parser: [...] with ranges,
// escapes, the stock classes (\d \w \s and their negations), POSIX names
// ([:alpha:]) and, ignoring case, the other case of every letter.
#include "RegexParser.h"

namespace zem {
namespace vfs {

using namespace regex_lex;

// One item of a class at pos: a character (returns true) or a nested
// class (returns false, `nested` set).
template <class T>
bool CRegexParserT<T>::ClassItem(int &pos, int flags, unsigned &value, const Elx *&nested) {
    const unsigned c = At(pos);
    ++pos;
    if (c == '.') {
        nested = m_pat.GetStock(StockDot(flags & ~REGEX_RIGHTTOLEFT));
        return false;
    }
    if (c != '\\') {
        value = c;
        return true;
    }
    if (pos >= m_n) {
        value = '\\';
        return true;
    }
    const unsigned e = At(pos);
    ++pos;
    switch (e) {
    case 'd':
    case 'D':
    case 'w':
    case 'W':
    case 's':
    case 'S':
        nested = m_pat.GetStock(StockClass(e, false));
        return false;
    case 'b':
        value = 8;
        return true;
    default:
        break;
    }
    if (!SimpleEscape(e, pos, value)) {
        value = e;
    }
    return true;
}

// [:name:] or [:^name:] at pos (which holds '['); false when it is not.
template <class T> bool CRegexParserT<T>::PosixItem(int &pos, const Elx *&nested) {
    static const char *const kNames[] = {
        "alnum:", "alpha:", "ascii:", "cntrl:", "digit:",  "graph:", "lower:",
        "print:", "punct:", "space:", "upper:", "xdigit:", "blank:"};
    int i = pos + 2;
    bool negative = false;
    if (At(i) == '^') {
        negative = true;
        ++i;
    }
    for (int k = 0; k < static_cast<int>(sizeof(kNames) / sizeof(kNames[0])); ++k) {
        int j = 0;
        while (kNames[k][j] != 0 && i + j < m_n &&
               At(i + j) == static_cast<unsigned char>(kNames[k][j])) {
            ++j;
        }
        if (kNames[k][j] == 0 && At(i + j) == ']' && i + j < m_n) {
            pos = i + j + 1;
            nested = m_pat.template New<CPosixElxT<T>>(k, negative, false);
            return true;
        }
    }
    return false;
}

template <class T> auto CRegexParserT<T>::ParseClass(int flags) -> const Elx * {
    int &pos = m_state.pos;
    bool negative = false;
    if (pos < m_n && At(pos) == '^') {
        negative = true;
        ++pos;
    }
    CInlineBufferT<T, 32> ranges;
    CInlineBufferT<T, 32> chars;
    CInlineBufferT<const Elx *, 8> embeds;
    bool first = true;
    while (pos < m_n) {
        const unsigned c = At(pos);
        if (c == ']' && !first) {
            ++pos;
            break;
        }
        first = false;
        const Elx *nested = nullptr;
        if (c == '[' && At(pos + 1) == ':' && PosixItem(pos, nested)) {
            PushOrFail(embeds, nested);
            continue;
        }
        unsigned lo = 0;
        if (!ClassItem(pos, flags, lo, nested)) {
            PushOrFail(embeds, nested);
            continue;
        }
        if (At(pos) == '-' && pos + 1 < m_n && At(pos + 1) != ']') {
            ++pos;
            unsigned hi = 0;
            const Elx *nested2 = nullptr;
            if (ClassItem(pos, flags, hi, nested2)) {
                PushOrFail(ranges, static_cast<T>(lo));
                PushOrFail(ranges, static_cast<T>(hi));
            } else {
                PushOrFail(chars, static_cast<T>(lo));
                PushOrFail(chars, static_cast<T>('-'));
                PushOrFail(embeds, nested2);
            }
            continue;
        }
        PushOrFail(chars, static_cast<T>(lo));
    }
    if ((flags & REGEX_IGNORECASE) != 0) {
        AddOtherCase(ranges, chars);
    }
    CRangeElxT<T> *range =
        m_pat.template New<CRangeElxT<T>>(negative, (flags & REGEX_RIGHTTOLEFT) != 0);
    range->m_ranges =
        CBufferRefT<T>(m_pat.Copy(ranges.GetBuffer(), ranges.GetSize()), ranges.GetSize());
    range->m_chars =
        CBufferRefT<T>(m_pat.Copy(chars.GetBuffer(), chars.GetSize()), chars.GetSize());
    range->m_embeds = CBufferRefT<const Elx *>(m_pat.Copy(embeds.GetBuffer(), embeds.GetSize()),
                                               embeds.GetSize());
    range->Prepare();
    return range;
}

// Ignore-case classes: the case-swapped part of every range overlapping
// A-Z or a-z, and the other case of every single letter not yet covered.
template <class T> void CRegexParserT<T>::AddOtherCase(CBufferT<T> &ranges, CBufferT<T> &chars) {
    const int rangeCount = ranges.GetSize();
    for (int i = 0; i + 1 < rangeCount; i += 2) {
        const unsigned first = RegexCode(ranges[i]);
        const unsigned last = RegexCode(ranges[i + 1]);
        const unsigned bounds[2][2] = {{'A', 'Z'}, {'a', 'z'}};
        for (int b = 0; b < 2; ++b) {
            const unsigned lo = first > bounds[b][0] ? first : bounds[b][0];
            const unsigned hi = last < bounds[b][1] ? last : bounds[b][1];
            if (lo <= hi) {
                PushOrFail(ranges, static_cast<T>(lo ^ 0x20));
                PushOrFail(ranges, static_cast<T>(hi ^ 0x20));
            }
        }
    }
    const int charCount = chars.GetSize();
    for (int i = 0; i < charCount; ++i) {
        const unsigned c = RegexCode(chars[i]);
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
            continue;
        }
        const unsigned other = c ^ 0x20;
        bool covered = false;
        for (int j = 0; j + 1 < ranges.GetSize() && !covered; j += 2) {
            covered = RegexCode(ranges[j]) <= other && other <= RegexCode(ranges[j + 1]);
        }
        for (int j = 0; j < chars.GetSize() && !covered; ++j) {
            covered = RegexCode(chars[j]) == other;
        }
        if (!covered) {
            PushOrFail(chars, static_cast<T>(other));
        }
    }
}

template const ElxInterface<wchar_t> *CRegexParserT<wchar_t>::ParseClass(int);

} // namespace vfs
} // namespace zem

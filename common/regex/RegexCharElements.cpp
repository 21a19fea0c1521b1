// Elements that match characters: the empty match, literal text, classes
// and POSIX classes.
#include "RegexElementFrame.h"

namespace zem {
namespace vfs {

using namespace regex_frame;

// ---------------------------------------------------------------------------
// CEmptyElxT
// ---------------------------------------------------------------------------

template <class T> bool CEmptyElxT<T>::Match(CMatchContextT<T> &ctx) const {
    return ctx.Step();
}

template <class T> bool CEmptyElxT<T>::MatchNext(CMatchContextT<T> &) const {
    return false;
}

// ---------------------------------------------------------------------------
// CStringElxT
// ---------------------------------------------------------------------------

template <class T>
CStringElxT<T>::CStringElxT(const T *text, int length, bool rightLeft, bool ignoreCase)
    : ElxInterface<T>(ELX_STRING), m_szPattern(text, length), m_bRightLeft(rightLeft),
      m_bIgnoreCase(ignoreCase) {
    this->m_bSingleChar = m_szPattern.GetSize() == 1;
}

template <class T> bool CStringElxT<T>::Match(CMatchContextT<T> &ctx) const {
    if (!ctx.Step()) {
        return false;
    }
    const int n = m_szPattern.GetSize();
    const int pos = ctx.m_nCurrentPosition;
    const T *text = TextAhead(ctx, n, m_bRightLeft);
    if (text == nullptr) {
        return false;
    }
    const T *pattern = m_szPattern.GetBuffer();
    if (n >= 16 && !ctx.Charge(n)) {
        return false;
    }
    if (m_bIgnoreCase) {
        for (int i = 0; i < n; ++i) {
            if (!RegexEqualNoCase(RegexCode(text[i]), RegexCode(pattern[i]))) {
                return false;
            }
        }
    } else {
        for (int i = 0; i < n; ++i) {
            if (text[i] != pattern[i]) {
                return false;
            }
        }
    }
    ctx.m_nCurrentPosition = m_bRightLeft ? pos - n : pos + n;
    return true;
}

template <class T> bool CStringElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    const int n = m_szPattern.GetSize();
    ctx.m_nCurrentPosition += m_bRightLeft ? n : -n;
    return false;
}

// ---------------------------------------------------------------------------
// CRangeElxT
// ---------------------------------------------------------------------------

template <class T>
CRangeElxT<T>::CRangeElxT(bool negative, bool rightLeft)
    : ElxInterface<T>(ELX_RANGE), m_bNegative(negative), m_bRightLeft(rightLeft),
      m_bHighPossible(true) {
    this->m_bSingleChar = true;
    m_ascii[0] = 0;
    m_ascii[1] = 0;
}

template <class T> void CRangeElxT<T>::Prepare() {
    unsigned long long bits[2] = {0, 0};
    bool high = false;
    for (int i = 0; i + 1 < m_ranges.GetSize(); i += 2) {
        unsigned first = RegexCode(m_ranges[i]);
        unsigned last = RegexCode(m_ranges[i + 1]);
        if (last >= 128 && first <= last) {
            high = true;
        }
        for (unsigned c = first; c <= last && c < 128; ++c) {
            bits[c >> 6] |= 1ull << (c & 63);
        }
    }
    for (int i = 0; i < m_chars.GetSize(); ++i) {
        unsigned c = RegexCode(m_chars[i]);
        if (c < 128) {
            bits[c >> 6] |= 1ull << (c & 63);
        } else {
            high = true;
        }
    }
    for (int i = 0; i < m_embeds.GetSize(); ++i) {
        const ElxInterface<T> *e = m_embeds[i];
        if (e->GetKind() == ELX_RANGE) {
            const CRangeElxT<T> *r = static_cast<const CRangeElxT<T> *>(e);
            bits[0] |= r->m_ascii[0];
            bits[1] |= r->m_ascii[1];
            high = high || r->m_bHighPossible;
        } else if (e->GetKind() == ELX_POSIX) {
            const CPosixElxT<T> *p = static_cast<const CPosixElxT<T> *>(e);
            bits[0] |= p->m_ascii[0];
            bits[1] |= p->m_ascii[1];
            high = true;
        }
    }
    if (m_bNegative) {
        bits[0] = ~bits[0];
        bits[1] = ~bits[1];
        high = true;
    }
    m_ascii[0] = bits[0];
    m_ascii[1] = bits[1];
    m_bHighPossible = high;
}

template <class T> bool CRangeElxT<T>::TestSlow(unsigned c) const {
    bool hit = false;
    for (int i = 0; !hit && i + 1 < m_ranges.GetSize(); i += 2) {
        hit = RegexCode(m_ranges[i]) <= c && c <= RegexCode(m_ranges[i + 1]);
    }
    for (int i = 0; !hit && i < m_chars.GetSize(); ++i) {
        hit = RegexCode(m_chars[i]) == c;
    }
    for (int i = 0; !hit && i < m_embeds.GetSize(); ++i) {
        hit = RegexTestSingle(m_embeds[i], c);
    }
    return hit != m_bNegative;
}

// One character in the matching direction, taken when `test` accepts it: the
// shared step of the class elements.
template <class T, class Test>
bool MatchSingleChar(CMatchContextT<T> &ctx, bool rightLeft, Test const &test) {
    if (!ctx.Step()) {
        return false;
    }
    int pos = ctx.m_nCurrentPosition;
    if (rightLeft) {
        if (pos <= 0 || !test(RegexCode(ctx.m_pText[pos - 1]))) {
            return false;
        }
        ctx.m_nCurrentPosition = pos - 1;
    } else {
        if (pos >= ctx.m_nLength || !test(RegexCode(ctx.m_pText[pos]))) {
            return false;
        }
        ctx.m_nCurrentPosition = pos + 1;
    }
    return true;
}

template <class T> bool CRangeElxT<T>::Match(CMatchContextT<T> &ctx) const {
    return MatchSingleChar(ctx, m_bRightLeft, [this](unsigned c) { return TestChar(c); });
}

template <class T> bool CRangeElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    ctx.m_nCurrentPosition += m_bRightLeft ? 1 : -1;
    return false;
}

// ---------------------------------------------------------------------------
// CPosixElxT
// ---------------------------------------------------------------------------

template <class T>
CPosixElxT<T>::CPosixElxT(int posixClass, bool negative, bool rightLeft)
    : ElxInterface<T>(ELX_POSIX), m_nClass(posixClass), m_bNegative(negative),
      m_bRightLeft(rightLeft) {
    this->m_bSingleChar = true;
    m_ascii[0] = 0;
    m_ascii[1] = 0;
    for (unsigned c = 0; c < 128; ++c) {
        if (Classify(c) != negative) {
            m_ascii[c >> 6] |= 1ull << (c & 63);
        }
    }
}

template <class T> bool CPosixElxT<T>::Classify(unsigned c) const {
    // The runtime's classification covers single-byte values only.
    if (c >= 256) {
        return false;
    }
    const int v = static_cast<int>(c);
    switch (m_nClass) {
    case POSIX_ALNUM:
        return std::isalnum(v) != 0;
    case POSIX_ALPHA:
        return std::isalpha(v) != 0;
    case POSIX_ASCII:
        return c < 0x80;
    case POSIX_CNTRL:
        return std::iscntrl(v) != 0;
    case POSIX_DIGIT:
        return std::isdigit(v) != 0;
    case POSIX_GRAPH:
        return std::isgraph(v) != 0;
    case POSIX_LOWER:
        return std::islower(v) != 0;
    case POSIX_PRINT:
        return std::isprint(v) != 0;
    case POSIX_PUNCT:
        return std::ispunct(v) != 0;
    case POSIX_SPACE:
        return std::isspace(v) != 0;
    case POSIX_UPPER:
        return std::isupper(v) != 0;
    case POSIX_XDIGIT:
        return std::isxdigit(v) != 0;
    case POSIX_BLANK:
        return c == ' ' || c == '\t';
    default:
        return false;
    }
}

template <class T> bool CPosixElxT<T>::Match(CMatchContextT<T> &ctx) const {
    return MatchSingleChar(ctx, m_bRightLeft, [this](unsigned c) { return TestChar(c); });
}

template <class T> bool CPosixElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    ctx.m_nCurrentPosition += m_bRightLeft ? 1 : -1;
    return false;
}

template class CMatchContextT<wchar_t>;
template class CEmptyElxT<wchar_t>;
template class CStringElxT<wchar_t>;
template class CRangeElxT<wchar_t>;
template class CPosixElxT<wchar_t>;

} // namespace vfs
} // namespace zem

// What the search learns from a compiled pattern: where a match can start,
// its possible first characters and a literal every match contains.
#include "RegexLexer.h"

namespace zem {
namespace vfs {

namespace {

// First-character set of the search filter: bits for ASCII plus one flag for
// every code of 128 or more.
struct FirstSet {
    unsigned long long bits[2];
    bool high;
    void Set(unsigned c) { bits[c >> 6] |= 1ull << (c & 63); }
};

// Appends the elements of a sequence in text order, opening nested lists.
template <class T>
void Flatten(const ElxInterface<T> *e, CBufferT<const ElxInterface<T> *> &out, int depth) {
    if (e->GetKind() == ELX_LIST && depth < 32) {
        const CListElxT<T> *list = static_cast<const CListElxT<T> *>(e);
        for (int i = 0; i < list->m_elxlist.GetSize(); ++i) {
            Flatten(list->m_elxlist[i], out, depth + 1);
        }
    } else {
        out.Push(e);
    }
}

template <class T> void AddFirstChar(FirstSet &set, unsigned c, bool ignoreCase) {
    if (!ignoreCase) {
        if (c < 128) {
            set.Set(c);
        } else {
            set.high = true;
        }
        return;
    }
    // The runtime's toupper may pair characters beyond ASCII; be generous.
    set.high = true;
    if (c < 128) {
        set.Set(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            set.Set(c ^ 0x20);
        }
    } else if (c < 256) {
        for (unsigned l = 'A'; l <= 'Z'; ++l) {
            set.Set(l);
            set.Set(l ^ 0x20);
        }
    }
}

// Adds the characters an element can start with (left to right).
// Returns 0 when it always consumes one, 1 when it may match empty (the next
// element's first characters count too), -1 when it cannot be told.
template <class T> int AddFirst(const ElxInterface<T> *e, FirstSet &set, int depth) {
    if (depth > 32) {
        return -1;
    }
    switch (e->GetKind()) {
    case ELX_EMPTY:
    case ELX_BRACKET:
    case ELX_BOUNDARY:
    case ELX_GLOBAL:
        return 1;
    case ELX_STRING: {
        const CStringElxT<T> *s = static_cast<const CStringElxT<T> *>(e);
        if (s->m_bRightLeft) {
            return -1;
        }
        if (s->m_szPattern.GetSize() == 0) {
            return 1;
        }
        AddFirstChar<T>(set, RegexCode(s->m_szPattern[0]), s->m_bIgnoreCase);
        return 0;
    }
    case ELX_RANGE: {
        const CRangeElxT<T> *r = static_cast<const CRangeElxT<T> *>(e);
        set.bits[0] |= r->m_ascii[0];
        set.bits[1] |= r->m_ascii[1];
        set.high = set.high || r->m_bHighPossible;
        return 0;
    }
    case ELX_POSIX: {
        const CPosixElxT<T> *p = static_cast<const CPosixElxT<T> *>(e);
        set.bits[0] |= p->m_ascii[0];
        set.bits[1] |= p->m_ascii[1];
        set.high = true;
        return 0;
    }
    case ELX_LIST: {
        const CListElxT<T> *list = static_cast<const CListElxT<T> *>(e);
        if (list->m_bRightLeft) {
            return -1;
        }
        for (int i = 0; i < list->m_elxlist.GetSize(); ++i) {
            const int r = AddFirst(list->m_elxlist[i], set, depth + 1);
            if (r != 1) {
                return r;
            }
        }
        return 1;
    }
    case ELX_ALTERNATIVE: {
        const CAlternativeElxT<T> *alt = static_cast<const CAlternativeElxT<T> *>(e);
        int result = 0;
        for (int i = 0; i < alt->m_elxlist.GetSize(); ++i) {
            const int r = AddFirst(alt->m_elxlist[i], set, depth + 1);
            if (r < 0) {
                return -1;
            }
            if (r == 1) {
                result = 1;
            }
        }
        return result;
    }
    case ELX_REPEAT:
    case ELX_GREEDY:
    case ELX_RELUCTANT:
    case ELX_POSSESSIVE: {
        const CRepeatElxT<T> *rep = static_cast<const CRepeatElxT<T> *>(e);
        if (rep->m_bRightLeft) {
            return -1;
        }
        const int r = AddFirst(rep->m_pElx, set, depth + 1);
        if (r < 0) {
            return -1;
        }
        return rep->m_nFixed == 0 ? 1 : r;
    }
    case ELX_INDEPENDENT:
        return AddFirst(static_cast<const CIndependentElxT<T> *>(e)->m_pElx, set, depth + 1);
    default:
        return -1;
    }
}

template <class T> bool SameText(const T *text, const CStringElxT<T> *literal) {
    const int n = literal->m_szPattern.GetSize();
    const T *s = literal->m_szPattern.GetBuffer();
    if (literal->m_bIgnoreCase) {
        for (int i = 0; i < n; ++i) {
            if (!RegexEqualNoCase(RegexCode(text[i]), RegexCode(s[i]))) {
                return false;
            }
        }
        return true;
    }
    for (int i = 0; i < n; ++i) {
        if (text[i] != s[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

template <class T> void CPatternT<T>::Analyse() {
    if (m_pTopElx == nullptr) {
        return;
    }
    CInlineBufferT<const ElxInterface<T> *, 32> seq;
    Flatten(m_pTopElx, seq, 0);
    const bool rightLeft = (m_nFlags & REGEX_RIGHTTOLEFT) != 0;

    // A literal every match contains; one right before the end anchor is best.
    int bestLength = 0;
    for (int i = 0; i < seq.GetSize(); ++i) {
        if (seq[i]->GetKind() != ELX_STRING) {
            continue;
        }
        const CStringElxT<T> *s = static_cast<const CStringElxT<T> *>(seq[i]);
        const int length = s->m_szPattern.GetSize();
        if (length == 0) {
            continue;
        }
        int j = i + 1;
        while (j < seq.GetSize() && seq[j]->GetKind() == ELX_BRACKET) {
            ++j;
        }
        bool atEnd = false;
        if (j < seq.GetSize() && seq[j]->GetKind() == ELX_BOUNDARY) {
            const CBoundaryElxT<T> *b = static_cast<const CBoundaryElxT<T> *>(seq[j]);
            atEnd = b->m_nType == CBoundaryElxT<T>::BOUNDARY_TEXT_END ||
                    (b->m_nType == CBoundaryElxT<T>::BOUNDARY_LINE_END && !b->m_bMultiLine);
        }
        if (m_bRequiredAtEnd && !atEnd) {
            continue;
        }
        if ((atEnd && !m_bRequiredAtEnd) || length > bestLength) {
            m_pRequired = s;
            m_bRequiredAtEnd = atEnd;
            bestLength = length;
        }
    }

    if (rightLeft || seq.GetSize() == 0) {
        return;
    }

    // Anchored at the start of the text.
    for (int i = 0; i < seq.GetSize(); ++i) {
        if (seq[i]->GetKind() == ELX_BRACKET) {
            continue;
        }
        if (seq[i]->GetKind() == ELX_BOUNDARY) {
            const CBoundaryElxT<T> *b = static_cast<const CBoundaryElxT<T> *>(seq[i]);
            m_bAnchored = b->m_nType == CBoundaryElxT<T>::BOUNDARY_TEXT_BEGIN ||
                          (b->m_nType == CBoundaryElxT<T>::BOUNDARY_LINE_BEGIN && !b->m_bMultiLine);
        }
        break;
    }

    // Characters a match can start with.
    FirstSet set = {{0, 0}, false};
    for (int i = 0; i < seq.GetSize(); ++i) {
        const int r = AddFirst(seq[i], set, 0);
        if (r < 0) {
            break;
        }
        if (r == 0) {
            m_bHasFirst = true;
            m_first[0] = set.bits[0];
            m_first[1] = set.bits[1];
            m_bFirstHigh = set.high;
            // A single possible first character gets a plain scan.
            const unsigned long long a = set.bits[0];
            const unsigned long long b = set.bits[1];
            if (!set.high && ((a != 0) != (b != 0)) && ((a & (a - 1)) == 0) &&
                ((b & (b - 1)) == 0)) {
                const unsigned long long bit = a != 0 ? a : b;
                int index = a != 0 ? 0 : 64;
                while ((bit >> (index & 63)) != 1) {
                    ++index;
                }
                m_nFirstSingle = index;
            }
            break;
        }
    }

    // A leading .* (not inside a group): a failed start also rules out every
    // later start up to the next line feed (or the end).
    const ElxInterface<T> *first = seq[0];
    if (first->GetKind() == ELX_GREEDY || first->GetKind() == ELX_RELUCTANT) {
        const CRepeatElxT<T> *repeat = static_cast<const CRepeatElxT<T> *>(first);
        const int max = first->GetKind() == ELX_GREEDY
                            ? static_cast<const CGreedyElxT<T> *>(first)->m_nMax
                            : static_cast<const CReluctantElxT<T> *>(first)->m_nMax;
        if (max == regex_lex::kInfinite && repeat->m_pElx == m_stock[1]) {
            m_nLeadingDotStar = 1;
        } else if (max == regex_lex::kInfinite && repeat->m_pElx == m_stock[2]) {
            m_nLeadingDotStar = 2;
        }
    }
}

template <class T> bool CPatternT<T>::Prefilter(const T *text, int length) const {
    if (m_pRequired == nullptr) {
        return true;
    }
    const int n = m_pRequired->m_szPattern.GetSize();
    if (n > length) {
        return false;
    }
    if (m_bRequiredAtEnd) {
        return SameText(text + (length - n), m_pRequired);
    }
    // Look for the literal; long partial matches (hostile literals) make the
    // filter give up and leave the answer to the search.
    const T *literal = m_pRequired->m_szPattern.GetBuffer();
    const bool ignoreCase = m_pRequired->m_bIgnoreCase;
    const unsigned first = RegexCode(literal[0]);
    const bool letter = (first | 0x20) - 'a' < 26;
    const bool exactFirst = !ignoreCase || (first < 128 && !letter);
    long long work = 0;
    for (int i = 0; i + n <= length; ++i) {
        const unsigned c = RegexCode(text[i]);
        if (exactFirst
                ? c != first
                : !(c == first || ((c ^ first) == 0x20 && letter) || (c >= 128 && c < 256))) {
            continue;
        }
        int k = 0;
        if (ignoreCase) {
            while (k < n && RegexEqualNoCase(RegexCode(text[i + k]), RegexCode(literal[k]))) {
                ++k;
            }
        } else {
            while (k < n && text[i + k] == literal[k]) {
                ++k;
            }
        }
        if (k == n) {
            return true;
        }
        work += k;
        if (work > kPrefilterWork) {
            return true;
        }
    }
    return false;
}

template void CPatternT<wchar_t>::Analyse();
template bool CPatternT<wchar_t>::Prefilter(const wchar_t *, int) const;

} // namespace vfs
} // namespace zem

// Compiled patterns: compilation, resolution of names and group calls, and
// the search.
#include "RegexCompile.h"

namespace zem {
namespace vfs {

// ---------------------------------------------------------------------------
// CPatternT
// ---------------------------------------------------------------------------

template <class T>
CPatternT<T>::CPatternT()
    : m_nFlags(0), m_pTopElx(nullptr), m_nGroupCount(0), m_nMaxExplicit(0), m_bAnchored(false),
      m_bHasFirst(false), m_bFirstHigh(false), m_nFirstSingle(-1), m_pRequired(nullptr),
      m_bRequiredAtEnd(false), m_nLeadingDotStar(0) {
    for (int i = 0; i < STOCK_COUNT; ++i) {
        m_stock[i] = nullptr;
    }
    m_first[0] = 0;
    m_first[1] = 0;
}

template <class T> CPatternT<T>::CPatternT(const T *pattern, int flags) : CPatternT() {
    Compile(pattern, -1, flags);
}

template <class T> CPatternT<T>::CPatternT(const T *pattern, int length, int flags) : CPatternT() {
    Compile(pattern, length, flags);
}

template <class T> CPatternT<T>::~CPatternT() {
    Clear();
}

template <class T> void CPatternT<T>::Clear() {
    if (m_store.GetSize() == 0 && m_pattern.GetBuffer() == nullptr && m_pTopElx == nullptr) {
        return; // nothing compiled yet
    }
    for (int i = m_store.GetSize() - 1; i >= 0; --i) {
        m_store[i]->~ElxInterface<T>();
    }
    m_store.Clear();
    m_arena.Reset();
    for (int i = 0; i < STOCK_COUNT; ++i) {
        m_stock[i] = nullptr;
    }
    m_pTopElx = nullptr;
    m_pattern = CBufferRefT<T>();
    m_nGroupCount = 0;
    m_nMaxExplicit = 0;
    m_names.Clear();
    m_groupElx.Clear();
    m_groupSource.Clear();
    m_turned.Clear();
    m_backrefs.Clear();
    m_conditions.Clear();
    m_delegates.Clear();
    m_bAnchored = false;
    m_bHasFirst = false;
    m_first[0] = 0;
    m_first[1] = 0;
    m_bFirstHigh = false;
    m_nFirstSingle = -1;
    m_pRequired = nullptr;
    m_bRequiredAtEnd = false;
    m_nLeadingDotStar = 0;
}

template <class T> const ElxInterface<T> *CPatternT<T>::GetStock(int index) {
    if (index < 0 || index >= STOCK_COUNT) {
        index = STOCK_EMPTY;
    }
    if (m_stock[index] != nullptr) {
        return m_stock[index];
    }
    if (index == STOCK_EMPTY) {
        m_stock[index] = New<CEmptyElxT<T>>();
        return m_stock[index];
    }
    static const T kLineFeed[] = {T('\n')};
    static const T kWordRanges[] = {T('a'), T('z'), T('A'), T('Z'), T('0'), T('9')};
    static const T kUnderscore[] = {T('_')};
    static const T kSpaces[] = {T(' '), T('\t'), T('\r'), T('\n')};
    static const T kDigits[] = {T('0'), T('9')};
    const bool rightLeft = index > 8;
    const int k = (index - 1) % 8;
    CRangeElxT<T> *range = New<CRangeElxT<T>>(k == 0 || k == 1 || (k & 1) != 0, rightLeft);
    switch (k) {
    case 0: // dot: anything but line feed
        range->m_chars = CBufferRefT<T>(kLineFeed, 1);
        break;
    case 1: // dot with single-line: anything
        break;
    case 2: // \w
    case 3: // \W
        range->m_ranges = CBufferRefT<T>(kWordRanges, 6);
        range->m_chars = CBufferRefT<T>(kUnderscore, 1);
        break;
    case 4: // \s
    case 5: // \S
        range->m_chars = CBufferRefT<T>(kSpaces, 4);
        break;
    default: // \d \D
        range->m_ranges = CBufferRefT<T>(kDigits, 2);
        break;
    }
    range->Prepare();
    m_stock[index] = range;
    return range;
}

template <class T> bool CPatternT<T>::Compile(const T *pattern, int length, int flags) {
    Clear();
    m_nFlags = flags;
    if (pattern == nullptr) {
        length = 0;
    } else if (length < 0) {
        length = 0;
        while (pattern[length] != T(0) && length < CBufferT<T>::kMaxElements) {
            ++length;
        }
    }
    try {
        T *copy = Copy(pattern, length);
        m_pattern = CBufferRefT<T>(copy, length);
        bool tooDeep = false;
        const ElxInterface<T> *top = RegexParse(*this, tooDeep);
        if (tooDeep) {
            Clear();
            return false;
        }
        m_pTopElx = top;
        Resolve();
        Analyse();
        return true;
    } catch (...) {
        Clear();
        return false;
    }
}

template <class T> int CPatternT<T>::FindName(int offset, int length) const {
    for (int i = 0; i < m_names.GetSize(); ++i) {
        const GroupName &name = m_names[i];
        if (name.nameLength == length &&
            CBufferRefT<T>(m_pattern.GetBuffer() + name.nameOffset, length)
                .IsEqual(m_pattern.GetBuffer() + offset, length)) {
            return name.number;
        }
    }
    return -1;
}

template <class T> int CPatternT<T>::GetNamedNumber(const T *name, int length) const {
    if (name == nullptr) {
        return -1;
    }
    if (length < 0) {
        length = 0;
        while (name[length] != T(0)) {
            ++length;
        }
    }
    for (int i = 0; i < m_names.GetSize(); ++i) {
        const GroupName &entry = m_names[i];
        if (CBufferRefT<T>(m_pattern.GetBuffer() + entry.nameOffset, entry.nameLength)
                .IsEqual(name, length)) {
            return entry.number;
        }
    }
    return -1;
}

template <class T> void CPatternT<T>::Resolve() {
    // A group compiled again for a caller of the other direction may add
    // calls, back-references and conditions of its own: the list grows here.
    for (int i = 0; i < m_delegates.GetSize(); ++i) {
        const NamedRef ref = m_delegates[i];
        CDelegateElxT<T> *delegate = static_cast<CDelegateElxT<T> *>(ref.elx);
        int number = delegate->m_nNumber;
        if (ref.nameOffset >= 0) {
            number = FindName(ref.nameOffset, ref.nameLength);
        }
        delegate->m_nNumber = number;
        delegate->m_pElx = GroupIn(number, delegate->m_bRightLeft);
    }
    for (int i = 0; i < m_backrefs.GetSize(); ++i) {
        const NamedRef &ref = m_backrefs[i];
        static_cast<CBackrefElxT<T> *>(ref.elx)->m_nNumber =
            FindName(ref.nameOffset, ref.nameLength);
    }
    for (int i = 0; i < m_conditions.GetSize(); ++i) {
        const NamedRef &ref = m_conditions[i];
        static_cast<CConditionElxT<T> *>(ref.elx)->m_nNumber =
            FindName(ref.nameOffset, ref.nameLength);
    }
}

template <class T> const ElxInterface<T> *CPatternT<T>::GroupIn(int number, bool rightLeft) {
    const ElxInterface<T> *group = nullptr;
    bool groupRightLeft = (m_nFlags & REGEX_RIGHTTOLEFT) != 0;
    if (number == 0) {
        group = m_pTopElx;
    } else if (number > 0 && number < m_groupElx.GetSize() && number < m_groupSource.GetSize() &&
               m_groupSource[number].pos >= 0) {
        group = m_groupElx[number];
        groupRightLeft = (m_groupSource[number].flags & REGEX_RIGHTTOLEFT) != 0;
    }
    if (group == nullptr || groupRightLeft == rightLeft) {
        return group;
    }
    if (m_turned.GetSize() <= number && !m_turned.Fill(nullptr, number + 1 - m_turned.GetSize())) {
        throw std::bad_alloc();
    }
    if (m_turned[number] == nullptr) {
        m_turned[number] = RegexReparse(*this, number, rightLeft);
    }
    return m_turned[number];
}

namespace {

// Group 0 spans from the attempt's start to where the match ended, in text
// order: a search right to left ends left of where it began.
template <class T> void SetWholeMatch(CMatchContextT<T> &ctx, int begin) {
    const int end = ctx.m_nCurrentPosition;
    ctx.m_captures[0] = begin < end ? begin : end;
    ctx.m_captures[1] = begin < end ? end : begin;
}

} // namespace

template <class T> bool CPatternT<T>::Search(CMatchContextT<T> &ctx, int start) const {
    const T *text = ctx.m_pText;
    const int n = ctx.m_nLength;
    if ((m_nFlags & REGEX_RIGHTTOLEFT) != 0) {
        for (int p = start; p >= 0; --p) {
            ctx.m_nCurrentPosition = p;
            ctx.m_nBeginPosition = p;
            ctx.m_stack.Clear();
            ctx.m_captures[0] = -1;
            ctx.m_captures[1] = p;
            if (m_pTopElx->Match(ctx) && !ctx.IsAborted()) {
                SetWholeMatch(ctx, p);
                return true;
            }
            if (ctx.IsAborted()) {
                return false;
            }
        }
        return false;
    }
    if (m_bAnchored && start != 0) {
        return false;
    }
    for (int p = start; p <= n; ++p) {
        if (m_nFirstSingle >= 0) {
            const T first = static_cast<T>(m_nFirstSingle);
            while (p < n && text[p] != first) {
                ++p;
            }
            if (p >= n) {
                return false;
            }
        } else if (m_bHasFirst) {
            // Every match consumes a first character from the set.
            while (p < n) {
                const unsigned c = RegexCode(text[p]);
                if (c < 128 ? ((m_first[c >> 6] >> (c & 63)) & 1) != 0 : m_bFirstHigh) {
                    break;
                }
                ++p;
            }
            if (p >= n) {
                return false;
            }
        }
        ctx.m_nCurrentPosition = p;
        ctx.m_nBeginPosition = p;
        ctx.m_stack.Clear();
        ctx.m_captures[0] = p;
        ctx.m_captures[1] = -1;
        // Elements may still report success while a search gives up.
        if (m_pTopElx->Match(ctx) && !ctx.IsAborted()) {
            SetWholeMatch(ctx, p);
            return true;
        }
        if (ctx.IsAborted() || m_bAnchored || m_nLeadingDotStar == 2) {
            return false;
        }
        if (m_nLeadingDotStar == 1) {
            while (p < n && RegexCode(text[p]) != '\n') {
                ++p;
            }
        }
    }
    return false;
}

template <class T>
bool CPatternT<T>::Match(const T *text, int length, CMatchContextT<T> &ctx, int start) const {
    if (text == nullptr || length < 0) {
        length = 0;
    }
    const bool rightLeft = (m_nFlags & REGEX_RIGHTTOLEFT) != 0;
    if (start < 0 || start > length) {
        start = start < 0 && !rightLeft ? 0 : length;
    }
    ctx.Prepare(text, length, GetMaxGroupNumber(), start);
    if (m_pTopElx == nullptr || ctx.IsAborted() || !Prefilter(ctx.m_pText, ctx.m_nLength)) {
        return false;
    }
    return Search(ctx, start);
}

template <class T>
CMatchResultT<T> CPatternT<T>::Match(const T *text, int length, int start) const {
    CMatchResultT<T> result;
    CMatchContextT<T> ctx;
    if (Match(text, length, ctx, start)) {
        result.Assign(ctx);
    }
    return result;
}

template class CMatchResultT<wchar_t>;
template class CPatternT<wchar_t>;

} // namespace vfs
} // namespace zem

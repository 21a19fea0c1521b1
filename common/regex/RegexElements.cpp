#include "RegexElements.h"

namespace zem {
namespace vfs {

namespace {

// Keeps the depth count of a composite element's call balanced.
template <class T> class CElxFrame {
public:
    explicit CElxFrame(CMatchContextT<T> &ctx) : m_ctx(ctx), m_bOk(ctx.Enter()) {}
    ~CElxFrame() { m_ctx.Leave(); }
    CElxFrame(const CElxFrame &) = delete;
    CElxFrame &operator=(const CElxFrame &) = delete;
    bool Ok() const { return m_bOk; }

private:
    CMatchContextT<T> &m_ctx;
    bool m_bOk;
};

// Capture slots [first, last) covered by a group span.
template <class T>
bool SpanSlots(const CMatchContextT<T> &ctx, RegexGroupSpan span, int &first, int &last) {
    if (span.lo < 0) {
        return false;
    }
    first = 2 * span.lo;
    last = 2 * span.hi + 2;
    if (last > ctx.m_captures.GetSize()) {
        last = ctx.m_captures.GetSize();
    }
    return first < last;
}

// Pushes the captures of a span; returns how many entries were pushed.
template <class T> int SaveSpan(CMatchContextT<T> &ctx, RegexGroupSpan span) {
    int first = 0;
    int last = 0;
    if (!SpanSlots(ctx, span, first, last)) {
        return 0;
    }
    ctx.Charge(last - first);
    for (int i = first; i < last; ++i) {
        ctx.Push(ctx.m_captures[i]);
    }
    return last - first;
}

// Restores the captures of a span from the stack entries at `at`.
template <class T> void RestoreSpan(CMatchContextT<T> &ctx, RegexGroupSpan span, int at) {
    int first = 0;
    int last = 0;
    if (!SpanSlots(ctx, span, first, last) || at < 0 ||
        at + (last - first) > ctx.m_stack.GetSize()) {
        return;
    }
    for (int i = first; i < last; ++i) {
        ctx.m_captures[i] = ctx.m_stack[at + i - first];
    }
}

} // namespace

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
    const T *text;
    if (m_bRightLeft) {
        if (n > pos) {
            return false;
        }
        text = ctx.m_pText + (pos - n);
    } else {
        if (n > ctx.m_nLength - pos) {
            return false;
        }
        text = ctx.m_pText + pos;
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

// ---------------------------------------------------------------------------
// CListElxT
// ---------------------------------------------------------------------------

template <class T>
CListElxT<T>::CListElxT(const ElxInterface<T> *const *elements, int count, bool rightLeft)
    : ElxInterface<T>(ELX_LIST), m_elxlist(elements, count), m_bRightLeft(rightLeft) {}

// Runs the elements from `index` on (in matching order), backtracking into
// earlier ones as needed. Position `index` is the next element to match.
template <class T> bool CListElxT<T>::Run(CMatchContextT<T> &ctx, int index) const {
    const int n = m_elxlist.GetSize();
    const ElxInterface<T> *const *list = m_elxlist.GetBuffer();
    while (index < n) {
        const ElxInterface<T> *e = list[m_bRightLeft ? n - 1 - index : index];
        if (e->Match(ctx)) {
            ++index;
            continue;
        }
        for (;;) {
            if (--index < 0) {
                return false;
            }
            if (list[m_bRightLeft ? n - 1 - index : index]->MatchNext(ctx)) {
                ++index;
                break;
            }
        }
    }
    return true;
}

template <class T> bool CListElxT<T>::Match(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    return frame.Ok() && Run(ctx, 0);
}

template <class T> bool CListElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    const int n = m_elxlist.GetSize();
    const ElxInterface<T> *const *list = m_elxlist.GetBuffer();
    for (int index = n - 1; index >= 0; --index) {
        if (list[m_bRightLeft ? n - 1 - index : index]->MatchNext(ctx)) {
            return Run(ctx, index + 1);
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// CAlternativeElxT
// ---------------------------------------------------------------------------

template <class T>
CAlternativeElxT<T>::CAlternativeElxT(const ElxInterface<T> *const *elements, int count)
    : ElxInterface<T>(ELX_ALTERNATIVE), m_elxlist(elements, count) {}

template <class T> bool CAlternativeElxT<T>::Match(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    for (int i = 0; i < m_elxlist.GetSize(); ++i) {
        if (m_elxlist[i]->Match(ctx)) {
            ctx.Push(i);
            return true;
        }
    }
    return false;
}

template <class T> bool CAlternativeElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    int i = ctx.Pop();
    if (i < 0 || i >= m_elxlist.GetSize()) {
        ctx.Abort();
        return false;
    }
    if (m_elxlist[i]->MatchNext(ctx)) {
        ctx.Push(i);
        return true;
    }
    for (++i; i < m_elxlist.GetSize(); ++i) {
        if (m_elxlist[i]->Match(ctx)) {
            ctx.Push(i);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// CBracketElxT
// ---------------------------------------------------------------------------
//
// Left to right the opening bracket enters the group (start = position, end
// unset) and the closing one leaves it (end = position). Right to left the
// closing bracket is met first and plays the entering part.

template <class T>
CBracketElxT<T>::CBracketElxT(int number, bool closing, bool rightLeft)
    : ElxInterface<T>(ELX_BRACKET), m_nNumber(number), m_bRight(closing), m_bRightLeft(rightLeft) {}

template <class T> bool CBracketElxT<T>::Match(CMatchContextT<T> &ctx) const {
    if (!ctx.Step()) {
        return false;
    }
    const int slot = 2 * m_nNumber;
    if (m_nNumber < 0 || slot + 1 >= ctx.m_captures.GetSize()) {
        return true;
    }
    const bool entering = m_bRight == m_bRightLeft;
    const int mine = m_bRight ? slot + 1 : slot;
    const int other = m_bRight ? slot : slot + 1;
    if (entering) {
        ctx.Push(ctx.m_captures[other]);
        ctx.m_captures[other] = -1;
    }
    ctx.Push(ctx.m_captures[mine]);
    ctx.m_captures[mine] = ctx.m_nCurrentPosition;
    return true;
}

template <class T> bool CBracketElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    const int slot = 2 * m_nNumber;
    if (m_nNumber < 0 || slot + 1 >= ctx.m_captures.GetSize()) {
        return false;
    }
    const bool entering = m_bRight == m_bRightLeft;
    const int mine = m_bRight ? slot + 1 : slot;
    const int other = m_bRight ? slot : slot + 1;
    ctx.m_captures[mine] = ctx.Pop();
    if (entering) {
        ctx.m_captures[other] = ctx.Pop();
    }
    return false;
}

// ---------------------------------------------------------------------------
// CBackrefElxT
// ---------------------------------------------------------------------------

template <class T>
CBackrefElxT<T>::CBackrefElxT(int number, bool rightLeft, bool ignoreCase)
    : ElxInterface<T>(ELX_BACKREF), m_nNumber(number), m_bRightLeft(rightLeft),
      m_bIgnoreCase(ignoreCase) {}

template <class T> bool CBackrefElxT<T>::Match(CMatchContextT<T> &ctx) const {
    if (!ctx.Step() || !ctx.GroupStarted(m_nNumber)) {
        return false;
    }
    const int pos = ctx.m_nCurrentPosition;
    int begin = ctx.m_captures[2 * m_nNumber];
    int end = ctx.m_captures[2 * m_nNumber + 1];
    // Inside the group itself the capture so far runs up to the position.
    if (begin < 0) {
        begin = pos;
    }
    if (end < 0) {
        end = pos;
    }
    if (begin > end || end > ctx.m_nLength) {
        return false;
    }
    const int n = end - begin;
    const T *text;
    if (m_bRightLeft) {
        if (n > pos) {
            return false;
        }
        text = ctx.m_pText + (pos - n);
    } else {
        if (n > ctx.m_nLength - pos) {
            return false;
        }
        text = ctx.m_pText + pos;
    }
    if (n >= 16 && !ctx.Charge(n)) {
        return false;
    }
    const T *captured = ctx.m_pText + begin;
    for (int i = 0; i < n; ++i) {
        if (text[i] != captured[i] &&
            !(m_bIgnoreCase && RegexEqualNoCase(RegexCode(text[i]), RegexCode(captured[i])))) {
            return false;
        }
    }
    ctx.m_nCurrentPosition = m_bRightLeft ? pos - n : pos + n;
    ctx.Push(n);
    return true;
}

template <class T> bool CBackrefElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    const int n = ctx.Pop();
    ctx.m_nCurrentPosition += m_bRightLeft ? n : -n;
    return false;
}

// ---------------------------------------------------------------------------
// CRepeatElxT
// ---------------------------------------------------------------------------

template <class T>
CRepeatElxT<T>::CRepeatElxT(const ElxInterface<T> *element, int count, bool rightLeft)
    : ElxInterface<T>(ELX_REPEAT), m_pElx(element), m_nFixed(count), m_bRightLeft(rightLeft) {}

template <class T>
CRepeatElxT<T>::CRepeatElxT(int kind, const ElxInterface<T> *element, int count, bool rightLeft)
    : ElxInterface<T>(kind), m_pElx(element), m_nFixed(count), m_bRightLeft(rightLeft) {}

template <class T> bool CRepeatElxT<T>::TestSingle(unsigned c) const {
    return RegexTestSingle(m_pElx, c);
}

template <class T> int CRepeatElxT<T>::CountSingle(CMatchContextT<T> &ctx, int limit) const {
    const int pos = ctx.m_nCurrentPosition;
    int count = 0;
    if (m_bRightLeft) {
        while (count < limit && pos - count > 0 &&
               TestSingle(RegexCode(ctx.m_pText[pos - count - 1]))) {
            ++count;
        }
    } else {
        while (count < limit && pos + count < ctx.m_nLength &&
               TestSingle(RegexCode(ctx.m_pText[pos + count]))) {
            ++count;
        }
    }
    // A long run is work the element calls alone would not count.
    if (count >= 16) {
        ctx.Charge(count);
    }
    return count;
}

template <class T> bool CRepeatElxT<T>::Backtrack(CMatchContextT<T> &ctx, int &done) const {
    while (done > 0) {
        if (m_pElx->MatchNext(ctx)) {
            return true;
        }
        --done;
    }
    return false;
}

template <class T>
bool CRepeatElxT<T>::FillTo(CMatchContextT<T> &ctx, int &done, int target) const {
    while (done < target) {
        if (m_pElx->Match(ctx)) {
            ++done;
            continue;
        }
        if (!Backtrack(ctx, done)) {
            return false;
        }
    }
    return true;
}

template <class T> bool CRepeatElxT<T>::Match(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    if (m_pElx->IsSingleChar()) {
        if (CountSingle(ctx, m_nFixed) < m_nFixed) {
            return false;
        }
        ctx.m_nCurrentPosition += Direction() * m_nFixed;
        return true;
    }
    int done = 0;
    return FillTo(ctx, done, m_nFixed);
}

template <class T> bool CRepeatElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (m_pElx->IsSingleChar()) {
        ctx.m_nCurrentPosition -= Direction() * m_nFixed;
        return false;
    }
    if (!frame.Ok()) {
        return false;
    }
    int done = m_nFixed;
    return Backtrack(ctx, done) && FillTo(ctx, done, m_nFixed);
}

// ---------------------------------------------------------------------------
// CGreedyElxT
// ---------------------------------------------------------------------------

template <class T>
CGreedyElxT<T>::CGreedyElxT(const ElxInterface<T> *element, int minimum, int maximum,
                            bool rightLeft)
    : CRepeatElxT<T>(ELX_GREEDY, element, minimum, rightLeft), m_nMax(maximum) {}

template <class T>
CGreedyElxT<T>::CGreedyElxT(int kind, const ElxInterface<T> *element, int minimum, int maximum,
                            bool rightLeft)
    : CRepeatElxT<T>(kind, element, minimum, rightLeft), m_nMax(maximum) {}

// Adds iterations while they succeed. An iteration beyond the minimum that
// matches the empty string succeeds but ends the loop: another would change
// nothing and could repeat forever. Each such iteration leaves
// [state of the element] [start position] on the stack.
template <class T> void CGreedyElxT<T>::Extend(CMatchContextT<T> &ctx, int &done) const {
    while (done < m_nMax) {
        const int start = ctx.m_nCurrentPosition;
        if (!this->m_pElx->Match(ctx)) {
            break;
        }
        ctx.Push(start);
        ++done;
        if (ctx.m_nCurrentPosition == start) {
            break;
        }
    }
}

template <class T> bool CGreedyElxT<T>::Match(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    if (this->m_pElx->IsSingleChar()) {
        const int count = this->CountSingle(ctx, m_nMax);
        if (count < this->m_nFixed) {
            return false;
        }
        ctx.m_nCurrentPosition += this->Direction() * count;
        ctx.Push(count);
        return true;
    }
    int done = 0;
    if (!this->FillTo(ctx, done, this->m_nFixed)) {
        return false;
    }
    Extend(ctx, done);
    ctx.Push(done);
    return true;
}

template <class T> bool CGreedyElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    int done = ctx.Pop();
    if (this->m_pElx->IsSingleChar()) {
        if (done <= this->m_nFixed) {
            ctx.m_nCurrentPosition -= this->Direction() * done;
            return false;
        }
        ctx.m_nCurrentPosition -= this->Direction();
        ctx.Push(done - 1);
        return true;
    }
    if (done > this->m_nFixed) {
        // Another way for the last iteration, then as many more as possible;
        // without one, stop before it.
        const int start = ctx.Pop();
        if (this->m_pElx->MatchNext(ctx)) {
            ctx.Push(start);
            if (ctx.m_nCurrentPosition != start) {
                Extend(ctx, done);
            }
        } else {
            --done;
        }
        ctx.Push(done);
        return true;
    }
    if (!this->Backtrack(ctx, done) || !this->FillTo(ctx, done, this->m_nFixed)) {
        return false;
    }
    Extend(ctx, done);
    ctx.Push(done);
    return true;
}

// ---------------------------------------------------------------------------
// CReluctantElxT
// ---------------------------------------------------------------------------
//
// Iterations beyond the minimum are stacked as for CGreedyElxT; after an
// empty one no further iteration is tried.

template <class T>
CReluctantElxT<T>::CReluctantElxT(const ElxInterface<T> *element, int minimum, int maximum,
                                  bool rightLeft)
    : CRepeatElxT<T>(ELX_RELUCTANT, element, minimum, rightLeft), m_nMax(maximum) {}

template <class T> bool CReluctantElxT<T>::Match(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    if (this->m_pElx->IsSingleChar()) {
        if (this->CountSingle(ctx, this->m_nFixed) < this->m_nFixed) {
            return false;
        }
        ctx.m_nCurrentPosition += this->Direction() * this->m_nFixed;
        ctx.Push(this->m_nFixed);
        return true;
    }
    int done = 0;
    if (!this->FillTo(ctx, done, this->m_nFixed)) {
        return false;
    }
    ctx.Push(done);
    return true;
}

template <class T> bool CReluctantElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    int done = ctx.Pop();
    if (this->m_pElx->IsSingleChar()) {
        if (done < m_nMax && this->CountSingle(ctx, 1) == 1) {
            ctx.m_nCurrentPosition += this->Direction();
            ctx.Push(done + 1);
            return true;
        }
        ctx.m_nCurrentPosition -= this->Direction() * done;
        return false;
    }
    const bool lastEmpty =
        done > this->m_nFixed && ctx.m_stack[ctx.m_stack.GetSize() - 1] == ctx.m_nCurrentPosition;
    if (done < m_nMax && !lastEmpty) {
        // One more iteration first.
        const int start = ctx.m_nCurrentPosition;
        if (this->m_pElx->Match(ctx)) {
            ctx.Push(start);
            ctx.Push(done + 1);
            return true;
        }
    }
    // Then other ways for the iterations already made, latest first.
    while (done > this->m_nFixed) {
        const int start = ctx.Pop();
        if (this->m_pElx->MatchNext(ctx)) {
            ctx.Push(start);
            ctx.Push(done);
            return true;
        }
        --done;
    }
    if (!this->Backtrack(ctx, done) || !this->FillTo(ctx, done, this->m_nFixed)) {
        return false;
    }
    ctx.Push(done);
    return true;
}

// The first success of an inner match, never given back: shared by
// possessive repeats and atomic groups. The captures of `groups` are saved
// beneath the start position so that backtracking past the element restores
// them (UndoAtomic).
template <class T, class Run>
bool MatchAtomic(CMatchContextT<T> &ctx, RegexGroupSpan groups, Run const &run) {
    const int start = ctx.m_nCurrentPosition;
    const int base = ctx.m_stack.GetSize();
    const int saved = SaveSpan(ctx, groups);
    if (!run() || ctx.IsAborted()) {
        ctx.m_stack.Truncate(base);
        return false;
    }
    ctx.m_stack.Truncate(base + saved);
    ctx.Push(start);
    return true;
}

template <class T> bool UndoAtomic(CMatchContextT<T> &ctx, RegexGroupSpan groups) {
    if (!ctx.Step()) {
        return false;
    }
    const int start = ctx.Pop();
    int first = 0;
    int last = 0;
    const int saved = SpanSlots(ctx, groups, first, last) ? last - first : 0;
    RestoreSpan(ctx, groups, ctx.m_stack.GetSize() - saved);
    ctx.m_stack.Truncate(ctx.m_stack.GetSize() - saved);
    ctx.m_nCurrentPosition = start;
    return false;
}

// ---------------------------------------------------------------------------
// CPossessiveElxT
// ---------------------------------------------------------------------------
//
// Stack: [saved captures of the span] [start position].

template <class T>
CPossessiveElxT<T>::CPossessiveElxT(const ElxInterface<T> *element, int minimum, int maximum,
                                    bool rightLeft, RegexGroupSpan groups)
    : CGreedyElxT<T>(ELX_POSSESSIVE, element, minimum, maximum, rightLeft), m_groups(groups) {}

template <class T> bool CPossessiveElxT<T>::Match(CMatchContextT<T> &ctx) const {
    return MatchAtomic(ctx, m_groups, [&] { return CGreedyElxT<T>::Match(ctx); });
}

template <class T> bool CPossessiveElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    return UndoAtomic(ctx, m_groups);
}

// ---------------------------------------------------------------------------
// CIndependentElxT
// ---------------------------------------------------------------------------

template <class T>
CIndependentElxT<T>::CIndependentElxT(const ElxInterface<T> *element, RegexGroupSpan groups)
    : ElxInterface<T>(ELX_INDEPENDENT), m_pElx(element), m_groups(groups) {}

template <class T> bool CIndependentElxT<T>::Match(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    return MatchAtomic(ctx, m_groups, [&] { return m_pElx->Match(ctx); });
}

template <class T> bool CIndependentElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    return UndoAtomic(ctx, m_groups);
}

// ---------------------------------------------------------------------------
// CAssertElxT
// ---------------------------------------------------------------------------
//
// A positive assertion leaves the saved captures of its span on the stack so
// that backtracking past it undoes what the inner expression captured.

template <class T>
CAssertElxT<T>::CAssertElxT(const ElxInterface<T> *element, bool negative, bool behind,
                            RegexGroupSpan groups)
    : ElxInterface<T>(ELX_ASSERT), m_pElx(element), m_bNegative(negative), m_bBehind(behind),
      m_groups(groups) {}

template <class T> bool CAssertElxT<T>::Match(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    const int start = ctx.m_nCurrentPosition;
    const int base = ctx.m_stack.GetSize();
    const int saved = SaveSpan(ctx, m_groups);
    const bool matched = m_pElx->Match(ctx);
    if (ctx.IsAborted()) {
        return false;
    }
    if (matched) {
        if (m_bNegative) {
            RestoreSpan(ctx, m_groups, base);
            ctx.m_stack.Truncate(base);
        } else {
            ctx.m_stack.Truncate(base + saved);
        }
        ctx.m_nCurrentPosition = start;
        return !m_bNegative;
    }
    ctx.m_stack.Truncate(base);
    return m_bNegative;
}

template <class T> bool CAssertElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    if (m_bNegative || !ctx.Step()) {
        return false;
    }
    int first = 0;
    int last = 0;
    const int saved = SpanSlots(ctx, m_groups, first, last) ? last - first : 0;
    RestoreSpan(ctx, m_groups, ctx.m_stack.GetSize() - saved);
    ctx.m_stack.Truncate(ctx.m_stack.GetSize() - saved);
    return false;
}

// ---------------------------------------------------------------------------
// CConditionElxT
// ---------------------------------------------------------------------------
//
// Stack: [state of a true look-around test] [state of the branch] [code];
// code bit 0: the test was true, bit 1: the branch taken is empty.

template <class T>
CConditionElxT<T>::CConditionElxT(int number, const ElxInterface<T> *test,
                                  const ElxInterface<T> *yes, const ElxInterface<T> *no)
    : ElxInterface<T>(ELX_CONDITION), m_nNumber(number), m_pTest(test), m_pYes(yes), m_pNo(no) {}

template <class T> bool CConditionElxT<T>::Match(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    bool test;
    if (m_pTest != nullptr) {
        test = m_pTest->Match(ctx); // restores the position itself
    } else {
        test = ctx.GroupStarted(m_nNumber);
    }
    if (ctx.IsAborted()) {
        return false;
    }
    const ElxInterface<T> *branch = test ? m_pYes : m_pNo;
    if (branch == nullptr) {
        ctx.Push(test ? 3 : 2);
        return true;
    }
    if (branch->Match(ctx)) {
        ctx.Push(test ? 1 : 0);
        return true;
    }
    if (test && m_pTest != nullptr) {
        m_pTest->MatchNext(ctx);
    }
    return false;
}

template <class T> bool CConditionElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok()) {
        return false;
    }
    const int code = ctx.Pop();
    const bool test = (code & 1) != 0;
    if ((code & 2) == 0) {
        const ElxInterface<T> *branch = test ? m_pYes : m_pNo;
        if (branch != nullptr && branch->MatchNext(ctx)) {
            ctx.Push(code);
            return true;
        }
    }
    if (test && m_pTest != nullptr) {
        m_pTest->MatchNext(ctx);
    }
    return false;
}

// ---------------------------------------------------------------------------
// CDelegateElxT
// ---------------------------------------------------------------------------
//
// A recursion sees the captures of its caller and hands them back unchanged:
// Stack: [caller's captures] [state of the target] [captures inside] [base].

template <class T>
CDelegateElxT<T>::CDelegateElxT(int number, bool rightLeft)
    : ElxInterface<T>(ELX_DELEGATE), m_nNumber(number), m_pElx(nullptr), m_bRightLeft(rightLeft) {}

template <class T> bool CDelegateElxT<T>::Match(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok() || m_pElx == nullptr) {
        return false;
    }
    const int slots = ctx.m_captures.GetSize();
    const int base = ctx.m_stack.GetSize();
    if (!ctx.Charge(4LL * slots)) {
        return false;
    }
    for (int i = 0; i < slots; ++i) {
        ctx.Push(ctx.m_captures[i]);
    }
    if (!m_pElx->Match(ctx) || ctx.IsAborted()) {
        ctx.m_stack.Truncate(base);
        return false;
    }
    for (int i = 0; i < slots; ++i) {
        ctx.Push(ctx.m_captures[i]);
    }
    ctx.Push(base);
    if (ctx.IsAborted()) {
        return false;
    }
    for (int i = 0; i < slots; ++i) {
        ctx.m_captures[i] = ctx.m_stack[base + i];
    }
    return true;
}

template <class T> bool CDelegateElxT<T>::MatchNext(CMatchContextT<T> &ctx) const {
    CElxFrame<T> frame(ctx);
    if (!frame.Ok() || m_pElx == nullptr) {
        return false;
    }
    const int slots = ctx.m_captures.GetSize();
    if (!ctx.Charge(4LL * slots)) {
        return false;
    }
    const int base = ctx.Pop();
    const int inner = ctx.m_stack.GetSize() - slots;
    if (base < 0 || base + slots > inner) {
        ctx.Abort();
        return false;
    }
    for (int i = 0; i < slots; ++i) {
        ctx.m_captures[i] = ctx.m_stack[inner + i];
    }
    ctx.m_stack.Truncate(inner);
    if (m_pElx->MatchNext(ctx) && !ctx.IsAborted()) {
        for (int i = 0; i < slots; ++i) {
            ctx.Push(ctx.m_captures[i]);
        }
        ctx.Push(base);
        if (ctx.IsAborted()) {
            return false;
        }
        for (int i = 0; i < slots; ++i) {
            ctx.m_captures[i] = ctx.m_stack[base + i];
        }
        return true;
    }
    if (ctx.IsAborted() || base + slots > ctx.m_stack.GetSize()) {
        return false;
    }
    for (int i = 0; i < slots; ++i) {
        ctx.m_captures[i] = ctx.m_stack[base + i];
    }
    ctx.m_stack.Truncate(base);
    return false;
}

// ---------------------------------------------------------------------------
// CBoundaryElxT
// ---------------------------------------------------------------------------

template <class T>
CBoundaryElxT<T>::CBoundaryElxT(int type, bool multiLine)
    : ElxInterface<T>(ELX_BOUNDARY), m_nType(type), m_bMultiLine(multiLine) {}

template <class T> bool CBoundaryElxT<T>::Match(CMatchContextT<T> &ctx) const {
    if (!ctx.Step()) {
        return false;
    }
    const int pos = ctx.m_nCurrentPosition;
    const int n = ctx.m_nLength;
    const T *text = ctx.m_pText;
    const unsigned before = pos > 0 ? RegexCode(text[pos - 1]) : 0;
    const unsigned after = pos < n ? RegexCode(text[pos]) : 0;
    switch (m_nType) {
    case BOUNDARY_LINE_BEGIN:
        return pos == 0 || (m_bMultiLine &&
                            (before == '\n' || (before == '\r' && (pos == n || after != '\n'))));
    case BOUNDARY_LINE_END:
        return pos == n ||
               (m_bMultiLine && (after == '\r' || (after == '\n' && (pos == 0 || before != '\r'))));
    case BOUNDARY_TEXT_BEGIN:
        return pos == 0;
    case BOUNDARY_TEXT_END:
        return pos == n;
    case BOUNDARY_TEXT_END_NL:
        return pos == n || (pos == n - 1 && after == '\n') ||
               (pos == n - 2 && after == '\r' && RegexCode(text[pos + 1]) == '\n');
    case BOUNDARY_WORD:
    case BOUNDARY_NOT_WORD: {
        const bool word = (pos > 0 && RegexIsWord(before)) != (pos < n && RegexIsWord(after));
        return word == (m_nType == BOUNDARY_WORD);
    }
    default:
        return false;
    }
}

template <class T> bool CBoundaryElxT<T>::MatchNext(CMatchContextT<T> &) const {
    return false;
}

// ---------------------------------------------------------------------------
// CGlobalElxT
// ---------------------------------------------------------------------------

template <class T>
CGlobalElxT<T>::CGlobalElxT(bool global) : ElxInterface<T>(ELX_GLOBAL), m_bGlobal(global) {}

template <class T> bool CGlobalElxT<T>::Match(CMatchContextT<T> &ctx) const {
    return ctx.Step() && (!m_bGlobal || ctx.m_nCurrentPosition == ctx.m_nSearchStart);
}

template <class T> bool CGlobalElxT<T>::MatchNext(CMatchContextT<T> &) const {
    return false;
}

// The engine is used with wide text.
template class CMatchContextT<wchar_t>;
template class CEmptyElxT<wchar_t>;
template class CStringElxT<wchar_t>;
template class CRangeElxT<wchar_t>;
template class CPosixElxT<wchar_t>;
template class CListElxT<wchar_t>;
template class CAlternativeElxT<wchar_t>;
template class CBracketElxT<wchar_t>;
template class CBackrefElxT<wchar_t>;
template class CRepeatElxT<wchar_t>;
template class CGreedyElxT<wchar_t>;
template class CReluctantElxT<wchar_t>;
template class CPossessiveElxT<wchar_t>;
template class CIndependentElxT<wchar_t>;
template class CAssertElxT<wchar_t>;
template class CConditionElxT<wchar_t>;
template class CDelegateElxT<wchar_t>;
template class CBoundaryElxT<wchar_t>;
template class CGlobalElxT<wchar_t>;

} // namespace vfs
} // namespace zem

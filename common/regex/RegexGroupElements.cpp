// Elements that structure a pattern: sequences, alternatives, capture
// brackets and back-references.
#include "RegexElementFrame.h"

namespace zem {
namespace vfs {

using namespace regex_frame;

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
    const T *text = TextAhead(ctx, n, m_bRightLeft);
    if (text == nullptr) {
        return false;
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

template class CListElxT<wchar_t>;
template class CAlternativeElxT<wchar_t>;
template class CBracketElxT<wchar_t>;
template class CBackrefElxT<wchar_t>;

} // namespace vfs
} // namespace zem

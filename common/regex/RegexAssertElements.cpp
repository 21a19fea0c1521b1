// Elements that test without consuming, or hand over: look-arounds,
// conditions, group calls, anchors, word boundaries and \G.
#include "RegexElementFrame.h"

namespace zem {
namespace vfs {

using namespace regex_frame;

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

namespace {

// A call that succeeded keeps the captures made inside it and `base` on the
// stack, and gives the caller its own captures (saved at `base`) back.
template <class T> bool ReturnFromCall(CMatchContextT<T> &ctx, int base, int slots) {
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

} // namespace

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
    return ReturnFromCall(ctx, base, slots);
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
        return ReturnFromCall(ctx, base, slots);
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

template class CAssertElxT<wchar_t>;
template class CConditionElxT<wchar_t>;
template class CDelegateElxT<wchar_t>;
template class CBoundaryElxT<wchar_t>;
template class CGlobalElxT<wchar_t>;

} // namespace vfs
} // namespace zem

// Repeats: exact, greedy, reluctant and possessive, and atomic groups.
#include "RegexElementFrame.h"

namespace zem {
namespace vfs {

using namespace regex_frame;

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
bool CRepeatElxT<T>::RedoMinimum(CMatchContextT<T> &ctx, int &done, int &lastStart) const {
    lastStart = ctx.Pop();
    return Backtrack(ctx, done) && FillTo(ctx, done, m_nFixed, &lastStart);
}

template <class T>
bool CRepeatElxT<T>::FillTo(CMatchContextT<T> &ctx, int &done, int target, int *lastStart) const {
    while (done < target) {
        if (lastStart != nullptr && done + 1 == target) {
            *lastStart = ctx.m_nCurrentPosition;
        }
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

// Stack: [states of the minimum iterations] [start of the last of them, or
// -1] then, for each iteration beyond, [state of the element] [its start],
// and the count on top.
//
// Adds iterations while they succeed, up to an empty one that ends the loop
// (EndsLoop).
template <class T> void CGreedyElxT<T>::Extend(CMatchContextT<T> &ctx, int &done) const {
    while (done < m_nMax) {
        const int start = ctx.m_nCurrentPosition;
        if (!this->m_pElx->Match(ctx)) {
            break;
        }
        ctx.Push(start);
        ++done;
        if (this->EndsLoop(ctx, start, done, m_nMax)) {
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
    int lastStart = -1;
    return this->FillTo(ctx, done, this->m_nFixed, &lastStart) && Settle(ctx, done, lastStart);
}

template <class T>
bool CGreedyElxT<T>::Settle(CMatchContextT<T> &ctx, int done, int lastStart) const {
    ctx.Push(lastStart);
    if (done == 0 || !this->EndsLoop(ctx, lastStart, done, m_nMax)) {
        Extend(ctx, done);
    }
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
            if (!this->EndsLoop(ctx, start, done, m_nMax)) {
                Extend(ctx, done);
            }
        } else {
            --done;
        }
        ctx.Push(done);
        return true;
    }
    int lastStart = -1;
    return this->RedoMinimum(ctx, done, lastStart) && Settle(ctx, done, lastStart);
}

// ---------------------------------------------------------------------------
// CReluctantElxT
// ---------------------------------------------------------------------------
//
// The stack is laid out as for CGreedyElxT; after an iteration that ends
// the loop no further one is tried.

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
    int lastStart = -1;
    if (!this->FillTo(ctx, done, this->m_nFixed, &lastStart)) {
        return false;
    }
    ctx.Push(lastStart);
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
    // The start of the latest iteration is on top of the stack.
    const bool ended =
        done > 0 && this->EndsLoop(ctx, ctx.m_stack[ctx.m_stack.GetSize() - 1], done, m_nMax);
    if (done < m_nMax && !ended) {
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
    int lastStart = -1;
    if (!this->RedoMinimum(ctx, done, lastStart)) {
        return false;
    }
    ctx.Push(lastStart);
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

template class CRepeatElxT<wchar_t>;
template class CGreedyElxT<wchar_t>;
template class CReluctantElxT<wchar_t>;
template class CPossessiveElxT<wchar_t>;
template class CIndependentElxT<wchar_t>;

} // namespace vfs
} // namespace zem

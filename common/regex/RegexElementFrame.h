// What the element files share: the depth guard of composite elements and
// the saving and restoring of the captures of a span of groups.
#pragma once

#include "RegexElements.h"

namespace zem {
namespace vfs {
namespace regex_frame {

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

// The `n` characters an element consumes from the position in its
// direction (the ones before it, right to left); null when the text holds
// fewer.
template <class T> const T *TextAhead(const CMatchContextT<T> &ctx, int n, bool rightLeft) {
    const int pos = ctx.m_nCurrentPosition;
    if (rightLeft) {
        return n > pos ? nullptr : ctx.m_pText + (pos - n);
    }
    return n > ctx.m_nLength - pos ? nullptr : ctx.m_pText + pos;
}

} // namespace regex_frame
} // namespace vfs
} // namespace zem

// Compiled regular expressions and match results.
//
//   CPatternT<wchar_t> pattern(L"\\\\(cmd|powershell)\\.exe$", REGEX_IGNORECASE);
//   CMatchResultT<wchar_t> result = pattern.Match(path, length);
//   if (result.IsMatched()) ...
//
// Compilation never fails loudly: a malformed pattern compiles to some
// element tree (see the notes in RegexParser.cpp), and a pattern nested
// deeper than kMaxNesting groups, or one that runs out of memory, compiles to
// nothing and matches nothing. A search gives up, as a failed match, when it
// exceeds the step budget or the call depth of its CMatchContextT.
#pragma once

#include "RegexElements.h"

namespace zem {
namespace vfs {

template <class T> class CRegexParserT;

// Result of a search: entry 0 is 1 when the pattern matched, followed by the
// start and end of group 0 (the whole match), group 1, ... (-1 when a group
// took no part). The array is empty when the search failed or no pattern was
// compiled.
template <class T> class CMatchResultT {
public:
    CMatchResultT() {}

    bool IsMatched() const { return m_result.GetSize() > 0 && m_result[0] == 1; }
    int GetSize() const { return m_result.GetSize(); }
    int operator[](int index) const {
        return index >= 0 && index < m_result.GetSize() ? m_result[index] : -1;
    }
    // Highest group number reported, -1 when nothing matched.
    int MaxGroupNumber() const { return IsMatched() ? (m_result.GetSize() - 1) / 2 - 1 : -1; }
    int GetGroupStart(int number) const { return (*this)[1 + 2 * number]; }
    int GetGroupEnd(int number) const { return (*this)[2 + 2 * number]; }

    void Clear() { m_result.Clear(); }
    // Fills the result from a context whose search succeeded.
    void Assign(const CMatchContextT<T> &ctx) {
        m_result.Clear();
        m_result.Push(1);
        m_result.Append(ctx.m_captures.GetBuffer(), ctx.m_captures.GetSize());
    }

private:
    CInlineBufferT<int, 24> m_result;
};

template <class T> class CPatternT {
public:
    // Deepest nesting of parentheses the compiler accepts.
    static const int kMaxNesting = 100;
    // Highest group number a named group may take explicitly, as in (?<12>...).
    static const int kMaxExplicitGroup = 999;
    // Characters the required-literal filter compares before it gives up.
    static const int kPrefilterWork = 1 << 20;

    CPatternT();
    explicit CPatternT(const T *pattern, int flags = REGEX_NO_FLAG);
    CPatternT(const T *pattern, int length, int flags);
    ~CPatternT();
    CPatternT(const CPatternT &) = delete;
    CPatternT &operator=(const CPatternT &) = delete;

    // Compiles `length` characters of `pattern` (all up to the terminating
    // zero when length is negative). Returns false when the pattern cannot
    // be used; it then matches nothing.
    bool Compile(const T *pattern, int length, int flags);
    void Clear();

    // Searches for the leftmost match (rightmost with REGEX_RIGHTTOLEFT),
    // starting at `start` (-1: the beginning, or the end right to left).
    CMatchResultT<T> Match(const T *text, int length, int start = -1) const;
    // The same with a caller's context, whose limits the caller may set and
    // which holds the captures afterwards (group 0 = the match).
    bool Match(const T *text, int length, CMatchContextT<T> &ctx, int start = -1) const;

    bool IsCompiled() const { return m_pTopElx != nullptr; }
    int GetFlags() const { return m_nFlags; }
    // Capturing groups numbered by opening parenthesis.
    int GetGroupCount() const { return m_nGroupCount; }
    // Highest group number in use (explicit numbers included).
    int GetMaxGroupNumber() const {
        return m_nMaxExplicit > m_nGroupCount ? m_nMaxExplicit : m_nGroupCount;
    }
    // Number of a named group, -1 when there is none by that name.
    int GetNamedNumber(const T *name, int length) const;
    const ElxInterface<T> *GetTopElx() const { return m_pTopElx; }

    // What the search learnt from the pattern (exposed for tests).
    bool IsAnchoredStart() const { return m_bAnchored; }
    bool HasFirstCharFilter() const { return m_bHasFirst; }
    const CStringElxT<T> *GetRequiredLiteral() const { return m_pRequired; }
    bool IsRequiredAtEnd() const { return m_bRequiredAtEnd; }

private:
    friend class CRegexParserT<T>;

    struct NamedRef {
        ElxInterface<T> *elx;
        int nameOffset; // into m_pattern; -1 when given by number
        int nameLength;
    };
    // Where a group's text starts, so that it can be compiled again for a
    // caller running in the other direction.
    struct GroupSource {
        int pos;      // just after its '('; -1 when unknown
        int caseMode; // \L or \U in force there
        int flags;
        int depth;   // nesting of the '('
        int counter; // groups numbered before it
    };
    struct GroupName {
        int nameOffset;
        int nameLength;
        int number;
    };
    enum { STOCK_EMPTY = 0, STOCK_COUNT = 17 };

    // Creates an element in the arena and takes ownership of it. Throws
    // std::bad_alloc when memory runs out (caught by Compile).
    template <class E, class... A> E *New(A... args);
    // Copies an array into the arena.
    template <class E> E *Copy(const E *data, int count);
    // Stock elements: empty; dot, dot with single-line, \w \W \s \S \d \D
    // (left to right, then the same right to left).
    const ElxInterface<T> *GetStock(int index);

    int FindName(int offset, int length) const;
    // The group (0: the whole pattern) as compiled to run right to left or
    // left to right; compiled again on first use in the other direction.
    const ElxInterface<T> *GroupIn(int number, bool rightLeft);
    void Resolve();
    void Analyse();
    bool Prefilter(const T *text, int length) const;
    bool Search(CMatchContextT<T> &ctx, int start) const;

    CRegexArena m_arena;
    CInlineBufferT<ElxInterface<T> *, 32> m_store;
    ElxInterface<T> *m_stock[STOCK_COUNT];

    int m_nFlags;
    const ElxInterface<T> *m_pTopElx;
    CBufferRefT<T> m_pattern;
    int m_nGroupCount;
    int m_nMaxExplicit;
    CInlineBufferT<GroupName, 4> m_names;
    CInlineBufferT<const ElxInterface<T> *, 8> m_groupElx; // group number -> group element
    CInlineBufferT<GroupSource, 8> m_groupSource;          // group number -> its text
    CInlineBufferT<const ElxInterface<T> *, 8> m_turned;   // ... compiled the other way round
    CInlineBufferT<NamedRef, 4> m_backrefs;
    CInlineBufferT<NamedRef, 4> m_conditions;
    CInlineBufferT<NamedRef, 4> m_delegates;

    // Search helpers computed after compilation.
    bool m_bAnchored; // can only match at position 0
    bool m_bHasFirst; // every match starts with a character of m_first
    unsigned long long m_first[2];
    bool m_bFirstHigh;                 // ... or with a code of 128 or more
    int m_nFirstSingle;                // the only possible first character, or -1
    const CStringElxT<T> *m_pRequired; // literal every match contains
    bool m_bRequiredAtEnd;             // ... at the very end of the text
    int m_nLeadingDotStar;             // 1: starts with .* (stops at line feeds), 2: with .* (any)
};

} // namespace vfs
} // namespace zem

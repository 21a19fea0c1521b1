// Elements of a compiled regular expression and the state of one match.
//
// Every element implements two operations on a CMatchContextT:
//   Match(ctx)     first attempt at the current position;
//   MatchNext(ctx) next alternative after a later element failed.
// An element that succeeds leaves what it needs to resume on the context's
// backtracking stack; MatchNext consumes that state. When either call fails
// the element has restored the position, the captures and the stack to what
// they were before its Match. The stack is an explicit array, so the depth of
// C++ recursion depends only on the nesting of the pattern (and on recursion
// constructs), which the context bounds.
#pragma once

#include "RegexBuffer.h"

#include <cctype>
#include <type_traits>

namespace zem {
namespace vfs {

// Compilation flags (also set inline with (?imsg-imsg)).
enum {
    REGEX_NO_FLAG = 0,
    REGEX_SINGLELINE = 1,   // '.' also matches line feed
    REGEX_MULTILINE = 2,    // '^' and '$' also match at line breaks
    REGEX_GLOBAL = 4,       // '\G' matches where the search began
    REGEX_IGNORECASE = 8,   // literal text and back-references ignore case
    REGEX_RIGHTTOLEFT = 16, // match backwards from the end
    REGEX_EXTENDED = 32     // skip unescaped white space, '#' starts a comment
};

// ---------------------------------------------------------------------------
// Character helpers
// ---------------------------------------------------------------------------

template <class T> inline unsigned RegexCode(T c) {
    return static_cast<unsigned>(static_cast<typename std::make_unsigned<T>::type>(c));
}

// The runtime's single-byte case mapping; other code units map to themselves.
inline unsigned RegexToUpper(unsigned c) {
    return c < 256 ? static_cast<unsigned>(std::toupper(static_cast<int>(c))) & 0xFFFFu : c;
}
inline unsigned RegexToLower(unsigned c) {
    return c < 256 ? static_cast<unsigned>(std::tolower(static_cast<int>(c))) & 0xFFFFu : c;
}

// Ignore-case equality: equal, or both single-byte and equal after toupper.
inline bool RegexEqualNoCase(unsigned a, unsigned b) {
    if (a == b) {
        return true;
    }
    if ((a | b) >= 256) {
        return false;
    }
    // Two ASCII characters can only be case partners when they differ in bit 5.
    if ((a | b) < 128 && (a ^ b) != 0x20) {
        return false;
    }
    return std::toupper(static_cast<int>(a)) == std::toupper(static_cast<int>(b));
}

// Word characters for \w and \b: A-Z, a-z, 0-9 and underscore.
inline bool RegexIsWord(unsigned c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// ---------------------------------------------------------------------------
// Match state
// ---------------------------------------------------------------------------

template <class T> class CMatchContextT {
public:
    // Element calls one search may make before it gives up (a failed match).
    static const int kDefaultStepBudget = 1000000;
    static const int kMaxStepBudget = 1 << 30;
    // Nesting of element calls (pattern nesting plus recursion) before giving up.
    static const int kDefaultMaxDepth = 600;
    // Entries of the backtracking stack before giving up (16 MiB).
    static const int kMaxStackEntries = 1 << 22;

    CMatchContextT()
        : m_pText(nullptr), m_nLength(0), m_nCurrentPosition(0), m_nBeginPosition(0),
          m_nSearchStart(0), m_nSteps(0), m_nStepBudget(kDefaultStepBudget), m_nDepth(0),
          m_nMaxDepth(kDefaultMaxDepth), m_bAborted(false) {}
    CMatchContextT(const CMatchContextT &) = delete;
    CMatchContextT &operator=(const CMatchContextT &) = delete;

    // Prepares a search of `text` with `groups` capture groups besides group 0.
    void Prepare(const T *text, int length, int groups, int searchStart) {
        m_pText = text;
        m_nLength = text != nullptr && length > 0 ? length : 0;
        m_nCurrentPosition = searchStart;
        m_nBeginPosition = searchStart;
        m_nSearchStart = searchStart;
        m_stack.Clear();
        m_nSteps = 0;
        m_nDepth = 0;
        m_captures.Clear();
        m_bAborted = groups < 0 || !m_captures.Fill(-1, 2 * (groups + 1));
    }

    void SetStepBudget(int steps) {
        m_nStepBudget = steps < 1 ? 1 : (steps > kMaxStepBudget ? kMaxStepBudget : steps);
    }
    void SetMaxDepth(int depth) { m_nMaxDepth = depth > 0 ? depth : 1; }
    int GetSteps() const { return m_nSteps; }
    bool IsAborted() const { return m_bAborted; }

    // Counts one element call; false once the search has given up.
    bool Step() {
        if (m_bAborted) {
            return false;
        }
        if (++m_nSteps > m_nStepBudget) {
            m_bAborted = true;
            return false;
        }
        return true;
    }
    // Counts one nested call of a composite element; pair with Leave().
    bool Enter() {
        ++m_nDepth;
        if (m_nDepth > m_nMaxDepth) {
            m_bAborted = true;
        }
        return Step();
    }
    void Leave() { --m_nDepth; }
    // Counts work that is not an element call (copying captures): one step
    // per 16 entries.
    bool Charge(long long entries) {
        const long long steps = static_cast<long long>(m_nSteps) + (entries >> 4);
        m_nSteps = steps > m_nStepBudget ? m_nStepBudget + 1 : static_cast<int>(steps);
        if (m_nSteps > m_nStepBudget) {
            m_bAborted = true;
        }
        return !m_bAborted;
    }
    void Abort() { m_bAborted = true; }

    void Push(int value) {
        if (m_stack.GetSize() >= kMaxStackEntries || !m_stack.Push(value)) {
            m_bAborted = true;
        }
    }
    int Pop() { return m_stack.Pop(); }

    // Whether group n has started a capture (in either direction).
    bool GroupStarted(int n) const {
        return n >= 0 && n < m_captures.GetSize() / 2 &&
               (m_captures[2 * n] >= 0 || m_captures[2 * n + 1] >= 0);
    }

    const T *m_pText;                   // subject
    int m_nLength;                      // subject length
    int m_nCurrentPosition;             // current position
    int m_nBeginPosition;               // where the current attempt began
    int m_nSearchStart;                 // where the search began (\G)
    CInlineBufferT<int, 32> m_captures; // start and end per group, -1 when unset
    CInlineBufferT<int, 256> m_stack;   // backtracking stack

private:
    int m_nSteps;
    int m_nStepBudget;
    int m_nDepth;
    int m_nMaxDepth;
    bool m_bAborted;
};

// ---------------------------------------------------------------------------
// Elements
// ---------------------------------------------------------------------------

enum ElxKind {
    ELX_EMPTY,
    ELX_STRING,
    ELX_RANGE,
    ELX_POSIX,
    ELX_LIST,
    ELX_ALTERNATIVE,
    ELX_BRACKET,
    ELX_BACKREF,
    ELX_REPEAT,
    ELX_GREEDY,
    ELX_RELUCTANT,
    ELX_POSSESSIVE,
    ELX_INDEPENDENT,
    ELX_ASSERT,
    ELX_CONDITION,
    ELX_DELEGATE,
    ELX_BOUNDARY,
    ELX_GLOBAL
};

template <class T> class ElxInterface {
public:
    virtual bool Match(CMatchContextT<T> &ctx) const = 0;
    virtual bool MatchNext(CMatchContextT<T> &ctx) const = 0;
    virtual ~ElxInterface() {}

    int GetKind() const { return m_nKind; }
    // Whether the element always matches exactly one character and has no
    // alternatives (a one-character string, a class or a POSIX class).
    bool IsSingleChar() const { return m_bSingleChar; }

protected:
    explicit ElxInterface(int kind) : m_nKind(kind), m_bSingleChar(false) {}
    int m_nKind;
    bool m_bSingleChar;
};

// Matches nothing, once. Stack: nothing.
template <class T> class CEmptyElxT : public ElxInterface<T> {
public:
    CEmptyElxT() : ElxInterface<T>(ELX_EMPTY) {}
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;
};

// A literal (one or more characters). Stack: nothing; MatchNext steps back
// over the literal's length.
template <class T> class CStringElxT : public ElxInterface<T> {
public:
    CStringElxT(const T *text, int length, bool rightLeft, bool ignoreCase);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;
    bool TestChar(unsigned c) const {
        unsigned p = RegexCode(m_szPattern[0]);
        return c == p || (m_bIgnoreCase && RegexEqualNoCase(c, p));
    }

    CBufferRefT<T> m_szPattern;
    bool m_bRightLeft;
    bool m_bIgnoreCase;
};

// A bracketed class: ranges, single characters and nested classes.
// Stack: nothing; MatchNext steps back one character.
template <class T> class CRangeElxT : public ElxInterface<T> {
public:
    CRangeElxT(bool negative, bool rightLeft);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    // Fills the answer table for ASCII; call once the lists are final.
    void Prepare();
    bool TestChar(unsigned c) const {
        if (c < 128) {
            return ((m_ascii[c >> 6] >> (c & 63)) & 1) != 0;
        }
        return TestSlow(c);
    }
    bool TestSlow(unsigned c) const;

    CBufferRefT<T> m_ranges;                       // pairs: first, last (inclusive)
    CBufferRefT<T> m_chars;                        // single characters
    CBufferRefT<const ElxInterface<T> *> m_embeds; // nested classes (\w, [:alpha:], ...)
    bool m_bNegative;
    bool m_bRightLeft;
    unsigned long long m_ascii[2]; // answers for codes below 128, negation included
    bool m_bHighPossible;          // some code of 128 or more may match
};

// A POSIX class ([:alpha:] ...). Stack: nothing; MatchNext steps back one
// character.
template <class T> class CPosixElxT : public ElxInterface<T> {
public:
    enum {
        POSIX_ALNUM,
        POSIX_ALPHA,
        POSIX_ASCII,
        POSIX_CNTRL,
        POSIX_DIGIT,
        POSIX_GRAPH,
        POSIX_LOWER,
        POSIX_PRINT,
        POSIX_PUNCT,
        POSIX_SPACE,
        POSIX_UPPER,
        POSIX_XDIGIT,
        POSIX_BLANK
    };
    CPosixElxT(int posixClass, bool negative, bool rightLeft);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;
    bool TestChar(unsigned c) const {
        if (c < 128) {
            return ((m_ascii[c >> 6] >> (c & 63)) & 1) != 0;
        }
        return Classify(c) != m_bNegative;
    }
    bool Classify(unsigned c) const;

    int m_nClass;
    bool m_bNegative;
    bool m_bRightLeft;
    unsigned long long m_ascii[2];
};

// A sequence. Stack: nothing of its own, only what its elements keep, in
// order; MatchNext backtracks into the last element that has another way.
template <class T> class CListElxT : public ElxInterface<T> {
public:
    CListElxT(const ElxInterface<T> *const *elements, int count, bool rightLeft);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    CBufferRefT<const ElxInterface<T> *> m_elxlist;
    bool m_bRightLeft;

private:
    bool Run(CMatchContextT<T> &ctx, int index) const;
};

// Alternatives tried in order. Stack: [state of the chosen branch] [index
// of that branch].
template <class T> class CAlternativeElxT : public ElxInterface<T> {
public:
    CAlternativeElxT(const ElxInterface<T> *const *elements, int count);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    CBufferRefT<const ElxInterface<T> *> m_elxlist;
};

// The opening or closing bracket of a capturing group. Stack: the capture
// slot it overwrites (and, when entering, the other slot too), restored by
// MatchNext.
template <class T> class CBracketElxT : public ElxInterface<T> {
public:
    CBracketElxT(int number, bool closing, bool rightLeft);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    int m_nNumber;
    bool m_bRight; // closing parenthesis
    bool m_bRightLeft;
};

// A back-reference to a group's capture. Stack: [length consumed].
template <class T> class CBackrefElxT : public ElxInterface<T> {
public:
    CBackrefElxT(int number, bool rightLeft, bool ignoreCase);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    int m_nNumber; // -1 when a name did not resolve
    bool m_bRightLeft;
    bool m_bIgnoreCase;
};

// Exactly m_nFixed repetitions; also the base of the counted repetitions.
// Stack: the states of the repetitions
// (nothing for a single-character element).
template <class T> class CRepeatElxT : public ElxInterface<T> {
public:
    CRepeatElxT(const ElxInterface<T> *element, int count, bool rightLeft);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    const ElxInterface<T> *m_pElx;
    int m_nFixed;
    bool m_bRightLeft;

protected:
    CRepeatElxT(int kind, const ElxInterface<T> *element, int count, bool rightLeft);
    // One-character elements: how many of the next `limit` characters match.
    int CountSingle(CMatchContextT<T> &ctx, int limit) const;
    bool TestSingle(unsigned c) const;
    // Generic elements: brings `done` iterations up to `target`, backtracking
    // into earlier iterations as needed; false with everything undone.
    bool FillTo(CMatchContextT<T> &ctx, int &done, int target, int *lastStart = nullptr) const;
    // Asks the latest iterations for another way, undoing those that have
    // none; false when all `done` iterations are undone.
    bool Backtrack(CMatchContextT<T> &ctx, int &done) const;
    // Backtracking into the minimum iterations: pops the start of the last of
    // them and finds another way for them; false with everything undone.
    bool RedoMinimum(CMatchContextT<T> &ctx, int &done, int &lastStart) const;
    int Direction() const { return m_bRightLeft ? -1 : 1; }
    // Whether iteration `index` (from 1), which ran from `start` to the
    // current position, ends a loop of at most `maximum` iterations: an empty
    // one does from the minimum on (from the first when there is none) when
    // the loop has no upper bound, as another would change nothing.
    bool EndsLoop(const CMatchContextT<T> &ctx, int start, int index, int maximum) const {
        return ctx.m_nCurrentPosition == start && maximum == 2147483647 &&
               index >= (m_nFixed > 0 ? m_nFixed : 1);
    }
};

// Greedy {min,max}. Stack: [states of the minimum iterations] [start of the
// last of them, or -1] then per further iteration [its state] [its start], and
// the count on top; a single-character element keeps only the count.
template <class T> class CGreedyElxT : public CRepeatElxT<T> {
public:
    CGreedyElxT(const ElxInterface<T> *element, int minimum, int maximum, bool rightLeft);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    int m_nMax;

protected:
    CGreedyElxT(int kind, const ElxInterface<T> *element, int minimum, int maximum, bool rightLeft);
    void Extend(CMatchContextT<T> &ctx, int &done) const;
    // After the minimum: keeps `lastStart`, adds what iterations it can and
    // keeps their count.
    bool Settle(CMatchContextT<T> &ctx, int done, int lastStart) const;
};

// Lazy {min,max}. Stack: as for CGreedyElxT, grown one iteration at each
// MatchNext.
template <class T> class CReluctantElxT : public CRepeatElxT<T> {
public:
    CReluctantElxT(const ElxInterface<T> *element, int minimum, int maximum, bool rightLeft);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    int m_nMax;
};

// Captures inside an element whose backtracking state is discarded are
// saved before it runs and restored when it is backtracked.
struct RegexGroupSpan {
    int lo; // lowest group number inside, or -1 for none
    int hi; // highest group number inside
};

// Possessive {min,max}: the first greedy match, never given back. Stack:
// [saved captures of its groups] [start position].
template <class T> class CPossessiveElxT : public CGreedyElxT<T> {
public:
    CPossessiveElxT(const ElxInterface<T> *element, int minimum, int maximum, bool rightLeft,
                    RegexGroupSpan groups);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    RegexGroupSpan m_groups;
};

// An atomic group (?>...). Stack: [saved captures of its groups] [start
// position].
template <class T> class CIndependentElxT : public ElxInterface<T> {
public:
    CIndependentElxT(const ElxInterface<T> *element, RegexGroupSpan groups);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    const ElxInterface<T> *m_pElx;
    RegexGroupSpan m_groups;
};

// A look-ahead or look-behind. Stack: a positive one keeps the saved
// captures of its groups; a negative one nothing.
template <class T> class CAssertElxT : public ElxInterface<T> {
public:
    CAssertElxT(const ElxInterface<T> *element, bool negative, bool behind, RegexGroupSpan groups);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    const ElxInterface<T> *m_pElx;
    bool m_bNegative;
    bool m_bBehind;
    RegexGroupSpan m_groups;
};

// (?(test)yes|no). Stack: [what the test kept, when it is an assertion
// that held] [state of the branch taken] [code: bit 0 the test's answer,
// bit 1 no branch to run].
template <class T> class CConditionElxT : public ElxInterface<T> {
public:
    CConditionElxT(int number, const ElxInterface<T> *test, const ElxInterface<T> *yes,
                   const ElxInterface<T> *no);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    int m_nNumber;                  // group tested, -1 when none (or unresolved)
    const ElxInterface<T> *m_pTest; // look-around tested instead of a group
    const ElxInterface<T> *m_pYes;
    const ElxInterface<T> *m_pNo; // nullptr: empty
};

// A call of a group ((?1), (?R), (?&name)). Stack: [caller's captures]
// [state of the target] [captures inside] [base].
template <class T> class CDelegateElxT : public ElxInterface<T> {
public:
    CDelegateElxT(int number, bool rightLeft);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    int m_nNumber;                 // 0: the whole pattern
    const ElxInterface<T> *m_pElx; // resolved target; nullptr never matches
    bool m_bRightLeft;             // the target runs in this direction, as the caller does
};

// An anchor or a word boundary. Stack: nothing.
template <class T> class CBoundaryElxT : public ElxInterface<T> {
public:
    enum {
        BOUNDARY_LINE_BEGIN,  // ^
        BOUNDARY_LINE_END,    // $
        BOUNDARY_TEXT_BEGIN,  // \A
        BOUNDARY_TEXT_END,    // \z
        BOUNDARY_TEXT_END_NL, // \Z
        BOUNDARY_WORD,        // \b
        BOUNDARY_NOT_WORD     // \B
    };
    CBoundaryElxT(int type, bool multiLine);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    int m_nType;
    bool m_bMultiLine;
};

// \G: where the previous match ended. Stack: nothing.
template <class T> class CGlobalElxT : public ElxInterface<T> {
public:
    explicit CGlobalElxT(bool global);
    bool Match(CMatchContextT<T> &ctx) const override;
    bool MatchNext(CMatchContextT<T> &ctx) const override;

    bool m_bGlobal;
};

// Tests one character against a one-character element (IsSingleChar()).
template <class T> inline bool RegexTestSingle(const ElxInterface<T> *e, unsigned c) {
    switch (e->GetKind()) {
    case ELX_STRING:
        return static_cast<const CStringElxT<T> *>(e)->TestChar(c);
    case ELX_RANGE:
        return static_cast<const CRangeElxT<T> *>(e)->TestChar(c);
    case ELX_POSIX:
        return static_cast<const CPosixElxT<T> *>(e)->TestChar(c);
    default:
        return false;
    }
}

} // namespace vfs
} // namespace zem

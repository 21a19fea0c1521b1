// The parser of the regular-expression compiler: alternatives of sequences
// of quantified atoms, built into elements in the pattern's arena. Its
// members are defined in RegexParser.cpp and, for character classes, in
// RegexParserClasses.cpp; each instantiates what the other calls.
#pragma once

#include "RegexCompile.h"
#include "RegexLexer.h"

#include <new>

namespace zem {
namespace vfs {

template <class T> class CRegexParserT : public CRegexLexerT<T> {
public:
    explicit CRegexParserT(CPatternT<T> &pattern)
        : CRegexLexerT<T>(pattern.m_pattern.GetBuffer(), pattern.m_pattern.GetSize(),
                          (pattern.m_nFlags & REGEX_EXTENDED) != 0),
          m_pat(pattern), m_bTooDeep(false) {
        m_span.lo = -1;
        m_span.hi = -1;
        m_open.pos = -1;
        m_open.caseMode = regex_lex::CASE_NONE;
        m_open.flags = 0;
        m_open.depth = 0;
        m_open.counter = 0;
    }

    const ElxInterface<T> *Parse() {
        int flags = m_pat.m_nFlags;
        return ParseAlternation(flags, 0);
    }

    // Compiles a group (0: the whole pattern) again from its text, to run in
    // the direction given; its groups keep their numbers and names.
    const ElxInterface<T> *Reparse(int number, bool rightLeft) {
        CPatternT<T> &pat = m_pat;
        typename CPatternT<T>::GroupSource source = {0, regex_lex::CASE_NONE, pat.m_nFlags, 0, 0};
        if (number > 0) {
            source = pat.m_groupSource[number];
        }
        int flags = (source.flags & ~REGEX_RIGHTTOLEFT) | (rightLeft ? REGEX_RIGHTTOLEFT : 0);
        const int groups = pat.m_nGroupCount;
        const int names = pat.m_names.GetSize();
        pat.m_nGroupCount = source.counter;
        m_state.pos = source.pos;
        m_state.caseMode = source.caseMode;
        const Elx *group =
            number > 0 ? ParseGroup(flags, source.depth) : ParseAlternation(flags, 0);
        pat.m_nGroupCount = groups;
        pat.m_names.Truncate(names);
        return group;
    }
    bool TooDeep() const { return m_bTooDeep; }

private:
    typedef ElxInterface<T> Elx;
    typedef CRegexLexerT<T> Lexer;
    using Lexer::At;
    using Lexer::Lex;
    using Lexer::m_n;
    using Lexer::m_state;
    using Lexer::m_tokenStart;
    using Lexer::Make;
    using Lexer::PeekIsQuantifier;
    using Lexer::ReadName;
    using Lexer::ScanPlainRun;
    using Lexer::SimpleEscape;
    using Lexer::SurelyNoQuantifier;
    using typename Lexer::LexState;
    using typename Lexer::Token;

    // Consumes the ')' that closes a group, if there is one.
    void ConsumeClose() {
        LexState saved = m_state;
        Token t = Lex();
        if (t.type != regex_lex::TK_META || t.value != ')') {
            m_state = saved;
        }
    }

    void TrackGroup(int number) {
        if (m_span.lo < 0 || number < m_span.lo) {
            m_span.lo = number;
        }
        if (number > m_span.hi) {
            m_span.hi = number;
        }
    }
    RegexGroupSpan BeginSpan() {
        RegexGroupSpan outer = m_span;
        m_span.lo = -1;
        m_span.hi = -1;
        return outer;
    }
    // Ends a nested span; returns the inner one and merges it into the outer.
    RegexGroupSpan EndSpan(RegexGroupSpan outer) {
        RegexGroupSpan inner = m_span;
        m_span = outer;
        if (inner.lo >= 0) {
            TrackGroup(inner.lo);
            TrackGroup(inner.hi);
        }
        return inner;
    }

    const Elx *MakeList(const CBufferT<const Elx *> &items, bool rightLeft) {
        if (items.GetSize() == 0) {
            return m_pat.GetStock(CPatternT<T>::STOCK_EMPTY);
        }
        if (items.GetSize() == 1) {
            return items[0];
        }
        const Elx **copy = m_pat.Copy(items.GetBuffer(), items.GetSize());
        return m_pat.template New<CListElxT<T>>(copy, items.GetSize(), rightLeft);
    }

    const Elx *MakeString(const CBufferT<T> &run, int flags) {
        const T *copy = m_pat.Copy(run.GetBuffer(), run.GetSize());
        return m_pat.template New<CStringElxT<T>>(
            copy, run.GetSize(), (flags & REGEX_RIGHTTOLEFT) != 0, (flags & REGEX_IGNORECASE) != 0);
    }

    static int StockClass(unsigned letter, bool rightLeft) {
        int k = 0;
        switch (letter) {
        case 'w':
            k = 2;
            break;
        case 'W':
            k = 3;
            break;
        case 's':
            k = 4;
            break;
        case 'S':
            k = 5;
            break;
        case 'd':
            k = 6;
            break;
        case 'D':
            k = 7;
            break;
        default:
            k = 0;
            break;
        }
        return 1 + k + (rightLeft ? 8 : 0);
    }
    static int StockDot(int flags) {
        return 1 + ((flags & REGEX_SINGLELINE) != 0 ? 1 : 0) +
               ((flags & REGEX_RIGHTTOLEFT) != 0 ? 8 : 0);
    }

    template <class E> static void PushOrFail(CBufferT<E> &list, const E &value) {
        if (!list.Push(value)) {
            throw std::bad_alloc();
        }
    }

    // Alternatives, sequences, quantifiers and atoms.
    const Elx *ParseAlternation(int &flags, int depth);
    const Elx *ParseSequence(int &flags, int depth);
    const Elx *ApplyQuantifiers(const Elx *atom, int flags, RegexGroupSpan span);
    const Elx *ParseAtom(const Token &t, int &flags, int depth);

    // Groups, flag changes, conditions and recursion.
    const Elx *ParseBody(int flags, int depth);
    const Elx *MakeCapture(int number, int flags, int depth);
    const Elx *MakeLookaround(bool behind, bool negative, int flags, int depth);
    const Elx *ParseGroup(int &flags, int depth);
    bool ParseFlags(int q, int &flags, int depth, const Elx *&result);
    const Elx *ParseNamedGroup(unsigned terminator, int flags, int depth);
    const Elx *ParseCondition(int flags, int depth);
    const Elx *ParseRecursion(int flags);

    // Character classes ([...]), in RegexParserClasses.cpp.
    const Elx *ParseClass(int flags);
    bool ClassItem(int &pos, int flags, unsigned &value, const Elx *&nested);
    bool PosixItem(int &pos, const Elx *&nested);
    static void AddOtherCase(CBufferT<T> &ranges, CBufferT<T> &chars);

    CPatternT<T> &m_pat;
    bool m_bTooDeep;
    RegexGroupSpan m_span;
    typename CPatternT<T>::GroupSource m_open; // the group whose '(' was read last
};

} // namespace vfs
} // namespace zem

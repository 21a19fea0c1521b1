// Parser of the regular-expression compiler: alternatives of sequences of
// quantified atoms, built into elements in the pattern's arena.
//
// Malformed patterns compile without complaint, to these trees:
//   - an unbalanced ')' at the top level is a literal ')'; a group left open
//     at the end of the pattern is closed there;
//   - an unterminated class, \Q...\E quote, \L or \U run, (?#...) comment or
//     group name runs to the end of the pattern;
//   - a quantifier with nothing before it is a literal character ('*', '+',
//     '?', '{');
//   - '{' that does not start {n}, {n,} or {n,m} is a literal '{'; {,m} and {}
//     have no lower bound and replace the atom by an empty match;
//   - \x or \u without hex digits is the letter itself; \x{ without digits is
//     code 0; code points above the character type's range are truncated;
//   - "(?" followed by nothing it can start (including the end of the
//     pattern) opens a non-capturing group;
//   - a back-reference, condition or recursion naming a group that does not
//     exist never matches (a condition takes its no-branch);
//   - parentheses nested deeper than kMaxNesting make the pattern unusable:
//     it matches nothing.
#include "RegexCompile.h"
#include "RegexLexer.h"

namespace zem {
namespace vfs {

using namespace regex_lex;

namespace {

inline bool IsFlagLetter(unsigned c) {
    return c == 'i' || c == 'I' || c == 'm' || c == 'M' || c == 's' || c == 'S' || c == 'g' ||
           c == 'G';
}

inline int FlagOfLetter(unsigned c) {
    switch (c) {
    case 'i':
    case 'I':
        return REGEX_IGNORECASE;
    case 'm':
    case 'M':
        return REGEX_MULTILINE;
    case 's':
    case 'S':
        return REGEX_SINGLELINE;
    default:
        return REGEX_GLOBAL;
    }
}

} // namespace

template <class T> class CRegexParserT : public CRegexLexerT<T> {
public:
    explicit CRegexParserT(CPatternT<T> &pattern)
        : CRegexLexerT<T>(pattern.m_pattern.GetBuffer(), pattern.m_pattern.GetSize(),
                          (pattern.m_nFlags & REGEX_EXTENDED) != 0),
          m_pat(pattern), m_bTooDeep(false) {
        m_span.lo = -1;
        m_span.hi = -1;
        m_open.pos = -1;
        m_open.caseMode = CASE_NONE;
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
        typename CPatternT<T>::GroupSource source = {0, CASE_NONE, pat.m_nFlags, 0, 0};
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
        if (t.type != TK_META || t.value != ')') {
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

    const Elx *ParseAlternation(int &flags, int depth) {
        CInlineBufferT<const Elx *, 8> alternatives;
        for (;;) {
            alternatives.Push(ParseSequence(flags, depth));
            LexState saved = m_state;
            Token t = Lex();
            if (t.type == TK_META && t.value == '|') {
                continue;
            }
            m_state = saved;
            break;
        }
        if (alternatives.GetSize() == 1) {
            return alternatives[0];
        }
        const Elx **copy = m_pat.Copy(alternatives.GetBuffer(), alternatives.GetSize());
        return m_pat.template New<CAlternativeElxT<T>>(copy, alternatives.GetSize());
    }

    // A sequence of quantified atoms up to '|', a closing ')' (a literal at
    // the top level) or the end.
    const Elx *ParseSequence(int &flags, int depth) {
        CInlineBufferT<const Elx *, 16> items;
        CInlineBufferT<T, 64> run;
        for (;;) {
            if (m_bTooDeep) {
                break;
            }
            ScanPlainRun(run);
            LexState saved = m_state;
            Token t = Lex();
            if (t.type == TK_END ||
                (t.type == TK_META && (t.value == '|' || (t.value == ')' && depth > 0)))) {
                m_state = saved;
                break;
            }
            if (t.type == TK_META && t.value == ')') {
                t = Make(TK_CHAR, ')');
            }
            if (t.type == TK_QUANT) {
                // Nothing to repeat: the quantifier's first character is literal.
                m_state.pos = m_tokenStart + 1;
                t = Make(TK_CHAR, t.value);
            }
            if (t.type == TK_CHAR) {
                if (PeekIsQuantifier()) {
                    if (run.GetSize() > 0) {
                        items.Push(MakeString(run, flags));
                        run.Clear();
                    }
                    T single = static_cast<T>(t.value);
                    CInlineBufferT<T, 1> one;
                    one.Push(single);
                    RegexGroupSpan outer = BeginSpan();
                    const Elx *atom = MakeString(one, flags);
                    items.Push(ApplyQuantifiers(atom, flags, EndSpan(outer)));
                } else {
                    run.Push(static_cast<T>(t.value));
                }
                continue;
            }
            if (run.GetSize() > 0) {
                items.Push(MakeString(run, flags));
                run.Clear();
            }
            RegexGroupSpan outer = BeginSpan();
            const Elx *atom = ParseAtom(t, flags, depth);
            RegexGroupSpan inner = EndSpan(outer);
            if (atom == nullptr) {
                continue;
            }
            items.Push(ApplyQuantifiers(atom, flags, inner));
        }
        if (run.GetSize() > 0) {
            items.Push(MakeString(run, flags));
        }
        return MakeList(items, (flags & REGEX_RIGHTTOLEFT) != 0);
    }

    const Elx *ApplyQuantifiers(const Elx *atom, int flags, RegexGroupSpan span) {
        const bool rightLeft = (flags & REGEX_RIGHTTOLEFT) != 0;
        for (;;) {
            if (SurelyNoQuantifier()) {
                return atom;
            }
            LexState saved = m_state;
            Token t = Lex();
            if (t.type != TK_QUANT) {
                m_state = saved;
                return atom;
            }
            const int min = t.min;
            const int max = t.max < t.min ? t.min : t.max;
            int mode = 0;
            if (!SurelyNoQuantifier()) {
                LexState beforeMode = m_state;
                Token m = Lex();
                if (m.type == TK_QUANT && m.value == '?') {
                    mode = 1;
                } else if (m.type == TK_QUANT && m.value == '+') {
                    mode = 2;
                } else {
                    m_state = beforeMode;
                }
            }
            if (max == 0) {
                atom = m_pat.GetStock(CPatternT<T>::STOCK_EMPTY);
            } else if (min == max) {
                atom = m_pat.template New<CRepeatElxT<T>>(atom, min, rightLeft);
            } else if (mode == 1) {
                atom = m_pat.template New<CReluctantElxT<T>>(atom, min, max, rightLeft);
            } else if (mode == 2) {
                atom = m_pat.template New<CPossessiveElxT<T>>(atom, min, max, rightLeft, span);
            } else {
                atom = m_pat.template New<CGreedyElxT<T>>(atom, min, max, rightLeft);
            }
        }
    }

    const Elx *ParseAtom(const Token &t, int &flags, int depth) {
        const bool rightLeft = (flags & REGEX_RIGHTTOLEFT) != 0;
        switch (t.type) {
        case TK_CLASS:
            return m_pat.GetStock(StockClass(t.value, rightLeft));
        case TK_ANCHOR:
            switch (t.value) {
            case 'b':
                return m_pat.template New<CBoundaryElxT<T>>(CBoundaryElxT<T>::BOUNDARY_WORD, false);
            case 'B':
                return m_pat.template New<CBoundaryElxT<T>>(CBoundaryElxT<T>::BOUNDARY_NOT_WORD,
                                                            false);
            case 'A':
                return m_pat.template New<CBoundaryElxT<T>>(CBoundaryElxT<T>::BOUNDARY_TEXT_BEGIN,
                                                            false);
            case 'z':
                return m_pat.template New<CBoundaryElxT<T>>(CBoundaryElxT<T>::BOUNDARY_TEXT_END,
                                                            false);
            case 'Z':
                return m_pat.template New<CBoundaryElxT<T>>(CBoundaryElxT<T>::BOUNDARY_TEXT_END_NL,
                                                            false);
            default:
                return m_pat.template New<CGlobalElxT<T>>((flags & REGEX_GLOBAL) != 0);
            }
        case TK_BACKREF:
        case TK_BACKREF_NAME: {
            CBackrefElxT<T> *ref = m_pat.template New<CBackrefElxT<T>>(
                t.type == TK_BACKREF ? t.min : -1, rightLeft, (flags & REGEX_IGNORECASE) != 0);
            if (t.type == TK_BACKREF_NAME) {
                typename CPatternT<T>::NamedRef named = {ref, t.nameOffset, t.nameLength};
                PushOrFail(m_pat.m_backrefs, named);
            }
            return ref;
        }
        case TK_META:
            break;
        default:
            return nullptr;
        }
        switch (t.value) {
        case '.':
            return m_pat.GetStock(StockDot(flags));
        case '^':
            return m_pat.template New<CBoundaryElxT<T>>(CBoundaryElxT<T>::BOUNDARY_LINE_BEGIN,
                                                        (flags & REGEX_MULTILINE) != 0);
        case '$':
            return m_pat.template New<CBoundaryElxT<T>>(CBoundaryElxT<T>::BOUNDARY_LINE_END,
                                                        (flags & REGEX_MULTILINE) != 0);
        case '[':
            return ParseClass(flags);
        case '(':
            return ParseGroup(flags, depth);
        default:
            return nullptr;
        }
    }

    template <class E> static void PushOrFail(CBufferT<E> &list, const E &value) {
        if (!list.Push(value)) {
            throw std::bad_alloc();
        }
    }

    // The inside of a group up to its ')', with its own copy of the flags.
    const Elx *ParseBody(int flags, int depth) {
        const Elx *inner = ParseAlternation(flags, depth);
        ConsumeClose();
        return inner;
    }

    const Elx *MakeCapture(int number, int flags, int depth) {
        const bool rightLeft = (flags & REGEX_RIGHTTOLEFT) != 0;
        TrackGroup(number);
        CBufferT<typename CPatternT<T>::GroupSource> &sources = m_pat.m_groupSource;
        if (sources.GetSize() <= number) {
            typename CPatternT<T>::GroupSource unknown = {-1, CASE_NONE, 0, 0, 0};
            if (!sources.Fill(unknown, number + 1 - sources.GetSize())) {
                throw std::bad_alloc();
            }
        }
        if (sources[number].pos < 0) {
            sources[number] = m_open;
        }
        const Elx *items[3];
        items[0] = m_pat.template New<CBracketElxT<T>>(number, false, rightLeft);
        items[1] = ParseBody(flags, depth);
        items[2] = m_pat.template New<CBracketElxT<T>>(number, true, rightLeft);
        const Elx **copy = m_pat.Copy(items, 3);
        const Elx *group = m_pat.template New<CListElxT<T>>(copy, 3, rightLeft);
        CBufferT<const Elx *> &table = m_pat.m_groupElx;
        if (table.GetSize() <= number && !table.Fill(nullptr, number + 1 - table.GetSize())) {
            throw std::bad_alloc();
        }
        if (table[number] == nullptr) {
            table[number] = group;
        }
        return group;
    }

    const Elx *MakeLookaround(bool behind, bool negative, int flags, int depth) {
        int inner = behind ? (flags | REGEX_RIGHTTOLEFT) : (flags & ~REGEX_RIGHTTOLEFT);
        RegexGroupSpan outer = BeginSpan();
        const Elx *body = ParseBody(inner, depth);
        RegexGroupSpan span = EndSpan(outer);
        return m_pat.template New<CAssertElxT<T>>(body, negative, behind, span);
    }

    // After '(' (pos is past it). Returns nullptr for constructs that match
    // nothing themselves (flag changes).
    const Elx *ParseGroup(int &flags, int depth) {
        if (depth >= CPatternT<T>::kMaxNesting) {
            m_bTooDeep = true;
            m_state.pos = m_n;
            return nullptr;
        }
        int &pos = m_state.pos;
        m_open.pos = pos;
        m_open.caseMode = m_state.caseMode;
        m_open.flags = flags;
        m_open.depth = depth;
        m_open.counter = m_pat.m_nGroupCount;
        const int inner = depth + 1;
        if (At(pos) != '?' || pos >= m_n) {
            return MakeCapture(++m_pat.m_nGroupCount, flags, inner);
        }
        const int q = pos + 1;
        const unsigned c = At(q);
        if (q >= m_n) {
            pos = q;
            return ParseBody(flags, inner);
        }
        switch (c) {
        case ':':
            pos = q + 1;
            return ParseBody(flags, inner);
        case '=':
        case '!':
            pos = q + 1;
            return MakeLookaround(false, c == '!', flags, inner);
        case '>': {
            pos = q + 1;
            RegexGroupSpan outer = BeginSpan();
            const Elx *body = ParseBody(flags, inner);
            RegexGroupSpan span = EndSpan(outer);
            return m_pat.template New<CIndependentElxT<T>>(body, span);
        }
        case '<':
            if (At(q + 1) == '=' || At(q + 1) == '!') {
                pos = q + 2;
                return MakeLookaround(true, At(q + 1) == '!', flags, inner);
            }
            pos = q + 1;
            return ParseNamedGroup('>', flags, inner);
        case '\'':
            pos = q + 1;
            return ParseNamedGroup('\'', flags, inner);
        case 'P':
            if (At(q + 1) == '<') {
                pos = q + 2;
                return ParseNamedGroup('>', flags, inner);
            }
            break;
        case '(':
            pos = q + 1;
            return ParseCondition(flags, inner);
        case 'R':
            pos = q + 1;
            return ParseRecursion(flags);
        default:
            if (c >= '0' && c <= '9') {
                pos = q;
                return ParseRecursion(flags);
            }
            if (IsFlagLetter(c) || c == '-') {
                const Elx *result = nullptr;
                if (ParseFlags(q, flags, inner, result)) {
                    return result;
                }
            }
            break;
        }
        // Nothing recognisable after "(?": a non-capturing group from here.
        pos = q;
        return ParseBody(flags, inner);
    }

    // (?imsg-imsg) changes `flags` for the rest of the enclosing group;
    // (?imsg-imsg: ... ) applies to the inside only.
    bool ParseFlags(int q, int &flags, int depth, const Elx *&result) {
        int on = 0;
        int off = 0;
        bool negate = false;
        int i = q;
        for (; i < m_n; ++i) {
            const unsigned c = At(i);
            if (c == '-') {
                negate = true;
            } else if (IsFlagLetter(c)) {
                (negate ? off : on) |= FlagOfLetter(c);
            } else {
                break;
            }
        }
        if (i >= m_n || (At(i) != ')' && At(i) != ':')) {
            return false;
        }
        const int changed = (flags | on) & ~off;
        m_state.pos = i + 1;
        if (At(i) == ')') {
            flags = changed;
            result = nullptr;
        } else {
            result = ParseBody(changed, depth);
        }
        return true;
    }

    const Elx *ParseNamedGroup(unsigned terminator, int flags, int depth) {
        int offset = 0;
        int length = 0;
        ReadName(m_state.pos, terminator, offset, length);
        int number = -1;
        if (length > 0 && length <= 3) {
            number = 0;
            for (int i = 0; i < length && number >= 0; ++i) {
                const unsigned c = At(offset + i);
                number = c >= '0' && c <= '9' ? number * 10 + static_cast<int>(c - '0') : -1;
            }
            if (number > CPatternT<T>::kMaxExplicitGroup || number == 0) {
                number = -1;
            }
        }
        if (number > 0) {
            if (number > m_pat.m_nMaxExplicit) {
                m_pat.m_nMaxExplicit = number;
            }
        } else {
            number = ++m_pat.m_nGroupCount;
        }
        if (length > 0) {
            typename CPatternT<T>::GroupName name = {offset, length, number};
            PushOrFail(m_pat.m_names, name);
        }
        return MakeCapture(number, flags, depth);
    }

    // After "(?(": a group number or name, or a look-around, then the
    // yes-branch and an optional no-branch.
    const Elx *ParseCondition(int flags, int depth) {
        int &pos = m_state.pos;
        const Elx *test = nullptr;
        int number = -1;
        int nameOffset = -1;
        int nameLength = 0;
        const unsigned c1 = At(pos + 1);
        const unsigned c2 = At(pos + 2);
        if (At(pos) == '?' && pos + 1 < m_n &&
            (c1 == '=' || c1 == '!' || (c1 == '<' && (c2 == '=' || c2 == '!')))) {
            if (depth >= CPatternT<T>::kMaxNesting) {
                m_bTooDeep = true;
                pos = m_n;
                return nullptr;
            }
            const bool behind = c1 == '<';
            const bool negative = behind ? c2 == '!' : c1 == '!';
            pos += behind ? 3 : 2;
            test = MakeLookaround(behind, negative, flags, depth + 1);
        } else {
            int offset = 0;
            int length = 0;
            ReadName(pos, ')', offset, length);
            bool digits = length > 0;
            int value = 0;
            for (int i = 0; i < length && digits; ++i) {
                const unsigned c = At(offset + i);
                digits = c >= '0' && c <= '9';
                value = digits ? AddDigit(value, c - '0') : value;
            }
            if (digits) {
                number = value;
            } else {
                if (length >= 2 && ((At(offset) == '<' && At(offset + length - 1) == '>') ||
                                    (At(offset) == '\'' && At(offset + length - 1) == '\''))) {
                    ++offset;
                    length -= 2;
                }
                nameOffset = offset;
                nameLength = length;
            }
        }
        const Elx *yes = ParseSequence(flags, depth);
        const Elx *no = nullptr;
        LexState saved = m_state;
        Token t = Lex();
        if (t.type == TK_META && t.value == '|') {
            no = ParseAlternation(flags, depth);
        } else {
            m_state = saved;
        }
        ConsumeClose();
        CConditionElxT<T> *condition = m_pat.template New<CConditionElxT<T>>(number, test, yes, no);
        if (nameOffset >= 0) {
            typename CPatternT<T>::NamedRef named = {condition, nameOffset, nameLength};
            PushOrFail(m_pat.m_conditions, named);
        }
        return condition;
    }

    // After "(?R" or at the digits of "(?n)".
    const Elx *ParseRecursion(int flags) {
        int &pos = m_state.pos;
        int number = 0;
        int nameOffset = -1;
        int nameLength = 0;
        if (At(pos) == '<' || At(pos) == '\'') {
            const unsigned terminator = At(pos) == '<' ? '>' : '\'';
            ++pos;
            ReadName(pos, terminator, nameOffset, nameLength);
        } else {
            while (pos < m_n && At(pos) >= '0' && At(pos) <= '9') {
                number = AddDigit(number, At(pos) - '0');
                ++pos;
            }
        }
        while (pos < m_n && At(pos) != ')') {
            ++pos;
        }
        if (pos < m_n) {
            ++pos;
        }
        CDelegateElxT<T> *delegate =
            m_pat.template New<CDelegateElxT<T>>(number, (flags & REGEX_RIGHTTOLEFT) != 0);
        typename CPatternT<T>::NamedRef named = {delegate, nameOffset, nameLength};
        PushOrFail(m_pat.m_delegates, named);
        return delegate;
    }

    // One item of a class at pos: a character (returns true) or a nested
    // class (returns false, `nested` set).
    bool ClassItem(int &pos, int flags, unsigned &value, const Elx *&nested) {
        const unsigned c = At(pos);
        ++pos;
        if (c == '.') {
            nested = m_pat.GetStock(StockDot(flags & ~REGEX_RIGHTTOLEFT));
            return false;
        }
        if (c != '\\') {
            value = c;
            return true;
        }
        if (pos >= m_n) {
            value = '\\';
            return true;
        }
        const unsigned e = At(pos);
        ++pos;
        switch (e) {
        case 'd':
        case 'D':
        case 'w':
        case 'W':
        case 's':
        case 'S':
            nested = m_pat.GetStock(StockClass(e, false));
            return false;
        case 'b':
            value = 8;
            return true;
        default:
            break;
        }
        if (!SimpleEscape(e, pos, value)) {
            value = e;
        }
        return true;
    }

    // [:name:] or [:^name:] at pos (which holds '['); false when it is not.
    bool PosixItem(int &pos, const Elx *&nested) {
        static const char *const kNames[] = {
            "alnum:", "alpha:", "ascii:", "cntrl:", "digit:",  "graph:", "lower:",
            "print:", "punct:", "space:", "upper:", "xdigit:", "blank:"};
        int i = pos + 2;
        bool negative = false;
        if (At(i) == '^') {
            negative = true;
            ++i;
        }
        for (int k = 0; k < static_cast<int>(sizeof(kNames) / sizeof(kNames[0])); ++k) {
            int j = 0;
            while (kNames[k][j] != 0 && i + j < m_n &&
                   At(i + j) == static_cast<unsigned char>(kNames[k][j])) {
                ++j;
            }
            if (kNames[k][j] == 0 && At(i + j) == ']' && i + j < m_n) {
                pos = i + j + 1;
                nested = m_pat.template New<CPosixElxT<T>>(k, negative, false);
                return true;
            }
        }
        return false;
    }

    const Elx *ParseClass(int flags) {
        int &pos = m_state.pos;
        bool negative = false;
        if (pos < m_n && At(pos) == '^') {
            negative = true;
            ++pos;
        }
        CInlineBufferT<T, 32> ranges;
        CInlineBufferT<T, 32> chars;
        CInlineBufferT<const Elx *, 8> embeds;
        bool first = true;
        while (pos < m_n) {
            const unsigned c = At(pos);
            if (c == ']' && !first) {
                ++pos;
                break;
            }
            first = false;
            const Elx *nested = nullptr;
            if (c == '[' && At(pos + 1) == ':' && PosixItem(pos, nested)) {
                PushOrFail(embeds, nested);
                continue;
            }
            unsigned lo = 0;
            if (!ClassItem(pos, flags, lo, nested)) {
                PushOrFail(embeds, nested);
                continue;
            }
            if (At(pos) == '-' && pos + 1 < m_n && At(pos + 1) != ']') {
                ++pos;
                unsigned hi = 0;
                const Elx *nested2 = nullptr;
                if (ClassItem(pos, flags, hi, nested2)) {
                    PushOrFail(ranges, static_cast<T>(lo));
                    PushOrFail(ranges, static_cast<T>(hi));
                } else {
                    PushOrFail(chars, static_cast<T>(lo));
                    PushOrFail(chars, static_cast<T>('-'));
                    PushOrFail(embeds, nested2);
                }
                continue;
            }
            PushOrFail(chars, static_cast<T>(lo));
        }
        if ((flags & REGEX_IGNORECASE) != 0) {
            AddOtherCase(ranges, chars);
        }
        CRangeElxT<T> *range =
            m_pat.template New<CRangeElxT<T>>(negative, (flags & REGEX_RIGHTTOLEFT) != 0);
        range->m_ranges =
            CBufferRefT<T>(m_pat.Copy(ranges.GetBuffer(), ranges.GetSize()), ranges.GetSize());
        range->m_chars =
            CBufferRefT<T>(m_pat.Copy(chars.GetBuffer(), chars.GetSize()), chars.GetSize());
        range->m_embeds = CBufferRefT<const Elx *>(m_pat.Copy(embeds.GetBuffer(), embeds.GetSize()),
                                                   embeds.GetSize());
        range->Prepare();
        return range;
    }

    // Ignore-case classes: the case-swapped part of every range overlapping
    // A-Z or a-z, and the other case of every single letter not yet covered.
    static void AddOtherCase(CBufferT<T> &ranges, CBufferT<T> &chars) {
        const int rangeCount = ranges.GetSize();
        for (int i = 0; i + 1 < rangeCount; i += 2) {
            const unsigned first = RegexCode(ranges[i]);
            const unsigned last = RegexCode(ranges[i + 1]);
            const unsigned bounds[2][2] = {{'A', 'Z'}, {'a', 'z'}};
            for (int b = 0; b < 2; ++b) {
                const unsigned lo = first > bounds[b][0] ? first : bounds[b][0];
                const unsigned hi = last < bounds[b][1] ? last : bounds[b][1];
                if (lo <= hi) {
                    PushOrFail(ranges, static_cast<T>(lo ^ 0x20));
                    PushOrFail(ranges, static_cast<T>(hi ^ 0x20));
                }
            }
        }
        const int charCount = chars.GetSize();
        for (int i = 0; i < charCount; ++i) {
            const unsigned c = RegexCode(chars[i]);
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
                continue;
            }
            const unsigned other = c ^ 0x20;
            bool covered = false;
            for (int j = 0; j + 1 < ranges.GetSize() && !covered; j += 2) {
                covered = RegexCode(ranges[j]) <= other && other <= RegexCode(ranges[j + 1]);
            }
            for (int j = 0; j < chars.GetSize() && !covered; ++j) {
                covered = RegexCode(chars[j]) == other;
            }
            if (!covered) {
                PushOrFail(chars, static_cast<T>(other));
            }
        }
    }

    CPatternT<T> &m_pat;
    bool m_bTooDeep;
    RegexGroupSpan m_span;
    typename CPatternT<T>::GroupSource m_open; // the group whose '(' was read last
};

template <class T> const ElxInterface<T> *RegexParse(CPatternT<T> &pattern, bool &tooDeep) {
    CRegexParserT<T> parser(pattern);
    const ElxInterface<T> *top = parser.Parse();
    tooDeep = parser.TooDeep();
    return top;
}

template <class T>
const ElxInterface<T> *RegexReparse(CPatternT<T> &pattern, int number, bool rightLeft) {
    CRegexParserT<T> parser(pattern);
    return parser.Reparse(number, rightLeft);
}

template const ElxInterface<wchar_t> *RegexParse(CPatternT<wchar_t> &, bool &);
template const ElxInterface<wchar_t> *RegexReparse(CPatternT<wchar_t> &, int, bool);

} // namespace vfs
} // namespace zem

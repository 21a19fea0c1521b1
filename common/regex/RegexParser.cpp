// The regular-expression parser's alternatives, sequences, quantifiers,
// atoms and groups (character classes are in RegexParserClasses.cpp).
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
#include "RegexParser.h"

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

template <class T> auto CRegexParserT<T>::ParseAlternation(int &flags, int depth) -> const Elx * {
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
template <class T> auto CRegexParserT<T>::ParseSequence(int &flags, int depth) -> const Elx * {
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

template <class T>
auto CRegexParserT<T>::ApplyQuantifiers(const Elx *atom, int flags, RegexGroupSpan span)
    -> const Elx * {
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

template <class T>
auto CRegexParserT<T>::ParseAtom(const Token &t, int &flags, int depth) -> const Elx * {
    const bool rightLeft = (flags & REGEX_RIGHTTOLEFT) != 0;
    switch (t.type) {
    case TK_CLASS:
        return m_pat.GetStock(StockClass(t.value, rightLeft));
    case TK_ANCHOR:
        switch (t.value) {
        case 'b':
            return m_pat.template New<CBoundaryElxT<T>>(CBoundaryElxT<T>::BOUNDARY_WORD, false);
        case 'B':
            return m_pat.template New<CBoundaryElxT<T>>(CBoundaryElxT<T>::BOUNDARY_NOT_WORD, false);
        case 'A':
            return m_pat.template New<CBoundaryElxT<T>>(CBoundaryElxT<T>::BOUNDARY_TEXT_BEGIN,
                                                        false);
        case 'z':
            return m_pat.template New<CBoundaryElxT<T>>(CBoundaryElxT<T>::BOUNDARY_TEXT_END, false);
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

// The inside of a group up to its ')', with its own copy of the flags.
template <class T> auto CRegexParserT<T>::ParseBody(int flags, int depth) -> const Elx * {
    const Elx *inner = ParseAlternation(flags, depth);
    ConsumeClose();
    return inner;
}

template <class T>
auto CRegexParserT<T>::MakeCapture(int number, int flags, int depth) -> const Elx * {
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

template <class T>
auto CRegexParserT<T>::MakeLookaround(bool behind, bool negative, int flags, int depth)
    -> const Elx * {
    int inner = behind ? (flags | REGEX_RIGHTTOLEFT) : (flags & ~REGEX_RIGHTTOLEFT);
    RegexGroupSpan outer = BeginSpan();
    const Elx *body = ParseBody(inner, depth);
    RegexGroupSpan span = EndSpan(outer);
    return m_pat.template New<CAssertElxT<T>>(body, negative, behind, span);
}

// After '(' (pos is past it). Returns nullptr for constructs that match
// nothing themselves (flag changes).
template <class T> auto CRegexParserT<T>::ParseGroup(int &flags, int depth) -> const Elx * {
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
template <class T>
bool CRegexParserT<T>::ParseFlags(int q, int &flags, int depth, const Elx *&result) {
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

template <class T>
auto CRegexParserT<T>::ParseNamedGroup(unsigned terminator, int flags, int depth) -> const Elx * {
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
template <class T> auto CRegexParserT<T>::ParseCondition(int flags, int depth) -> const Elx * {
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
template <class T> auto CRegexParserT<T>::ParseRecursion(int flags) -> const Elx * {
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

// Compiler and search of the regular-expression engine.
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
#include "RegexPattern.h"

#include <new>

namespace zem {
namespace vfs {

namespace {

const int kInfinite = 2147483647;

// Adds a decimal digit to a count, saturating at kInfinite.
inline int AddDigit(int value, unsigned digit) {
    if (value > (kInfinite - static_cast<int>(digit)) / 10) {
        return kInfinite;
    }
    return value * 10 + static_cast<int>(digit);
}

inline int HexValue(unsigned c) {
    if (c >= '0' && c <= '9') {
        return static_cast<int>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<int>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<int>(c - 'A' + 10);
    }
    return -1;
}

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

inline bool IsExtendedSpace(unsigned c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// First-character set of the search filter: bits for ASCII plus one flag for
// every code of 128 or more.
struct FirstSet {
    unsigned long long bits[2];
    bool high;
    void Set(unsigned c) { bits[c >> 6] |= 1ull << (c & 63); }
};

} // namespace

// ---------------------------------------------------------------------------
// Parser
// ---------------------------------------------------------------------------

template <class T> class CRegexParserT {
public:
    explicit CRegexParserT(CPatternT<T> &pattern)
        : m_pat(pattern), m_p(pattern.m_pattern.GetBuffer()), m_n(pattern.m_pattern.GetSize()),
          m_bExtended((pattern.m_nFlags & REGEX_EXTENDED) != 0), m_bTooDeep(false),
          m_tokenStart(0) {
        m_state.pos = 0;
        m_state.quote = false;
        m_state.caseMode = 0;
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

    enum { TK_END, TK_CHAR, TK_META, TK_QUANT, TK_CLASS, TK_ANCHOR, TK_BACKREF, TK_BACKREF_NAME };
    enum { CASE_NONE, CASE_LOWER, CASE_UPPER };

    struct LexState {
        int pos;
        bool quote;   // inside \Q...\E
        int caseMode; // inside \L...\E or \U...\E
    };
    struct Token {
        int type;
        unsigned value;
        int min;
        int max;
        int nameOffset;
        int nameLength;
    };

    unsigned At(int i) const { return i >= 0 && i < m_n ? RegexCode(m_p[i]) : 0u; }

    unsigned ApplyCase(unsigned c) const {
        if (m_state.caseMode == CASE_LOWER) {
            return RegexToLower(c);
        }
        if (m_state.caseMode == CASE_UPPER) {
            return RegexToUpper(c);
        }
        return c;
    }

    static Token Make(int type, unsigned value) {
        Token t;
        t.type = type;
        t.value = value;
        t.min = 0;
        t.max = 0;
        t.nameOffset = -1;
        t.nameLength = 0;
        return t;
    }
    static Token MakeQuant(unsigned c, int min, int max) {
        Token t = Make(TK_QUANT, c);
        t.min = min;
        t.max = max;
        return t;
    }

    // Reads \xHH, \x{H...}, \uHHHH or \u{H...} after the letter (at pos).
    unsigned ReadHex(int &pos, unsigned letter, int maxDigits) const {
        if (pos < m_n && At(pos) == '{') {
            ++pos;
            unsigned value = 0;
            for (int digits = 0; digits < 8 && pos < m_n && HexValue(At(pos)) >= 0; ++digits) {
                value = value * 16 + static_cast<unsigned>(HexValue(At(pos)));
                ++pos;
            }
            if (pos < m_n && At(pos) == '}') {
                ++pos;
            }
            return value;
        }
        unsigned value = 0;
        int digits = 0;
        while (digits < maxDigits && pos < m_n && HexValue(At(pos)) >= 0) {
            value = value * 16 + static_cast<unsigned>(HexValue(At(pos)));
            ++pos;
            ++digits;
        }
        return digits == 0 ? letter : value;
    }

    // Character escapes shared by text and classes; returns false when `c`
    // is not one of them.
    bool SimpleEscape(unsigned c, int &pos, unsigned &value) const {
        switch (c) {
        case 'a':
            value = 7;
            return true;
        case 'e':
            value = 27;
            return true;
        case 'f':
            value = 12;
            return true;
        case 'n':
            value = 10;
            return true;
        case 'r':
            value = 13;
            return true;
        case 't':
            value = 9;
            return true;
        case 'v':
            value = 11;
            return true;
        case 'x':
            value = ReadHex(pos, c, 2);
            return true;
        case 'u':
            value = ReadHex(pos, c, 4);
            return true;
        default:
            return false;
        }
    }

    // Reads a name up to `terminator` (or the end); pos ends after it.
    void ReadName(int &pos, unsigned terminator, int &offset, int &length) const {
        offset = pos;
        while (pos < m_n && At(pos) != terminator) {
            ++pos;
        }
        length = pos - offset;
        if (pos < m_n) {
            ++pos;
        }
    }

    // Recognises {n}, {n,}, {n,m} (and {,m}, {}) at pos, which holds '{'.
    bool ReadBraces(int &pos, int &min, int &max) const {
        int i = pos + 1;
        bool hasMin = false;
        int lo = 0;
        while (i < m_n && At(i) >= '0' && At(i) <= '9') {
            lo = AddDigit(lo, At(i) - '0');
            hasMin = true;
            ++i;
        }
        bool comma = false;
        bool hasMax = false;
        int hi = 0;
        if (i < m_n && At(i) == ',') {
            comma = true;
            ++i;
            while (i < m_n && At(i) >= '0' && At(i) <= '9') {
                hi = AddDigit(hi, At(i) - '0');
                hasMax = true;
                ++i;
            }
        }
        if (i >= m_n || At(i) != '}') {
            return false;
        }
        pos = i + 1;
        if (!hasMin) {
            // No lower bound: not a range, the atom becomes an empty match.
            min = 0;
            max = 0;
        } else if (!comma) {
            min = lo;
            max = lo;
        } else {
            min = lo;
            max = hasMax ? hi : kInfinite;
        }
        return true;
    }

    // "(?#" opens a comment, which runs to the next ')'.
    bool IsCommentAt(int pos) const {
        return pos + 2 < m_n && At(pos) == '(' && At(pos + 1) == '?' && At(pos + 2) == '#';
    }

    Token Lex() {
        for (;;) {
            int &pos = m_state.pos;
            if (pos >= m_n) {
                return Make(TK_END, 0);
            }
            const unsigned c = At(pos);
            if (m_state.quote) {
                if (c == '\\' && At(pos + 1) == 'E' && pos + 1 < m_n) {
                    m_state.quote = false;
                    pos += 2;
                    continue;
                }
                ++pos;
                return Make(TK_CHAR, ApplyCase(c));
            }
            if (m_bExtended) {
                if (IsExtendedSpace(c)) {
                    ++pos;
                    continue;
                }
                if (c == '#') {
                    while (pos < m_n && At(pos) != '\n') {
                        ++pos;
                    }
                    continue;
                }
            }
            if (IsCommentAt(pos)) {
                // A comment is nothing: what follows it attaches to what
                // stands before it, a quantifier included.
                pos += 3;
                while (pos < m_n && At(pos) != ')') {
                    ++pos;
                }
                if (pos < m_n) {
                    ++pos;
                }
                continue;
            }
            m_tokenStart = pos;
            switch (c) {
            case '\\':
                break;
            case '(':
            case ')':
            case '|':
            case '[':
            case '.':
            case '^':
            case '$':
                ++pos;
                return Make(TK_META, c);
            case '*':
                ++pos;
                return MakeQuant(c, 0, kInfinite);
            case '+':
                ++pos;
                return MakeQuant(c, 1, kInfinite);
            case '?':
                ++pos;
                return MakeQuant(c, 0, 1);
            case '{': {
                int min = 0;
                int max = 0;
                if (ReadBraces(pos, min, max)) {
                    return MakeQuant(c, min, max);
                }
                ++pos;
                return Make(TK_CHAR, c);
            }
            default:
                ++pos;
                return Make(TK_CHAR, ApplyCase(c));
            }
            // An escape.
            if (pos + 1 >= m_n) {
                ++pos;
                return Make(TK_CHAR, '\\');
            }
            const unsigned e = At(pos + 1);
            pos += 2;
            unsigned value = 0;
            switch (e) {
            case 'Q':
                m_state.quote = true;
                continue;
            case 'E':
                m_state.caseMode = CASE_NONE;
                continue;
            case 'L':
                m_state.caseMode = CASE_LOWER;
                continue;
            case 'U':
                m_state.caseMode = CASE_UPPER;
                continue;
            case 'd':
            case 'D':
            case 'w':
            case 'W':
            case 's':
            case 'S':
                return Make(TK_CLASS, e);
            case 'b':
            case 'B':
            case 'A':
            case 'z':
            case 'Z':
            case 'G':
                return Make(TK_ANCHOR, e);
            case 'k':
                if (At(pos) == '<' || At(pos) == '\'') {
                    const unsigned terminator = At(pos) == '<' ? '>' : '\'';
                    ++pos;
                    Token t = Make(TK_BACKREF_NAME, 0);
                    ReadName(pos, terminator, t.nameOffset, t.nameLength);
                    return t;
                }
                return Make(TK_CHAR, ApplyCase(e));
            default:
                break;
            }
            if (e >= '1' && e <= '9') {
                int number = static_cast<int>(e - '0');
                while (pos < m_n && At(pos) >= '0' && At(pos) <= '9') {
                    number = AddDigit(number, At(pos) - '0');
                    ++pos;
                }
                Token t = Make(TK_BACKREF, 0);
                t.min = number;
                return t;
            }
            if (SimpleEscape(e, pos, value)) {
                return Make(TK_CHAR, ApplyCase(value));
            }
            return Make(TK_CHAR, ApplyCase(e));
        }
    }

    // Characters that stand for themselves without an escape.
    static bool IsPlain(unsigned c) {
        if (c >= 128) {
            return true;
        }
        // \ ( ) | [ . ^ $ * + ? {
        static const unsigned long long kSpecial[2] = {
            (1ull << '$') | (1ull << '(') | (1ull << ')') | (1ull << '*') | (1ull << '+') |
                (1ull << '.') | (1ull << '?'),
            (1ull << ('[' - 64)) | (1ull << ('\\' - 64)) | (1ull << ('^' - 64)) |
                (1ull << ('{' - 64)) | (1ull << ('|' - 64))};
        return ((kSpecial[c >> 6] >> (c & 63)) & 1) == 0;
    }
    static bool IsQuantifierStart(unsigned c) {
        return c == '*' || c == '+' || c == '?' || c == '{';
    }

    // Fast path for the common case: appends plain characters and escaped
    // punctuation (\\ \. \$ ...) to the literal run, stopping before any
    // character that a quantifier follows and before everything else.
    void ScanPlainRun(CBufferT<T> &run) {
        if (m_state.quote || m_state.caseMode != CASE_NONE || m_bExtended) {
            return;
        }
        const T *p = m_p;
        const int n = m_n;
        int pos = m_state.pos;
        while (pos < n) {
            unsigned value = RegexCode(p[pos]);
            int next = pos + 1;
            if (value == '\\' && next < n) {
                value = RegexCode(p[next]);
                if (value < 128 && ((value | 0x20) - 'a' < 26 || value - '0' < 10)) {
                    break; // an escape with a meaning of its own
                }
                ++next;
            } else if (!IsPlain(value)) {
                break;
            }
            if (next < n && (IsQuantifierStart(RegexCode(p[next])) || IsCommentAt(next))) {
                break;
            }
            if (!run.Push(static_cast<T>(value))) {
                throw std::bad_alloc();
            }
            pos = next;
        }
        m_state.pos = pos;
    }

    // Cheap test that the next token cannot be a quantifier (no lexing).
    bool SurelyNoQuantifier() const {
        if (m_state.quote || m_bExtended) {
            return false;
        }
        if (m_state.pos >= m_n) {
            return true;
        }
        const unsigned c = RegexCode(m_p[m_state.pos]);
        return c != '\\' && !IsQuantifierStart(c) && !IsCommentAt(m_state.pos);
    }

    bool PeekIsQuantifier() {
        if (SurelyNoQuantifier()) {
            return false;
        }
        LexState saved = m_state;
        Token t = Lex();
        m_state = saved;
        return t.type == TK_QUANT;
    }

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
    const T *m_p;
    int m_n;
    bool m_bExtended;
    bool m_bTooDeep;
    LexState m_state;
    int m_tokenStart; // where the last token read outside a quote began
    RegexGroupSpan m_span;
    typename CPatternT<T>::GroupSource m_open; // the group whose '(' was read last
};

// ---------------------------------------------------------------------------
// CPatternT
// ---------------------------------------------------------------------------

template <class T>
CPatternT<T>::CPatternT()
    : m_nFlags(0), m_pTopElx(nullptr), m_nGroupCount(0), m_nMaxExplicit(0), m_bAnchored(false),
      m_bHasFirst(false), m_bFirstHigh(false), m_nFirstSingle(-1), m_pRequired(nullptr),
      m_bRequiredAtEnd(false), m_nLeadingDotStar(0) {
    for (int i = 0; i < STOCK_COUNT; ++i) {
        m_stock[i] = nullptr;
    }
    m_first[0] = 0;
    m_first[1] = 0;
}

template <class T> CPatternT<T>::CPatternT(const T *pattern, int flags) : CPatternT() {
    Compile(pattern, -1, flags);
}

template <class T> CPatternT<T>::CPatternT(const T *pattern, int length, int flags) : CPatternT() {
    Compile(pattern, length, flags);
}

template <class T> CPatternT<T>::~CPatternT() {
    Clear();
}

template <class T> void CPatternT<T>::Clear() {
    if (m_store.GetSize() == 0 && m_pattern.GetBuffer() == nullptr && m_pTopElx == nullptr) {
        return; // nothing compiled yet
    }
    for (int i = m_store.GetSize() - 1; i >= 0; --i) {
        m_store[i]->~ElxInterface<T>();
    }
    m_store.Clear();
    m_arena.Reset();
    for (int i = 0; i < STOCK_COUNT; ++i) {
        m_stock[i] = nullptr;
    }
    m_pTopElx = nullptr;
    m_pattern = CBufferRefT<T>();
    m_nGroupCount = 0;
    m_nMaxExplicit = 0;
    m_names.Clear();
    m_groupElx.Clear();
    m_groupSource.Clear();
    m_turned.Clear();
    m_backrefs.Clear();
    m_conditions.Clear();
    m_delegates.Clear();
    m_bAnchored = false;
    m_bHasFirst = false;
    m_first[0] = 0;
    m_first[1] = 0;
    m_bFirstHigh = false;
    m_nFirstSingle = -1;
    m_pRequired = nullptr;
    m_bRequiredAtEnd = false;
    m_nLeadingDotStar = 0;
}

template <class T> template <class E, class... A> E *CPatternT<T>::New(A... args) {
    void *memory = m_arena.Allocate(sizeof(E));
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    E *element = new (memory) E(args...);
    if (!m_store.Push(element)) {
        element->~E();
        throw std::bad_alloc();
    }
    return element;
}

template <class T> template <class E> E *CPatternT<T>::Copy(const E *data, int count) {
    if (count <= 0) {
        return nullptr;
    }
    E *copy = static_cast<E *>(m_arena.Allocate(sizeof(E) * static_cast<size_t>(count)));
    if (copy == nullptr) {
        throw std::bad_alloc();
    }
    if (count <= 8) {
        for (int i = 0; i < count; ++i) {
            copy[i] = data[i];
        }
    } else {
        std::memcpy(static_cast<void *>(copy), data, sizeof(E) * static_cast<size_t>(count));
    }
    return copy;
}

template <class T> const ElxInterface<T> *CPatternT<T>::GetStock(int index) {
    if (index < 0 || index >= STOCK_COUNT) {
        index = STOCK_EMPTY;
    }
    if (m_stock[index] != nullptr) {
        return m_stock[index];
    }
    if (index == STOCK_EMPTY) {
        m_stock[index] = New<CEmptyElxT<T>>();
        return m_stock[index];
    }
    static const T kLineFeed[] = {T('\n')};
    static const T kWordRanges[] = {T('a'), T('z'), T('A'), T('Z'), T('0'), T('9')};
    static const T kUnderscore[] = {T('_')};
    static const T kSpaces[] = {T(' '), T('\t'), T('\r'), T('\n')};
    static const T kDigits[] = {T('0'), T('9')};
    const bool rightLeft = index > 8;
    const int k = (index - 1) % 8;
    CRangeElxT<T> *range = New<CRangeElxT<T>>(k == 0 || k == 1 || (k & 1) != 0, rightLeft);
    switch (k) {
    case 0: // dot: anything but line feed
        range->m_chars = CBufferRefT<T>(kLineFeed, 1);
        break;
    case 1: // dot with single-line: anything
        break;
    case 2: // \w
    case 3: // \W
        range->m_ranges = CBufferRefT<T>(kWordRanges, 6);
        range->m_chars = CBufferRefT<T>(kUnderscore, 1);
        break;
    case 4: // \s
    case 5: // \S
        range->m_chars = CBufferRefT<T>(kSpaces, 4);
        break;
    default: // \d \D
        range->m_ranges = CBufferRefT<T>(kDigits, 2);
        break;
    }
    range->Prepare();
    m_stock[index] = range;
    return range;
}

template <class T> bool CPatternT<T>::Compile(const T *pattern, int length, int flags) {
    Clear();
    m_nFlags = flags;
    if (pattern == nullptr) {
        length = 0;
    } else if (length < 0) {
        length = 0;
        while (pattern[length] != T(0) && length < CBufferT<T>::kMaxElements) {
            ++length;
        }
    }
    try {
        T *copy = Copy(pattern, length);
        m_pattern = CBufferRefT<T>(copy, length);
        CRegexParserT<T> parser(*this);
        const ElxInterface<T> *top = parser.Parse();
        if (parser.TooDeep()) {
            Clear();
            return false;
        }
        m_pTopElx = top;
        Resolve();
        Analyse();
        return true;
    } catch (...) {
        Clear();
        return false;
    }
}

template <class T> int CPatternT<T>::FindName(int offset, int length) const {
    for (int i = 0; i < m_names.GetSize(); ++i) {
        const GroupName &name = m_names[i];
        if (name.nameLength == length &&
            CBufferRefT<T>(m_pattern.GetBuffer() + name.nameOffset, length)
                .IsEqual(m_pattern.GetBuffer() + offset, length)) {
            return name.number;
        }
    }
    return -1;
}

template <class T> int CPatternT<T>::GetNamedNumber(const T *name, int length) const {
    if (name == nullptr) {
        return -1;
    }
    if (length < 0) {
        length = 0;
        while (name[length] != T(0)) {
            ++length;
        }
    }
    for (int i = 0; i < m_names.GetSize(); ++i) {
        const GroupName &entry = m_names[i];
        if (CBufferRefT<T>(m_pattern.GetBuffer() + entry.nameOffset, entry.nameLength)
                .IsEqual(name, length)) {
            return entry.number;
        }
    }
    return -1;
}

template <class T> void CPatternT<T>::Resolve() {
    // A group compiled again for a caller of the other direction may add
    // calls, back-references and conditions of its own: the list grows here.
    for (int i = 0; i < m_delegates.GetSize(); ++i) {
        const NamedRef ref = m_delegates[i];
        CDelegateElxT<T> *delegate = static_cast<CDelegateElxT<T> *>(ref.elx);
        int number = delegate->m_nNumber;
        if (ref.nameOffset >= 0) {
            number = FindName(ref.nameOffset, ref.nameLength);
        }
        delegate->m_nNumber = number;
        delegate->m_pElx = GroupIn(number, delegate->m_bRightLeft);
    }
    for (int i = 0; i < m_backrefs.GetSize(); ++i) {
        const NamedRef &ref = m_backrefs[i];
        static_cast<CBackrefElxT<T> *>(ref.elx)->m_nNumber =
            FindName(ref.nameOffset, ref.nameLength);
    }
    for (int i = 0; i < m_conditions.GetSize(); ++i) {
        const NamedRef &ref = m_conditions[i];
        static_cast<CConditionElxT<T> *>(ref.elx)->m_nNumber =
            FindName(ref.nameOffset, ref.nameLength);
    }
}

template <class T> const ElxInterface<T> *CPatternT<T>::GroupIn(int number, bool rightLeft) {
    const ElxInterface<T> *group = nullptr;
    bool groupRightLeft = (m_nFlags & REGEX_RIGHTTOLEFT) != 0;
    if (number == 0) {
        group = m_pTopElx;
    } else if (number > 0 && number < m_groupElx.GetSize() && number < m_groupSource.GetSize() &&
               m_groupSource[number].pos >= 0) {
        group = m_groupElx[number];
        groupRightLeft = (m_groupSource[number].flags & REGEX_RIGHTTOLEFT) != 0;
    }
    if (group == nullptr || groupRightLeft == rightLeft) {
        return group;
    }
    if (m_turned.GetSize() <= number && !m_turned.Fill(nullptr, number + 1 - m_turned.GetSize())) {
        throw std::bad_alloc();
    }
    if (m_turned[number] == nullptr) {
        CRegexParserT<T> parser(*this);
        m_turned[number] = parser.Reparse(number, rightLeft);
    }
    return m_turned[number];
}

namespace {

// Appends the elements of a sequence in text order, opening nested lists.
template <class T>
void Flatten(const ElxInterface<T> *e, CBufferT<const ElxInterface<T> *> &out, int depth) {
    if (e->GetKind() == ELX_LIST && depth < 32) {
        const CListElxT<T> *list = static_cast<const CListElxT<T> *>(e);
        for (int i = 0; i < list->m_elxlist.GetSize(); ++i) {
            Flatten(list->m_elxlist[i], out, depth + 1);
        }
    } else {
        out.Push(e);
    }
}

template <class T> void AddFirstChar(FirstSet &set, unsigned c, bool ignoreCase) {
    if (!ignoreCase) {
        if (c < 128) {
            set.Set(c);
        } else {
            set.high = true;
        }
        return;
    }
    // The runtime's toupper may pair characters beyond ASCII; be generous.
    set.high = true;
    if (c < 128) {
        set.Set(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            set.Set(c ^ 0x20);
        }
    } else if (c < 256) {
        for (unsigned l = 'A'; l <= 'Z'; ++l) {
            set.Set(l);
            set.Set(l ^ 0x20);
        }
    }
}

// Adds the characters an element can start with (left to right).
// Returns 0 when it always consumes one, 1 when it may match empty (the next
// element's first characters count too), -1 when it cannot be told.
template <class T> int AddFirst(const ElxInterface<T> *e, FirstSet &set, int depth) {
    if (depth > 32) {
        return -1;
    }
    switch (e->GetKind()) {
    case ELX_EMPTY:
    case ELX_BRACKET:
    case ELX_BOUNDARY:
    case ELX_GLOBAL:
        return 1;
    case ELX_STRING: {
        const CStringElxT<T> *s = static_cast<const CStringElxT<T> *>(e);
        if (s->m_bRightLeft) {
            return -1;
        }
        if (s->m_szPattern.GetSize() == 0) {
            return 1;
        }
        AddFirstChar<T>(set, RegexCode(s->m_szPattern[0]), s->m_bIgnoreCase);
        return 0;
    }
    case ELX_RANGE: {
        const CRangeElxT<T> *r = static_cast<const CRangeElxT<T> *>(e);
        set.bits[0] |= r->m_ascii[0];
        set.bits[1] |= r->m_ascii[1];
        set.high = set.high || r->m_bHighPossible;
        return 0;
    }
    case ELX_POSIX: {
        const CPosixElxT<T> *p = static_cast<const CPosixElxT<T> *>(e);
        set.bits[0] |= p->m_ascii[0];
        set.bits[1] |= p->m_ascii[1];
        set.high = true;
        return 0;
    }
    case ELX_LIST: {
        const CListElxT<T> *list = static_cast<const CListElxT<T> *>(e);
        if (list->m_bRightLeft) {
            return -1;
        }
        for (int i = 0; i < list->m_elxlist.GetSize(); ++i) {
            const int r = AddFirst(list->m_elxlist[i], set, depth + 1);
            if (r != 1) {
                return r;
            }
        }
        return 1;
    }
    case ELX_ALTERNATIVE: {
        const CAlternativeElxT<T> *alt = static_cast<const CAlternativeElxT<T> *>(e);
        int result = 0;
        for (int i = 0; i < alt->m_elxlist.GetSize(); ++i) {
            const int r = AddFirst(alt->m_elxlist[i], set, depth + 1);
            if (r < 0) {
                return -1;
            }
            if (r == 1) {
                result = 1;
            }
        }
        return result;
    }
    case ELX_REPEAT:
    case ELX_GREEDY:
    case ELX_RELUCTANT:
    case ELX_POSSESSIVE: {
        const CRepeatElxT<T> *rep = static_cast<const CRepeatElxT<T> *>(e);
        if (rep->m_bRightLeft) {
            return -1;
        }
        const int r = AddFirst(rep->m_pElx, set, depth + 1);
        if (r < 0) {
            return -1;
        }
        return rep->m_nFixed == 0 ? 1 : r;
    }
    case ELX_INDEPENDENT:
        return AddFirst(static_cast<const CIndependentElxT<T> *>(e)->m_pElx, set, depth + 1);
    default:
        return -1;
    }
}

template <class T> bool SameText(const T *text, const CStringElxT<T> *literal) {
    const int n = literal->m_szPattern.GetSize();
    const T *s = literal->m_szPattern.GetBuffer();
    if (literal->m_bIgnoreCase) {
        for (int i = 0; i < n; ++i) {
            if (!RegexEqualNoCase(RegexCode(text[i]), RegexCode(s[i]))) {
                return false;
            }
        }
        return true;
    }
    for (int i = 0; i < n; ++i) {
        if (text[i] != s[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

template <class T> void CPatternT<T>::Analyse() {
    if (m_pTopElx == nullptr) {
        return;
    }
    CInlineBufferT<const ElxInterface<T> *, 32> seq;
    Flatten(m_pTopElx, seq, 0);
    const bool rightLeft = (m_nFlags & REGEX_RIGHTTOLEFT) != 0;

    // A literal every match contains; one right before the end anchor is best.
    int bestLength = 0;
    for (int i = 0; i < seq.GetSize(); ++i) {
        if (seq[i]->GetKind() != ELX_STRING) {
            continue;
        }
        const CStringElxT<T> *s = static_cast<const CStringElxT<T> *>(seq[i]);
        const int length = s->m_szPattern.GetSize();
        if (length == 0) {
            continue;
        }
        int j = i + 1;
        while (j < seq.GetSize() && seq[j]->GetKind() == ELX_BRACKET) {
            ++j;
        }
        bool atEnd = false;
        if (j < seq.GetSize() && seq[j]->GetKind() == ELX_BOUNDARY) {
            const CBoundaryElxT<T> *b = static_cast<const CBoundaryElxT<T> *>(seq[j]);
            atEnd = b->m_nType == CBoundaryElxT<T>::BOUNDARY_TEXT_END ||
                    (b->m_nType == CBoundaryElxT<T>::BOUNDARY_LINE_END && !b->m_bMultiLine);
        }
        if (m_bRequiredAtEnd && !atEnd) {
            continue;
        }
        if ((atEnd && !m_bRequiredAtEnd) || length > bestLength) {
            m_pRequired = s;
            m_bRequiredAtEnd = atEnd;
            bestLength = length;
        }
    }

    if (rightLeft || seq.GetSize() == 0) {
        return;
    }

    // Anchored at the start of the text.
    for (int i = 0; i < seq.GetSize(); ++i) {
        if (seq[i]->GetKind() == ELX_BRACKET) {
            continue;
        }
        if (seq[i]->GetKind() == ELX_BOUNDARY) {
            const CBoundaryElxT<T> *b = static_cast<const CBoundaryElxT<T> *>(seq[i]);
            m_bAnchored = b->m_nType == CBoundaryElxT<T>::BOUNDARY_TEXT_BEGIN ||
                          (b->m_nType == CBoundaryElxT<T>::BOUNDARY_LINE_BEGIN && !b->m_bMultiLine);
        }
        break;
    }

    // Characters a match can start with.
    FirstSet set = {{0, 0}, false};
    for (int i = 0; i < seq.GetSize(); ++i) {
        const int r = AddFirst(seq[i], set, 0);
        if (r < 0) {
            break;
        }
        if (r == 0) {
            m_bHasFirst = true;
            m_first[0] = set.bits[0];
            m_first[1] = set.bits[1];
            m_bFirstHigh = set.high;
            // A single possible first character gets a plain scan.
            const unsigned long long a = set.bits[0];
            const unsigned long long b = set.bits[1];
            if (!set.high && ((a != 0) != (b != 0)) && ((a & (a - 1)) == 0) &&
                ((b & (b - 1)) == 0)) {
                const unsigned long long bit = a != 0 ? a : b;
                int index = a != 0 ? 0 : 64;
                while ((bit >> (index & 63)) != 1) {
                    ++index;
                }
                m_nFirstSingle = index;
            }
            break;
        }
    }

    // A leading .* (not inside a group): a failed start also rules out every
    // later start up to the next line feed (or the end).
    const ElxInterface<T> *first = seq[0];
    if (first->GetKind() == ELX_GREEDY || first->GetKind() == ELX_RELUCTANT) {
        const CRepeatElxT<T> *repeat = static_cast<const CRepeatElxT<T> *>(first);
        const int max = first->GetKind() == ELX_GREEDY
                            ? static_cast<const CGreedyElxT<T> *>(first)->m_nMax
                            : static_cast<const CReluctantElxT<T> *>(first)->m_nMax;
        if (max == kInfinite && repeat->m_pElx == m_stock[1]) {
            m_nLeadingDotStar = 1;
        } else if (max == kInfinite && repeat->m_pElx == m_stock[2]) {
            m_nLeadingDotStar = 2;
        }
    }
}

template <class T> bool CPatternT<T>::Prefilter(const T *text, int length) const {
    if (m_pRequired == nullptr) {
        return true;
    }
    const int n = m_pRequired->m_szPattern.GetSize();
    if (n > length) {
        return false;
    }
    if (m_bRequiredAtEnd) {
        return SameText(text + (length - n), m_pRequired);
    }
    // Look for the literal; long partial matches (hostile literals) make the
    // filter give up and leave the answer to the search.
    const T *literal = m_pRequired->m_szPattern.GetBuffer();
    const bool ignoreCase = m_pRequired->m_bIgnoreCase;
    const unsigned first = RegexCode(literal[0]);
    const bool letter = (first | 0x20) - 'a' < 26;
    const bool exactFirst = !ignoreCase || (first < 128 && !letter);
    long long work = 0;
    for (int i = 0; i + n <= length; ++i) {
        const unsigned c = RegexCode(text[i]);
        if (exactFirst
                ? c != first
                : !(c == first || ((c ^ first) == 0x20 && letter) || (c >= 128 && c < 256))) {
            continue;
        }
        int k = 0;
        if (ignoreCase) {
            while (k < n && RegexEqualNoCase(RegexCode(text[i + k]), RegexCode(literal[k]))) {
                ++k;
            }
        } else {
            while (k < n && text[i + k] == literal[k]) {
                ++k;
            }
        }
        if (k == n) {
            return true;
        }
        work += k;
        if (work > kPrefilterWork) {
            return true;
        }
    }
    return false;
}

namespace {

// Group 0 spans from the attempt's start to where the match ended; a
// recursion into a group of the other direction may end on the wrong side.
template <class T> void SetWholeMatch(CMatchContextT<T> &ctx, int begin) {
    const int end = ctx.m_nCurrentPosition;
    ctx.m_captures[0] = begin < end ? begin : end;
    ctx.m_captures[1] = begin < end ? end : begin;
}

} // namespace

template <class T> bool CPatternT<T>::Search(CMatchContextT<T> &ctx, int start) const {
    const T *text = ctx.m_pText;
    const int n = ctx.m_nLength;
    if ((m_nFlags & REGEX_RIGHTTOLEFT) != 0) {
        for (int p = start; p >= 0; --p) {
            ctx.m_nCurrentPosition = p;
            ctx.m_nBeginPosition = p;
            ctx.m_stack.Clear();
            ctx.m_captures[0] = -1;
            ctx.m_captures[1] = p;
            if (m_pTopElx->Match(ctx) && !ctx.IsAborted()) {
                SetWholeMatch(ctx, p);
                return true;
            }
            if (ctx.IsAborted()) {
                return false;
            }
        }
        return false;
    }
    if (m_bAnchored && start != 0) {
        return false;
    }
    for (int p = start; p <= n; ++p) {
        if (m_nFirstSingle >= 0) {
            const T first = static_cast<T>(m_nFirstSingle);
            while (p < n && text[p] != first) {
                ++p;
            }
            if (p >= n) {
                return false;
            }
        } else if (m_bHasFirst) {
            // Every match consumes a first character from the set.
            while (p < n) {
                const unsigned c = RegexCode(text[p]);
                if (c < 128 ? ((m_first[c >> 6] >> (c & 63)) & 1) != 0 : m_bFirstHigh) {
                    break;
                }
                ++p;
            }
            if (p >= n) {
                return false;
            }
        }
        ctx.m_nCurrentPosition = p;
        ctx.m_nBeginPosition = p;
        ctx.m_stack.Clear();
        ctx.m_captures[0] = p;
        ctx.m_captures[1] = -1;
        // Elements may still report success while a search gives up.
        if (m_pTopElx->Match(ctx) && !ctx.IsAborted()) {
            SetWholeMatch(ctx, p);
            return true;
        }
        if (ctx.IsAborted() || m_bAnchored || m_nLeadingDotStar == 2) {
            return false;
        }
        if (m_nLeadingDotStar == 1) {
            while (p < n && RegexCode(text[p]) != '\n') {
                ++p;
            }
        }
    }
    return false;
}

template <class T>
bool CPatternT<T>::Match(const T *text, int length, CMatchContextT<T> &ctx, int start) const {
    if (text == nullptr || length < 0) {
        length = 0;
    }
    const bool rightLeft = (m_nFlags & REGEX_RIGHTTOLEFT) != 0;
    if (start < 0 || start > length) {
        start = start < 0 && !rightLeft ? 0 : length;
    }
    ctx.Prepare(text, length, GetMaxGroupNumber(), start);
    if (m_pTopElx == nullptr || ctx.IsAborted() || !Prefilter(ctx.m_pText, ctx.m_nLength)) {
        return false;
    }
    return Search(ctx, start);
}

template <class T>
CMatchResultT<T> CPatternT<T>::Match(const T *text, int length, int start) const {
    CMatchResultT<T> result;
    CMatchContextT<T> ctx;
    if (Match(text, length, ctx, start)) {
        result.Assign(ctx);
    }
    return result;
}

template class CMatchResultT<wchar_t>;
template class CPatternT<wchar_t>;

} // namespace vfs
} // namespace zem

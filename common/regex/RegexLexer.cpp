// Lexer of the regular-expression compiler.
#include "RegexLexer.h"

#include <new>

namespace zem {
namespace vfs {

using namespace regex_lex;

namespace {

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

inline bool IsExtendedSpace(unsigned c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

template <class T>
CRegexLexerT<T>::CRegexLexerT(const T *pattern, int length, bool extended)
    : m_p(pattern), m_n(length), m_bExtended(extended), m_tokenStart(0) {
    m_state.pos = 0;
    m_state.quote = false;
    m_state.caseMode = CASE_NONE;
}

template <class T> unsigned CRegexLexerT<T>::ApplyCase(unsigned c) const {
    if (m_state.caseMode == CASE_LOWER) {
        return RegexToLower(c);
    }
    if (m_state.caseMode == CASE_UPPER) {
        return RegexToUpper(c);
    }
    return c;
}

// Reads \xHH, \x{H...}, \uHHHH or \u{H...} after the letter (at pos).
template <class T>
unsigned CRegexLexerT<T>::ReadHex(int &pos, unsigned letter, int maxDigits) const {
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
template <class T> bool CRegexLexerT<T>::SimpleEscape(unsigned c, int &pos, unsigned &value) const {
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
template <class T>
void CRegexLexerT<T>::ReadName(int &pos, unsigned terminator, int &offset, int &length) const {
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
template <class T> bool CRegexLexerT<T>::ReadBraces(int &pos, int &min, int &max) const {
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

template <class T> typename CRegexLexerT<T>::Token CRegexLexerT<T>::Lex() {
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
template <class T> bool CRegexLexerT<T>::IsPlain(unsigned c) {
    if (c >= 128) {
        return true;
    }
    // \ ( ) | [ . ^ $ * + ? {
    static const unsigned long long kSpecial[2] = {
        (1ull << '$') | (1ull << '(') | (1ull << ')') | (1ull << '*') | (1ull << '+') |
            (1ull << '.') | (1ull << '?'),
        (1ull << ('[' - 64)) | (1ull << ('\\' - 64)) | (1ull << ('^' - 64)) | (1ull << ('{' - 64)) |
            (1ull << ('|' - 64))};
    return ((kSpecial[c >> 6] >> (c & 63)) & 1) == 0;
}

// Fast path for the common case: appends plain characters and escaped
// punctuation (\\ \. \$ ...) to the literal run, stopping before any
// character that a quantifier follows and before everything else.
template <class T> void CRegexLexerT<T>::ScanPlainRun(CBufferT<T> &run) {
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
template <class T> bool CRegexLexerT<T>::SurelyNoQuantifier() const {
    if (m_state.quote || m_bExtended) {
        return false;
    }
    if (m_state.pos >= m_n) {
        return true;
    }
    const unsigned c = RegexCode(m_p[m_state.pos]);
    return c != '\\' && !IsQuantifierStart(c) && !IsCommentAt(m_state.pos);
}

template <class T> bool CRegexLexerT<T>::PeekIsQuantifier() {
    if (SurelyNoQuantifier()) {
        return false;
    }
    LexState saved = m_state;
    Token t = Lex();
    m_state = saved;
    return t.type == TK_QUANT;
}

template class CRegexLexerT<wchar_t>;

} // namespace vfs
} // namespace zem

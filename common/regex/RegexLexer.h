// Lexer of the regular-expression compiler: reads the pattern as tokens, each
// a meta token or a literal character (escaped characters and the text of
// \Q...\E are literals), skipping comments and, in extended mode, blanks.
#pragma once

#include "RegexPattern.h"

namespace zem {
namespace vfs {
namespace regex_lex {

// The count of a repeat without upper bound; counts saturate here.
const int kInfinite = 2147483647;

// Adds a decimal digit to a count, saturating at kInfinite.
inline int AddDigit(int value, unsigned digit) {
    if (value > (kInfinite - static_cast<int>(digit)) / 10) {
        return kInfinite;
    }
    return value * 10 + static_cast<int>(digit);
}

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

} // namespace regex_lex

template <class T> class CRegexLexerT {
protected:
    typedef regex_lex::Token Token;
    typedef regex_lex::LexState LexState;

    CRegexLexerT(const T *pattern, int length, bool extended);

    unsigned At(int i) const { return i >= 0 && i < m_n ? RegexCode(m_p[i]) : 0u; }

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
        Token t = Make(regex_lex::TK_QUANT, c);
        t.min = min;
        t.max = max;
        return t;
    }

    // "(?#" opens a comment, which runs to the next ')'.
    bool IsCommentAt(int pos) const {
        return pos + 2 < m_n && At(pos) == '(' && At(pos + 1) == '?' && At(pos + 2) == '#';
    }

    static bool IsQuantifierStart(unsigned c) {
        return c == '*' || c == '+' || c == '?' || c == '{';
    }

    unsigned ApplyCase(unsigned c) const;

    // Reads \xHH, \x{H...}, \uHHHH or \u{H...} after the letter (at pos).
    unsigned ReadHex(int &pos, unsigned letter, int maxDigits) const;

    // Character escapes shared by text and classes; returns false when `c`
    // is not one of them.
    bool SimpleEscape(unsigned c, int &pos, unsigned &value) const;

    // Reads a name up to `terminator` (or the end); pos ends after it.
    void ReadName(int &pos, unsigned terminator, int &offset, int &length) const;

    // Recognises {n}, {n,}, {n,m} (and {,m}, {}) at pos, which holds '{'.
    bool ReadBraces(int &pos, int &min, int &max) const;

    Token Lex();

    // Characters that stand for themselves without an escape.
    static bool IsPlain(unsigned c);

    // Fast path for the common case: appends plain characters and escaped
    // punctuation (\\ \. \$ ...) to the literal run, stopping before any
    // character that a quantifier follows and before everything else.
    void ScanPlainRun(CBufferT<T> &run);

    // Cheap test that the next token cannot be a quantifier (no lexing).
    bool SurelyNoQuantifier() const;

    bool PeekIsQuantifier();

    const T *m_p;
    int m_n;
    bool m_bExtended;
    LexState m_state;
    int m_tokenStart; // where the last token read outside a quote began
};

} // namespace vfs
} // namespace zem

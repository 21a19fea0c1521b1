// Seeded fuzzing: hostile patterns are handled safely, direction and case do not change whether
// simple patterns match, and PCRE2 (ignore-case) finds the same leftmost match over the syntax both
// engines share. Left out, as the two differ by design: text beyond ASCII (folding here is the
// runtime's toupper); CR, VT, FF (\Z and multi-line ^ $ end lines at CR here too; \s is space, tab,
// CR, LF); [:upper:] [:lower:] under ignore-case; '.' in a class; {,n} (empty here, literal there);
// {n}+ ('+' has no effect here); back-references and conditions inside the group they name, or
// inside a look-behind naming a group of it (look-behinds run right to left here), or with group
// calls (PCRE2 leaks captures made in a call: (?:((a))x|(?1)())\2 on "aa"); conditions inside
// look-behinds (PCRE2 10.42 fails (?<=(?(1)W)) at 0); (?R) and (?0) (PCRE2 never backtracks into
// them: b(?0)?A|A* on "baA"); \G \u \L \U (?R<name>), the g flag, upper-case flag letters,
// quantified assertions, flag changes and stacked quantifiers. Patterns PCRE2 refuses and searches
// either side gives up on are skipped.
#include "regex_test_util.h"

#include <pcre2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

using namespace regex_test;

namespace {

struct Random {
    explicit Random(uint64_t seed) : m_state(seed) {}
    int Below(int n) {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return static_cast<int>((m_state >> 16) % static_cast<uint64_t>(n));
    }
    bool OneIn(int n) { return Below(n) == 0; }
    uint64_t m_state;
};

// Pattern pieces: the first kNeutral neither anchor nor look around nor refer
// back, so that the direction of a search cannot change whether it matches;
// kFirstCount up to kNeutral are quantifiers.
const wchar_t *const kPieces[] = {
    L"a",      L"b",     L"ab",          L"B",       L".",    L"\\d",   L"\\w",   L"[ab]",
    L"[^a]",   L"[a-c]", L"(",           L")",       L"(?:",  L"|",     L"(?<n>", L"(?i)",
    L"\\x41",  L"*",     L"+",           L"?",       L"*?",   L"+?",    L"{2}",   L"{1,3}",
    L"\\s",    L"\\W",   L"[[:alpha:]]", L"\\u{62}", L"(?=",  L"(?!",   L"(?<=",  L"(?<!",
    L"(?>",    L"(?-i)", L"(?s:",        L"*+",      L"{,2}", L"{2,}?", L"^",     L"$",
    L"\\b",    L"\\B",   L"\\A",         L"\\z",     L"\\Z",  L"\\G",   L"\\1",   L"\\2",
    L"\\k<n>", L"(?(1)", L"(?(n)",       L"(?(?=a)", L"(?R)", L"(?1)",  L"\\Q",   L"\\E",
    L"\\",     L"{",     L"}",           L"]",       L"[",    L"#",     L" ",     L"\\n",
    L"-",      L"(?#x)"};
const int kFirstCount = 17;
const int kNeutral = 24;
const int kPieceCount = static_cast<int>(sizeof(kPieces) / sizeof(kPieces[0]));

std::wstring RandomText(Random &rng, const wchar_t *alphabet, int maxLength) {
    std::wstring text;
    const int length = rng.Below(maxLength + 1);
    for (int i = 0; i < length; ++i) {
        text += alphabet[rng.Below(static_cast<int>(wcslen(alphabet)))];
    }
    return text;
}

// Random patterns, malformed ones included, compile and search safely under
// any flags. Half of them use the neutral pieces only, quantifiers not stacked
// (a++ is possessive, which depends on the direction): a search right to left
// must then find a match exactly when one left to right does, and ignoring
// case must not depend on the case of the text.
TEST(RegexFuzz, RandomPatternsAreSafeAndDirectionAndCaseAgree) {
    Random rng(0x5eed1234abcdULL);
    const int flagBits[] = {S, M, G, I, R, X};
    int matched = 0;
    for (int runs = 0; runs < 100000; ++runs) {
        const bool neutral = rng.OneIn(2);
        std::wstring pattern;
        bool lastQuantifier = false;
        for (int count = rng.Below(12) + 1; count > 0; --count) {
            const int k = rng.Below(neutral ? kNeutral : kPieceCount);
            const bool quantifier = k >= kFirstCount && k < kNeutral;
            if (!(neutral && quantifier && lastQuantifier)) {
                pattern += kPieces[k];
            }
            lastQuantifier = quantifier;
        }
        int flags = 0;
        for (int bit : flagBits) {
            flags |= rng.OneIn(4) ? bit : 0;
        }
        CPatternT<wchar_t> compiled(pattern.c_str(), static_cast<int>(pattern.size()), flags);
        ASSERT_TRUE(compiled.IsCompiled()) << Narrow(pattern);
        const std::wstring text = RandomText(rng, neutral ? L"aAbB1-" : L"aabbA \n-1\\", 16);
        const int size = static_cast<int>(text.size());
        SCOPED_TRACE(Narrow(pattern) + " / " + Narrow(text));
        CMatchContextT<wchar_t> ctx;
        ctx.SetStepBudget(20000);
        if (compiled.Match(text.c_str(), size, ctx)) {
            ++matched;
            ASSERT_TRUE(0 <= ctx.m_captures[0] && ctx.m_captures[0] <= ctx.m_captures[1] &&
                        ctx.m_captures[1] <= size);
            for (int g = 2; g < ctx.m_captures.GetSize(); ++g) {
                ASSERT_TRUE(ctx.m_captures[g] >= -1 && ctx.m_captures[g] <= size) << g;
            }
        }
        if (!neutral) {
            continue;
        }
        std::wstring upper = text;
        for (wchar_t &c : upper) {
            c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c;
        }
        ASSERT_EQ(Find(pattern.c_str(), 0, text).IsMatched(),
                  Find(pattern.c_str(), R, text).IsMatched());
        CPatternT<wchar_t> folded(pattern.c_str(), I);
        ASSERT_EQ(folded.Match(text.c_str(), size).IsMatched(),
                  folded.Match(upper.c_str(), size).IsMatched());
    }
    EXPECT_GT(matched, 25000);
}

class Generator {
public:
    explicit Generator(Random &rng) : m_rng(rng), m_calls(rng.OneIn(2)) {}

    std::string Pattern() {
        Alternation(0);
        return m_out;
    }

private:
    void Alternation(int depth) {
        const int count = depth < 3 && m_rng.OneIn(3) ? 2 + m_rng.Below(2) : 1;
        for (int i = 0; i < count; ++i) {
            m_out += i > 0 ? "|" : "";
            const int items = m_rng.Below(depth < 2 ? 5 : 3) + (depth == 0 ? 1 : 0);
            for (int k = 0; k < items; ++k) {
                Item(depth);
            }
        }
    }

    // One of the blank-separated pieces of `list`.
    std::string Pick(const char *list) {
        const std::string all(list);
        int k = m_rng.Below(static_cast<int>(std::count(all.begin(), all.end(), ' ')) + 1);
        size_t start = 0;
        while (k-- > 0) {
            start = all.find(' ', start) + 1;
        }
        return all.substr(start, all.find(' ', start) - start);
    }

    void Item(int depth) {
        const int kind = m_rng.Below(depth < 3 ? 20 : 14);
        char number[16];
        snprintf(number, sizeof(number), "%d", 1 + m_rng.Below(m_groups > 0 ? m_groups : 1));
        const bool referable = Referable() > 0 && std::atoi(number) <= Referable();
        if (kind < 7) {
            m_out += Pick("a b A B - \\x20 ab . \\d \\w \\s \\D \\W \\S \\x41 \\t");
        } else if (kind < 9) {
            m_out += Pick("[ab] [^a] [a-c] [^\\d-] [W-c] [[:alpha:]] [\\w-] [[:^digit:]] "
                          "[[:space:]b] [\\.] [A-Z] [[:punct:]1]");
        } else if (kind < 11) {
            m_out += Pick("^ $ \\b \\B \\A \\z \\Z");
            return;
        } else if (kind == 11) {
            m_out += Pick("(?i) (?-i) (?s) (?m) (?-m) (?-s)");
            return;
        } else if (kind == 12 && referable) {
            m_out += std::string("\\") + number; // never followed by a digit: no literal is one
        } else if (kind == 13 && m_calls && m_groups > 0) {
            m_out += std::string("(?") + number + ")";
        } else if (kind < 16) {
            Group(depth, Pick("( (?: (?> (?= (?! (?<= (?<! (?i: (?-i: (?s: (?m:"));
        } else if (kind == 16) {
            Group(depth, Pick("(?<@> (?'@' (?P<@>"), true);
        } else if (kind == 17 && referable && m_behind == 0) {
            m_out += std::string("(?(") + number + ")";
            Alternation(depth + 3); // one yes-branch and one no-branch at most
            m_out += ")";
        } else if (kind == 18) {
            m_out += "(?#c)"; // nothing: a quantifier after it repeats what stands before
        } else {
            Group(depth, "(");
        }
        if (m_rng.OneIn(3)) {
            // After a comment, + and ? would turn a count before it lazy or possessive.
            const std::string count =
                Pick(kind == 18 ? "* {0,2} {1,} {2,3}" : "* + ? {2} {0,2} {1,} {2,3}");
            const int suffix = m_rng.Below(4);
            m_out += count + (suffix == 1 ? "?" : suffix == 2 && count != "{2}" ? "+" : "");
        }
    }

    // Back-references and conditions name groups closed before them, and
    // inside a look-behind only groups closed before it: the look-behind runs
    // right to left here, meeting a reference before the group it names.
    int Referable() const { return m_calls ? 0 : m_closed < m_refLimit ? m_closed : m_refLimit; }

    // A group; a named one takes the name n<number> for the '@' of `open`.
    void Group(int depth, std::string open, bool named = false) {
        const bool capture = open == "(" || named;
        m_groups += capture ? 1 : 0;
        const int number = m_groups;
        const std::string name = "n" + std::to_string(number);
        if (named) {
            open.replace(open.find('@'), 1, name);
        }
        const int limit = m_refLimit;
        const bool behind = open.compare(0, 3, "(?<") == 0 && !named;
        if (behind) {
            m_refLimit = Referable();
        }
        m_behind += behind ? 1 : 0;
        m_out += open;
        Alternation(depth + 1);
        m_out += ")";
        m_behind -= behind ? 1 : 0;
        m_refLimit = limit;
        // Groups close innermost first: the closed ones are those numbered
        // below every open group.
        if (capture && number == m_closed + 1) {
            m_closed = m_groups;
        }
        if (named && number <= Referable() && m_rng.OneIn(2)) {
            std::string ref = Pick("\\k<@> \\k'@'");
            m_out += ref.replace(3, 1, name);
        }
    }

    Random &m_rng;
    std::string m_out;
    int m_groups = 0;
    int m_closed = 0;
    int m_refLimit = 1 << 30;
    int m_behind = 0; // look-behinds open
    bool m_calls;     // group calls, and then no back-references or conditions
};

// Subjects draw on the pattern's own letters (both cases), a digit, blank,
// punctuation and a line feed.
std::wstring Subject(Random &rng, const std::string &pattern) {
    std::wstring alphabet = L"1 _-\n";
    for (char c : pattern) {
        if ((c >= 'a' && c <= 'c') || (c >= 'A' && c <= 'C')) {
            alphabet += {static_cast<wchar_t>(c), static_cast<wchar_t>(c ^ 0x20)};
        }
    }
    return RandomText(rng, alphabet.c_str(), 9);
}

TEST(RegexPcre2, AgreesOnTheSharedSyntax) {
    Random rng(0x9e3779b97f4aULL);
    // Without two optimisations PCRE2 10.42 gets wrong: auto-possessification
    // (a?(?>b?|x)a does not match "a") and the start-of-match analysis
    // ((?=ab)(A|){2,3}?ab does not match "ab").
    const uint32_t options = PCRE2_CASELESS | PCRE2_DOLLAR_ENDONLY | PCRE2_ALT_CIRCUMFLEX |
                             PCRE2_NO_AUTO_POSSESS | PCRE2_NO_START_OPTIMIZE;
    pcre2_match_data *data = pcre2_match_data_create(64, nullptr);
    pcre2_match_context *limits = pcre2_match_context_create(nullptr);
    pcre2_set_match_limit(limits, 200000);
    pcre2_set_depth_limit(limits, 2000);
    long compared = 0;
    long differences = 0;
    std::string report;
    for (int run = 0; run < 20000; ++run) {
        const std::string pattern = Generator(rng).Pattern();
        int error = 0;
        PCRE2_SIZE offset = 0;
        pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()),
                                         pattern.size(), options, &error, &offset, nullptr);
        if (code == nullptr) {
            continue; // PCRE2 refuses it
        }
        const std::wstring wide(pattern.begin(), pattern.end());
        CPatternT<wchar_t> compiled(wide.c_str(), static_cast<int>(wide.size()), I);
        for (int t = 0; t < 4; ++t) {
            const std::wstring subject = Subject(rng, pattern);
            const std::string text(subject.begin(), subject.end());
            const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.c_str()),
                                       text.size(), 0, 0, data, limits);
            CMatchContextT<wchar_t> ctx;
            ctx.SetStepBudget(200000);
            const bool found =
                compiled.Match(subject.c_str(), static_cast<int>(subject.size()), ctx);
            if ((rc < 0 && rc != PCRE2_ERROR_NOMATCH) || ctx.IsAborted()) {
                continue; // one side gave up
            }
            ++compared;
            const PCRE2_SIZE *spans = pcre2_get_ovector_pointer(data);
            const auto span = [](bool hit, size_t start, size_t end) {
                return hit ? std::to_string(start) + ".." + std::to_string(end) : "-";
            };
            const std::string theirs = span(rc >= 0, spans[0], spans[1]);
            const std::string ours = span(found, ctx.m_captures[0], ctx.m_captures[1]);
            if (theirs != ours) {
                if (++differences <= 100) {
                    report += "/" + pattern + "/ on \"" + Narrow(subject) + "\": PCRE2 " + theirs +
                              ", here " + ours + "\n";
                }
                break;
            }
        }
        pcre2_code_free(code);
    }
    pcre2_match_context_free(limits);
    pcre2_match_data_free(data);
    EXPECT_GT(compared, 20000);
    EXPECT_EQ(0, differences) << report;
}

} // namespace

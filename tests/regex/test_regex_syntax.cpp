// The accepted syntax, one table of searches per construct.
#include "regex_test_util.h"

using namespace regex_test;

namespace {

TEST(RegexSyntax, LiteralsAndDot) {
    CheckAll(Miss(L"abc", 0, L"ABC"), Hit(L"a\\.b", 0, L"a.b", 0, 3), Miss(L"a\\.b", 0, L"axb"),
             Hit(L"\\t\\n\\r\\f\\v\\a\\e", 0, L"\t\n\r\f\v\a\x1b", 0, 7),
             Hit(L"\\x41\\x{42}\\u0043\\u{44}", 0, L"ABCD", 0, 4), Hit(L"\\x4g", 0, L"\x04g", 0, 2),
             Hit(L"\\xg", 0, L"xg", 0, 2), Hit(L"\\x6a\\x{2a}", 0, L"j*", 0, 2),
             Hit(L"\\u{1234}", 0, L"\x1234", 0, 1), Hit(L"\\-\\/\\\\\\%", 0, L"-/\\%", 0, 4),
             Hit(L"\\0", 0, L"0", 0, 1), Hit(L"\\Qa.b*c\\E+", 0, L"xa.b*ccc", 1, 8),
             Miss(L"\\Qa.b\\E", 0, L"axb"), Hit(L"\\LABC\\Ed", 0, L"abcd", 0, 4),
             Hit(L"\\Uabc\\Edef", 0, L"ABCdef", 0, 6), Miss(L"\\Uabc", 0, L"abc"),
             Hit(L"\x263a+", 0, L"x\x263a\x263a", 1, 3), Miss(L"a.c", 0, L"a\nc"),
             Hit(L"a.c", S, L"a\nc", 0, 3), Hit(L"a.c", 0, L"a\rc", 0, 3),
             Hit(L"a.c", 0, L"a\u4e2dc", 0, 3));
}

TEST(RegexSyntax, ClassesAndClassEscapes) {
    CheckAll(Hit(L"[]a]+", 0, L"x]a]", 1, 4), Hit(L"[-a]+", 0, L"x-a", 1, 3),
             Hit(L"[.]", 0, L"x", 0, 1), Miss(L"[.]", 0, L"\n"), Miss(L"[^.]", 0, L"x."),
             Hit(L"[\\s]", 0, L"a\tb", 1, 2), Hit(L"[\\d\\-]+", 0, L"a1-2b", 1, 4),
             Hit(L"[\\b]", 0, L"a\bb", 1, 2), Hit(L"[\\x41-\\x43]+", 0, L"zABCD", 1, 4),
             Hit(L"[\\x{100}-\\x{200}]", 0, L"a\x150", 1, 2),
             Hit(L"[\\x{100}-\\x{100}]", 0, L"a\x100", 1, 2), Hit(L"[!-\\x{80}]", 0, L"\x80", 0, 1),
             Hit(L"[^a]", 0, L"a\x00e9", 1, 2), Hit(L"[\\W]", 0, L"a\x4e2d", 1, 2),
             Hit(L"[\\d-z]+", 0, L"a1-z", 1, 4), Miss(L"[z-a]", 0, L"m"),

             Hit(L"[[:alpha:][:digit:]]+", 0, L"-a1b-", 1, 4),
             Hit(L"[[:blank:]]", 0, L"a\tb", 1, 2), Miss(L"[[:blank:]]", 0, L"a\nb"),
             Hit(L"[[:upper:]]", 0, L"abC", 2, 3), Hit(L"[[:lower:]]+", 0, L"ABcd", 2, 4),
             Hit(L"[[:xdigit:]]+", 0, L"xyzBEEFg", 3, 7), Hit(L"[[:space:]]", 0, L"a\vb", 1, 2),
             Hit(L"[[:cntrl:]]", 0, L"a\x01", 1, 2), Hit(L"[[:ascii:]]", 0, L"\u4e2da", 1, 2),
             Hit(L"[[:graph:]]", 0, L" x", 1, 2), Hit(L"[[:print:]]", 0, L"\x01 ", 1, 2),
             Hit(L"[[:alnum:]]+", 0, L"-a9-", 1, 3), Hit(L"[[:bogus:]]", 0, L"s]", 0, 2),
             Miss(L"[[:alpha:]]", 0, L"\x4e2d"), Hit(L"\\s+", 0, L"a \t\r\nb", 1, 5),
             Miss(L"\\s", 0, L"\v\f"), Miss(L"\\w", 0, L"\x00e9"), Miss(L"\\d", 0, L"\x0661"));
}

TEST(RegexSyntax, Anchors) {
    CheckAll(Hit(L"^b", M, L"a\rb", 2, 3), Hit(L"^b", M, L"a\r\nb", 3, 4),
             Hit(L"a$", M, L"a\r\nb", 0, 1), Miss(L"\\r$", M, L"a\r\nb"),
             Hit(L"ab\\Z", 0, L"ab\r\n", 0, 2), Hit(L"\\Gab", 0, L"xab", 1, 3),
             Miss(L"\\Gab", G, L"xab"), Hit(L"\\Gab", G, L"abab", 0, 2));
}

TEST(RegexSyntax, GroupsAndAlternation) {
    CheckAll(Hit(L"(?:ab)+(c)", 0, L"ababc", 0, 5, 4, 5), Hit(L"(a)|(b)", 0, L"b", 0, 1, -1, -1),
             Hit(L"(a)*", 0, L"aaa", 0, 3, 2, 3),
             Hit(L"(?<n>a)(?'m'b)(?P<o>c)", 0, L"abc", 0, 3, 0, 1), Hit(L"()", 0, L"x", 0, 0, 0, 0),
             Hit(L"a|", 0, L"b", 0, 0));
}

TEST(RegexSyntax, InlineFlags) {
    CheckAll(Hit(L"(?I)abc", 0, L"ABC", 0, 3), Hit(L"(?i:a)b", 0, L"Ab", 0, 2),
             Miss(L"(?i:a)b", 0, L"AB"), Miss(L"(?-i)abc", I, L"ABC"),
             Hit(L"(?i)(?-i:a)b", 0, L"aB", 0, 2), Hit(L"(a(?i)b)c", 0, L"aBc", 0, 3),
             Miss(L"(a(?i)b)c", 0, L"aBC"), Hit(L"(?S)a.", 0, L"a\n", 0, 2),
             Miss(L"(?-m)^b", M, L"a\nb"), Hit(L"(?si-m:.)", 0, L"\n", 0, 1),
             Hit(L"(?-)a", 0, L"a", 0, 1), Miss(L"(?g)\\Gb", 0, L"ab"),
             Hit(L"(?-g)\\Gb", G, L"ab", 1, 2));
}

TEST(RegexSyntax, Lookaround) {
    CheckAll(Hit(L"(?<=a(b|cd))e", 0, L"acde", 3, 4), Hit(L"(?<=^a+)b", 0, L"aaab", 3, 4),
             Miss(L"(?<=^a+)b", 0, L"xaab"), Hit(L"(?!(a)b)a", 0, L"ac", 0, 1, -1, -1),
             Hit(L"(?<=(a))b", 0, L"ab", 1, 2, 0, 1), Hit(L"a(?=b)", R, L"abab", 2, 3),
             Hit(L"(?<=(?=ab)a)b", 0, L"ab", 1, 2));
}

TEST(RegexSyntax, Quantifiers) {
    // An empty iteration succeeds; it ends a loop without upper bound from the
    // minimum on (from the first when there is none), not a bounded one.
    CheckAll(
        Hit(L"a{3,1}", 0, L"aaaa", 0, 3), Hit(L"a{0}b", 0, L"ab", 1, 2),
        Hit(L"xa{,5}b", 0, L"xb", 0, 2), Miss(L"xa{,5}b", 0, L"xab"), Hit(L"xa{}b", 0, L"xb", 0, 2),
        Hit(L"x{3}?", 0, L"xxxx", 0, 3), Hit(L"x{3}+", 0, L"xxxx", 0, 3),
        Hit(L"a{1", 0, L"a{1", 0, 3), Hit(L"a{x}", 0, L"a{x}", 0, 4),
        Hit(L"\\{6D80-A3\\}", 0, L"{6D80-A3}", 0, 9), Hit(L"{6D80-A3}", 0, L"{6D80-A3}", 0, 9),
        Hit(L"(a|ab)(c|bcd)(d*)", 0, L"abcd", 0, 4, 0, 1), Hit(L"(a|b){2}c", 0, L"abc", 0, 3, 1, 2),
        Hit(L"(a+|b+){2,3}", 0, L"aabba", 0, 5, 4, 5), Hit(L"(?:aa|a){3}$", 0, L"aaaa", 0, 4),
        Hit(L"a**", 0, L"aa", 0, 2), Hit(L"a{2}{3}", 0, L"aaaaaaa", 0, 6),
        Hit(L"a{9}", 0, L"aaaaaaaaaa", 0, 9), Hit(L"a{99999999999}|b", 0, L"ab", 1, 2),
        Hit(L"(a|)*", 0, L"aab", 0, 2, 2, 2), Hit(L"(?:a|())*\\1b", 0, L"ab", 0, 2),
        Hit(L"(?:a|())*?\\1b", 0, L"ab", 0, 2), Hit(L"(?:|a){2,3}", 0, L"aaa", 0, 0),
        Hit(L"(?:(a)|b|)+?x", 0, L"abx", 0, 3, 0, 1), Hit(L"(|\\x20()){0,2}\\2\\1", 0, L"  ", 0, 2),
        Miss(L"(^()|a)+\\2\\x20", I, L"A "), Hit(L"(\\S|((\\A))){1,}\\2", 0, L"-", 0, 0));
}

TEST(RegexSyntax, PossessiveAndAtomic) {
    CheckAll(Hit(L"(?>(a)|b)+c", 0, L"abac", 0, 4, 2, 3),
             Hit(L"(?:(?>(a))x|a)", 0, L"ay", 0, 1, -1, -1),
             Hit(L"(?:(a)++x|a)", 0, L"ay", 0, 1, -1, -1),
             Hit(L"[^\\\\\\.]++\\.", 0, L"c:\\ab.x", 3, 6), Miss(L"[^\\\\]++\\.", 0, L"c:\\ab.x"));
}

TEST(RegexSyntax, Backreferences) {
    CheckAll(Miss(L"(a)\\1", 0, L"aA"), Hit(L"(a\\1)", 0, L"aa", 0, 2, 0, 2),
             Miss(L"\\2(a)(b)", 0, L"ab"), Miss(L"(a)\\2", 0, L"aa"),
             Miss(L"(a(?<=\\1..))", 0, L"xa"), Hit(L"(a(?<=\\1.))", 0, L"xa", 1, 2),
             Hit(L"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)\\10", 0, L"abcdefghijj", 0, 11),
             Miss(L"(?<x>a)\\k<y>", 0, L"aa"), Miss(L"\\k<x>(?<x>a)", 0, L"aa"),
             Hit(L"\\k", 0, L"k", 0, 1), Hit(L"(?<3>a)\\3", 0, L"aa", 0, 2),
             Hit(L"(a*)b\\1", 0, L"aabaa", 0, 5, 0, 2), Hit(L"(a*)b\\1", 0, L"aaba", 1, 4, 1, 2));
}

TEST(RegexSyntax, Conditionals) {
    CheckAll(Hit(L"^(\\()?\\d+(?(1)\\))$", 0, L"(12)", 0, 4),

             Miss(L"^(\\()?\\d+(?(1)\\))$", 0, L"(12"),
             Hit(L"(?(?=\\d)\\d{3}|[a-z]{2})", 0, L"ab", 0, 2),
             Hit(L"(?(?=\\d)\\d{3}|[a-z]{2})", 0, L"123", 0, 3),
             Miss(L"(?(?=\\d)\\d{3}|[a-z]{2})", 0, L"1b"),
             Hit(L"(?(?!\\d)[a-z]|\\d\\d)", 0, L"12", 0, 2), Hit(L"(?(?<=a)b|c)", 0, L"ab", 1, 2),
             Miss(L"(?(?<=a)b|c)", 0, L"xb"), Hit(L"(?(?<!a)c|b)", 0, L"xc", 1, 2),
             Hit(L"(?<n>a)?(?(n)b|c)", 0, L"ab", 0, 2), Hit(L"(?<n>a)?(?(<n>)b|c)", 0, L"c", 0, 1),
             Hit(L"(?<n>a)?(?(<n>)b|c)", 0, L"ab", 0, 2),
             Hit(L"(?<b>x)(?(<bc)y|z)", 0, L"xyxz", 2, 4), // "<bc" is no reference to "b"

             Hit(L"(?<n>a)?(?('n')b|c)", 0, L"ab", 0, 2), Hit(L"(?(5)a|b)", 0, L"b", 0, 1),
             Hit(L"(?(nope)a|b)", 0, L"ab", 1, 2), Hit(L"(?(1)a|b|c)", 0, L"c", 0, 1),
             Hit(L"(?(?=(a))ab|c)", 0, L"ab", 0, 2, 0, 1));
}

TEST(RegexSyntax, Recursion) {
    // A call runs in the direction of its caller.
    CheckAll(Hit(L"\\((?:[^()]|(?R))*\\)", 0, L"x(a(b)c)y", 1, 8),
             Hit(L"\\((?:[^()]|(?R))*\\)", 0, L"((()", 2, 4),
             Hit(L"^(\\((?:[^()]|(?1))*\\))$", 0, L"(()(()))", 0, 8),
             Miss(L"^(\\((?:[^()]|(?1))*\\))$", 0, L"(()"),
             Hit(L"(?<p>\\[(?:x|(?R<p>))*\\])", 0, L"[x[x]]", 0, 6),
             Hit(L"(?<p>\\[(?:x|(?R'p'))*\\])", 0, L"[x[x]]", 0, 6),
             Hit(L"a(?R)?b", 0, L"aabbb", 0, 4), Hit(L"a(?0)?b", 0, L"aabb", 0, 4),
             Hit(L"a(?2)?b", 0, L"ab", 0, 2), Miss(L"a(?2)b", 0, L"ab"),
             Miss(L"a(?R<nope>)b", 0, L"ab"), Hit(L"(a)(?1)", 0, L"aa", 0, 2, 0, 1),
             Hit(L"(a|b(?1))", 0, L"bba", 0, 3, 0, 3), Hit(L"(ab)(?<=(?1))c", 0, L"abc", 0, 3),
             Miss(L"x(?<=(?1))(ab)", 0, L"xab"), Hit(L"(?<=(ab)x)(?1)", 0, L"abxab", 3, 5),
             Hit(L"(?<n>a+b)(?<=x(?R<n>))c", 0, L"xaabc", 1, 5),
             Hit(L"(?=(?1)$)(ab)", R, L"xab", 1, 3));
}

TEST(RegexSyntax, CommentsAndExtended) {
    CheckAll(Hit(L"a(?#comment)b", 0, L"ab", 0, 2), Hit(L"a(?#x)+", 0, L"aa", 0, 2),
             Hit(L"a(?#x)+", 0, L"a+", 0, 1), Hit(L"a (?#x) +", X, L"aa", 0, 2),
             Hit(L"a b # comment\n c", X, L"abc", 0, 3), Hit(L"a\\ b", X, L"a b", 0, 3),
             Hit(L"[ ]", X, L" ", 0, 1), Hit(L"a +", X, L"aa", 0, 2),
             Hit(L"\\Qa b\\E", X, L"a b", 0, 3), Hit(L"a#b", 0, L"a#b", 0, 3));
}

TEST(RegexSyntax, RightToLeft) {
    CheckAll(Hit(L"abc", R, L"abcabc", 3, 6), Hit(L"a+", R, L"aa-aaa", 3, 6),
             Hit(L"(\\d+)-(\\d+)", R, L"12-345", 0, 6, 0, 2), Hit(L"a+?", R, L"aaa", 2, 3),
             Hit(L"^a", R, L"aa", 0, 1), Miss(L"a$", R, L"aab"), Hit(L"\\1(a)", R, L"aa", 0, 2),
             Hit(L"(?<=a)b", R, L"abab", 3, 4), Hit(L"b(?=a)", R, L"baba", 2, 3),
             Hit(L"x(?:ab|a)*", R, L"xabab", 0, 5), Hit(L"a{2}", R, L"aaa", 1, 3),
             Hit(L"ab", R | I, L"xABx", 1, 3), Hit(L"", R, L"abc", 3, 3),
             Miss(L"(a)\\1", R | I, L"aA"));
}

TEST(RegexSyntax, IgnoreCase) {
    CheckAll(Miss(L"(?i)[^x]", 0, L"X"), Miss(L"\\x{100}", I, L"\x101"),
             Hit(L"\\x{100}", I, L"\x100", 0, 1), Hit(L"@", I, L"`@", 1, 2), Miss(L"\\[", I, L"{"),
             Hit(L"_", I, L"\x7f_", 1, 2));
}

} // namespace

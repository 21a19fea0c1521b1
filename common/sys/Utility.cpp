#include "Utility.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <cwchar>
#include <memory>

namespace zem {
namespace vfs {

namespace {

// Conversions whose result fits below this many units are done in a stack
// buffer of this size; longer ones go through one temporary heap buffer.
const int kStackUnits = 4096;

const uint64 kNulTerminated = static_cast<uint64>(-1);

// The system conversions take a signed 32-bit count, -1 standing for "up to
// and including the NUL". Anything else that does not fit is refused rather
// than truncated into a different (possibly unbounded) count.
[[nodiscard]] bool source_count(uint64 length, int &count) {
    if (length == kNulTerminated) {
        count = -1;
        return true;
    }
    if (length == 0 || length > static_cast<uint64>(INT_MAX)) {
        return false;
    }
    count = static_cast<int>(length);
    return true;
}

// The converted text up to its first NUL. For a NUL-terminated source the
// system stops at that NUL and writes it last. With an explicit source count
// it does not terminate the output, so never look past what it wrote.
template <class C> std::basic_string<C> converted(C const *buf, int written, int count) {
    if (written <= 0) {
        return std::basic_string<C>();
    }
    std::size_t n = static_cast<std::size_t>(written);
    if (count == -1 && buf[n - 1] == C()) {
        return std::basic_string<C>(buf, n - 1);
    }
    C const *nul = std::char_traits<C>::find(buf, n, C());
    return std::basic_string<C>(buf, nul ? static_cast<std::size_t>(nul - buf) : n);
}

std::wstring multi_to_wide(UINT code_page, char const *src, uint64 length) {
    int count = 0;
    if (!src || !source_count(length, count)) {
        return std::wstring();
    }
    int size = MultiByteToWideChar(code_page, 0, src, count, nullptr, 0);
    if (size <= 0) {
        return std::wstring();
    }
    if (size < kStackUnits) {
        wchar_t buf[kStackUnits];
        int written = MultiByteToWideChar(code_page, 0, src, count, buf, kStackUnits);
        return converted(buf, written, count);
    }
    std::unique_ptr<wchar_t[]> heap(new wchar_t[static_cast<std::size_t>(size) + 1]);
    int written = MultiByteToWideChar(code_page, 0, src, count, heap.get(), size + 1);
    return converted(heap.get(), written, count);
}

std::string wide_to_multi(UINT code_page, wchar_t const *src, uint64 length) {
    int count = 0;
    if (!src || !source_count(length, count)) {
        return std::string();
    }
    int size = WideCharToMultiByte(code_page, 0, src, count, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return std::string();
    }
    if (size < kStackUnits) {
        char buf[kStackUnits];
        int written =
            WideCharToMultiByte(code_page, 0, src, count, buf, kStackUnits, nullptr, nullptr);
        return converted(buf, written, count);
    }
    std::unique_ptr<char[]> heap(new char[static_cast<std::size_t>(size) + 1]);
    int written =
        WideCharToMultiByte(code_page, 0, src, count, heap.get(), size + 1, nullptr, nullptr);
    return converted(heap.get(), written, count);
}

// Case folding goes through the runtime's single-byte functions. Narrow
// characters are passed as unsigned char (a negative char is not a valid
// argument); wide code units outside the single-byte range stay as they are.
int upper(int c) {
    return toupper(c);
}
int lower(int c) {
    return tolower(c);
}

template <int (*Fold)(int)> char fold(char c) {
    return static_cast<char>(Fold(static_cast<unsigned char>(c)));
}

template <int (*Fold)(int)> wchar_t fold(wchar_t c) {
    return c <= 0xFF ? static_cast<wchar_t>(Fold(c)) : c;
}

template <int (*Fold)(int), class C> std::basic_string<C> fold_all(std::basic_string<C> const &s) {
    std::basic_string<C> out(s);
    for (C &c : out) {
        c = fold<Fold>(c);
    }
    return out;
}

template <class C> struct Text;

template <> struct Text<char> {
    static char const *blanks() { return " \n\r\t"; }
    static int icmp(char const *a, char const *b) { return _stricmp(a, b); }
    static int nicmp(char const *a, char const *b, std::size_t n) { return _strnicmp(a, b, n); }
};

template <> struct Text<wchar_t> {
    static wchar_t const *blanks() { return L" \n\r\t"; }
    static int icmp(wchar_t const *a, wchar_t const *b) { return _wcsicmp(a, b); }
    static int nicmp(wchar_t const *a, wchar_t const *b, std::size_t n) {
        return _wcsnicmp(a, b, n);
    }
};

// NUL never belongs to a set: the set is NUL-terminated.
template <class C> bool in_set(C c, C const *set) {
    if (!set || c == C()) {
        return false;
    }
    for (; *set; ++set) {
        if (*set == c) {
            return true;
        }
    }
    return false;
}

template <class C> std::basic_string<C> trim_left_(std::basic_string<C> const &s, C const *set) {
    std::size_t i = 0;
    while (i < s.size() && in_set(s[i], set)) {
        ++i;
    }
    // The rest is taken as a NUL-terminated string.
    return std::basic_string<C>(s.c_str() + i);
}

template <class C> std::basic_string<C> trim_right_(std::basic_string<C> const &s, C const *set) {
    std::basic_string<C> out(s);
    while (!out.empty() && in_set(out.back(), set)) {
        out.pop_back();
    }
    return out;
}

template <class C> void backslashes(std::basic_string<C> &s) {
    std::replace(s.begin(), s.end(), C('/'), C('\\'));
}

template <class C>
bool file_in_path_(std::basic_string<C> const &reference, std::basic_string<C> const &path,
                   bool wide) {
    typedef Text<C> T;
    std::basic_string<C> copy(path);
    backslashes(copy);
    static const C nt_prefix[] = {C('\\'), C('?'), C('?'), C('\\')};
    if (copy.size() >= 4 && copy.compare(0, 4, nt_prefix, 4) == 0) {
        copy.erase(0, 4);
    }
    if (wide && (copy.empty() || reference.empty())) {
        return false;
    }
    if (T::icmp(copy.c_str(), reference.c_str()) == 0) {
        return true;
    }
    std::size_t n = reference.size();
    if (n > 0 && reference[n - 1] == C('\\')) {
        // Anything beneath the directory, or the directory itself written
        // without its trailing backslash.
        if (T::nicmp(copy.c_str(), reference.c_str(), n) == 0) {
            return true;
        }
        copy.push_back(C('\\'));
        return T::icmp(copy.c_str(), reference.c_str()) == 0;
    }
    if (!wide) {
        return false;
    }
    return copy.size() > n && copy[n] == C('\\') &&
           T::nicmp(copy.c_str(), reference.c_str(), n) == 0;
}

template <class C> std::basic_string<C> normalised(std::basic_string<C> const &s) {
    std::basic_string<C> out =
        fold_all<upper>(trim_right_(trim_left_(s, Text<C>::blanks()), Text<C>::blanks()));
    backslashes(out);
    return out;
}

template <class C>
bool name_match_(std::basic_string<C> const &pattern, std::basic_string<C> const &name) {
    std::basic_string<C> const pat = normalised(pattern);
    std::basic_string<C> const str = normalised(name);
    // An empty pattern names no component: it matches only an empty name.
    if (pat.empty()) {
        return str.empty();
    }
    bool const pat_left = pat.front() == C('\\');
    bool const pat_right = pat.back() == C('\\');
    for (std::size_t p = str.find(pat); p != std::basic_string<C>::npos; p = str.find(pat, p + 1)) {
        std::size_t e = p + pat.size();
        bool left = p == 0 || pat_left || str[p - 1] == C('\\');
        bool right = e == str.size() || pat_right || str[e] == C('\\');
        if (left && right) {
            return true;
        }
    }
    return false;
}

} // namespace

std::wstring Utility::a2w(std::string const &str) {
    return multi_to_wide(CP_ACP, str.c_str(), kNulTerminated);
}

std::wstring Utility::a2w(char const *str, uint64 length) {
    return multi_to_wide(CP_ACP, str, length);
}

std::wstring Utility::utf82w(std::string const &str) {
    return multi_to_wide(CP_UTF8, str.c_str(), kNulTerminated);
}

std::wstring Utility::utf82w(char const *str, uint64 length) {
    return multi_to_wide(CP_UTF8, str, length);
}

std::string Utility::w2a(std::wstring const &str) {
    return wide_to_multi(CP_ACP, str.c_str(), kNulTerminated);
}

std::string Utility::w2a(wchar_t const *str, uint64 length) {
    return wide_to_multi(CP_ACP, str, length);
}

std::string Utility::w2utf8(std::wstring const &str) {
    return wide_to_multi(CP_UTF8, str.c_str(), kNulTerminated);
}

std::string Utility::w2utf8(wchar_t const *str, uint64 length) {
    return wide_to_multi(CP_UTF8, str, length);
}

std::string Utility::to_upper(std::string const &str) {
    return fold_all<upper>(str);
}

std::wstring Utility::to_upper(std::wstring const &str) {
    return fold_all<upper>(str);
}

std::string Utility::to_lower(std::string const &str) {
    return fold_all<lower>(str);
}

std::wstring Utility::to_lower(std::wstring const &str) {
    return fold_all<lower>(str);
}

std::string Utility::trim_left(std::string const &str) {
    return trim_left_(str, Text<char>::blanks());
}

std::wstring Utility::trim_left(std::wstring const &str) {
    return trim_left_(str, Text<wchar_t>::blanks());
}

std::string Utility::trim_left(std::string const &str, char const *chars) {
    return trim_left_(str, chars);
}

std::wstring Utility::trim_left(std::wstring const &str, wchar_t const *chars) {
    return trim_left_(str, chars);
}

std::string Utility::trim_right(std::string const &str) {
    return trim_right_(str, Text<char>::blanks());
}

std::wstring Utility::trim_right(std::wstring const &str) {
    return trim_right_(str, Text<wchar_t>::blanks());
}

std::string Utility::trim_right(std::string const &str, char const *chars) {
    return trim_right_(str, chars);
}

std::wstring Utility::trim_right(std::wstring const &str, wchar_t const *chars) {
    return trim_right_(str, chars);
}

bool Utility::file_in_path(char const *reference, char const *path) {
    if (!reference || !path) {
        return false;
    }
    return file_in_path(std::string(reference), std::string(path));
}

bool Utility::file_in_path(std::string const &reference, std::string const &path) {
    return file_in_path_(reference, path, false);
}

bool Utility::file_in_path(wchar_t const *reference, wchar_t const *path) {
    if (!reference || !path) {
        return false;
    }
    return file_in_path(std::wstring(reference), std::wstring(path));
}

bool Utility::file_in_path(std::wstring const &reference, std::wstring const &path) {
    return file_in_path_(reference, path, true);
}

bool Utility::name_match(char const *pattern, char const *name) {
    if (!pattern || !name) {
        return false;
    }
    return name_match(std::string(pattern), std::string(name));
}

bool Utility::name_match(std::string const &pattern, std::string const &name) {
    return name_match_(pattern, name);
}

bool Utility::name_match(wchar_t *pattern, wchar_t *name) {
    if (!pattern || !name) {
        return false;
    }
    return name_match(std::wstring(pattern), std::wstring(name));
}

bool Utility::name_match(std::wstring const &pattern, std::wstring const &name) {
    return name_match_(pattern, name);
}

} // namespace vfs
} // namespace zem

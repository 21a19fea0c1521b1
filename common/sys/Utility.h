// String conversions, ASCII case folding, trimming and the two path tests the
// policy matchers rest on. Every function is static, keeps no state, does not
// log and reports failure through its result (an empty string or false).
#pragma once

#include <string>

#include "../config.h"

namespace zem {
namespace vfs {

class ZEM_VFS_API Utility {
public:
    // Conversions between narrow and wide (UTF-16) text.
    //
    // a2w / w2a use the ANSI code page of the system, utf82w / w2utf8 use
    // UTF-8. The string forms convert up to the first NUL of their argument.
    // The pointer forms take a count of source units; all bits set (the value
    // -1) means "up to the terminating NUL". A null pointer, a count of 0, a
    // count the system conversion cannot take (above 2^31 - 1 and not -1) or
    // text the system rejects yields an empty string. With an explicit count
    // exactly that many source units are read, never more, and the result
    // ends at the first NUL of the converted text.
    static std::wstring a2w(std::string const &str);
    static std::wstring a2w(char const *str, uint64 length);
    static std::wstring utf82w(std::string const &str);
    static std::wstring utf82w(char const *str, uint64 length);
    static std::string w2a(std::wstring const &str);
    static std::string w2a(wchar_t const *str, uint64 length);
    static std::string w2utf8(std::wstring const &str);
    static std::string w2utf8(wchar_t const *str, uint64 length);

    // ASCII case folding through the runtime library's toupper / tolower.
    // Wide code units above 0xFF are never changed.
    static std::string to_upper(std::string const &str);
    static std::wstring to_upper(std::wstring const &str);
    static std::string to_lower(std::string const &str);
    static std::wstring to_lower(std::wstring const &str);

    // Trimming. The default set is blank, line feed, carriage return and tab;
    // the other forms take a NUL-terminated set (a null set trims nothing).
    // trim_left returns the rest of the string up to its first NUL; trim_right
    // keeps embedded NULs.
    static std::string trim_left(std::string const &str);
    static std::wstring trim_left(std::wstring const &str);
    static std::string trim_left(std::string const &str, char const *chars);
    static std::wstring trim_left(std::wstring const &str, wchar_t const *chars);
    static std::string trim_right(std::string const &str);
    static std::wstring trim_right(std::wstring const &str);
    static std::string trim_right(std::string const &str, char const *chars);
    static std::wstring trim_right(std::wstring const &str, wchar_t const *chars);

    // Is `path` the file named by `reference`, or inside the directory named
    // by it? A directory reference ends with a backslash. The path (not the
    // reference) is slash-normalised and stripped of a leading "\??\"; the
    // comparison ignores case. The wide form also treats a reference without
    // trailing backslash as a directory, and is false when either side is
    // empty. The narrow form is false for an empty reference unless the path
    // is empty too.
    static bool file_in_path(char const *reference, char const *path);
    static bool file_in_path(std::string const &reference, std::string const &path);
    static bool file_in_path(wchar_t const *reference, wchar_t const *path);
    static bool file_in_path(std::wstring const &reference, std::wstring const &path);

    // Does `pattern` occur in `name` as a run of whole path components?
    // Both sides are trimmed, upper-cased and slash-normalised first. There
    // are no wildcards. An empty pattern matches only an empty name.
    static bool name_match(char const *pattern, char const *name);
    static bool name_match(std::string const &pattern, std::string const &name);
    static bool name_match(wchar_t *pattern, wchar_t *name);
    static bool name_match(std::wstring const &pattern, std::wstring const &name);

    Utility() = delete;
};

} // namespace vfs
} // namespace zem

// The log file name expander.
#include "internal/LogFileName.h"

#include "../sys/internal/NoThrow.h"
#include "../sys/internal/Ntdll.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace zem {
namespace vfs {
namespace detail {

namespace {

// Replaces every `token` of `text`, left to right; inserted text is not
// scanned again. False when the result would exceed the longest file name.
[[nodiscard]] bool replace_all(std::string &text, char const *token, std::string const &value) {
    std::string::size_type at = text.find(token);
    if (at == std::string::npos)
        return text.size() <= max_log_file_name;
    std::size_t const token_length = std::strlen(token);
    std::string result;
    std::string::size_type from = 0;
    while (at != std::string::npos) {
        result.append(text, from, at - from).append(value);
        if (result.size() > max_log_file_name)
            return false;
        from = at + token_length;
        at = text.find(token, from);
    }
    result.append(text, from, std::string::npos);
    if (result.size() > max_log_file_name)
        return false;
    text.swap(result);
    return true;
}

std::string digits(int value, char const *format) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool disk_exists(std::string const &name) {
    return PathFileExistsA(name.c_str()) != FALSE;
}

bool disk_same_path(std::string const &a, std::string const &b) {
    std::vector<char> x(32768), y(32768);
    DWORD n = GetFullPathNameA(a.c_str(), DWORD(x.size()), x.data(), nullptr);
    DWORD m = GetFullPathNameA(b.c_str(), DWORD(y.size()), y.data(), nullptr);
    if (n == 0 || m == 0 || n >= x.size() || m >= y.size())
        return false;
    return std::strcmp(x.data(), y.data()) == 0;
}

} // namespace

LogFileProbes const &disk_log_file_probes() {
    static LogFileProbes const probes = {disk_exists, disk_same_path};
    return probes;
}

bool expand_log_file_name(std::string const &pattern, unsigned long pid, char const *image_path,
                          _SYSTEMTIME const &now, LogFileProbes const &probes, std::string &name) {
    name.clear();
    return detail::no_throw(false, [&] {
        std::string text = pattern;
        if (!replace_all(text, "%p", std::to_string(pid)))
            return false;
        if (image_path != nullptr) {
            std::string image = image_path;
            std::string::size_type slash = image.find_last_of("\\/");
            std::string directory = slash == std::string::npos ? "" : image.substr(0, slash);
            if (!replace_all(text, "%D", directory) ||
                !replace_all(text, "%N", image_base_name(image)))
                return false;
        }
        if (text.find("%i") != std::string::npos) {
            std::string first = text;
            std::string second = text;
            if (!replace_all(first, "%i", "0") || !replace_all(second, "%i", "1"))
                return false;
            if (probes.same_path(first, second)) {
                // The counter does not reach the file: every candidate names
                // the same file, which the search would never get past.
                text.swap(first);
            } else {
                for (unsigned long long i = 0;; ++i) {
                    std::string candidate = text;
                    if (!replace_all(candidate, "%i", std::to_string(i)))
                        return false;
                    if (!probes.exists(candidate)) {
                        text.swap(candidate);
                        break;
                    }
                }
            }
        }
        if (!replace_all(text, "%Y", digits(now.wYear, "%04d")) ||
            !replace_all(text, "%M", digits(now.wMonth, "%02d")) ||
            !replace_all(text, "%d", digits(now.wDay, "%02d")) ||
            !replace_all(text, "%H", digits(now.wHour, "%02d")) ||
            !replace_all(text, "%m", digits(now.wMinute, "%02d")) ||
            !replace_all(text, "%s", digits(now.wSecond, "%02d")))
            return false;
        name.swap(text);
        return true;
    });
}

bool expand_log_file_name(std::string const &pattern, unsigned long pid, char const *image_path,
                          _SYSTEMTIME const &now, std::string &name) {
    return expand_log_file_name(pattern, pid, image_path, now, disk_log_file_probes(), name);
}

} // namespace detail
} // namespace vfs
} // namespace zem

#include "RegexMatch.h"

#include "RegexPattern.h"

#include <climits>

namespace zem {
namespace vfs {

bool regex_search_icase(const std::wstring &pattern, const std::wstring &text) {
    if (pattern.size() > static_cast<size_t>(INT_MAX / 4) ||
        text.size() > static_cast<size_t>(INT_MAX / 4)) {
        return false;
    }
    CPatternT<wchar_t> compiled(pattern.c_str(), static_cast<int>(pattern.size()),
                                REGEX_IGNORECASE);
    CMatchResultT<wchar_t> result = compiled.Match(text.c_str(), static_cast<int>(text.size()));
    return result.GetSize() > 0 && result[0] == 1;
}

} // namespace vfs
} // namespace zem

// Entry point of the policy matchers into the regular-expression engine.
#pragma once

#include <string>

namespace zem {
namespace vfs {

// Compiles `pattern` with the ignore-case flag only (as the file and process
// matchers do, anew for every test) and reports whether it matches anywhere
// in `text`. An empty pattern matches every text; a pattern that cannot be
// used, or a search that exceeds its step budget, counts as no match.
bool regex_search_icase(const std::wstring &pattern, const std::wstring &text);

} // namespace vfs
} // namespace zem

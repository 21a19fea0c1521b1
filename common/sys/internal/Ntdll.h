// Library-internal part of the native helpers: the load-time look-up and the
// current image path the logger and the process configuration build on. Not
// installed.
#pragma once

#include <string>

#include "../../config.h"

namespace zem {
namespace vfs {
namespace detail {

// Looks up the optional system functions, reads the system directories and
// the 64-bit and redirection flags. The library's startup calls it after the
// logger has read its settings; the state is also built by the first helper
// that needs it, and never changes afterwards.
void load_os_functions();

// The image path of the current process as GetProcessFileNameA gives it;
// false (and `path` empty) when it cannot be read.
[[nodiscard]] bool current_image_path(std::string &path);

// The file name of an image path without its directory (text after the last
// "\" or "/") and without its extension (cut before the last ".").
std::string image_base_name(std::string const &path);

} // namespace detail
} // namespace vfs
} // namespace zem

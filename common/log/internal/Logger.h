// Library-internal part of the logger: its start at load, the thread-local
// slot of the suppression counters, and the level-name rule behind the
// registry settings (exported for the library's tests only); the file-name
// rule is in LogFileName.h. Not installed.
#pragma once

#include <string>

#include "../../config.h"
#include "LogFileName.h"

namespace zem {
namespace vfs {
namespace detail {

// Builds the process-wide logger and applies "LogLevel", "LogDebug",
// "LogFile" and "LogPID" in this order, each from the program's own key and
// else from the common key. Called once by the library's startup, after the
// slim reader/writer lock look-up; calling it again changes nothing.
void start_logger();

// The thread-local slot of the suppression counters: allocated on process
// attach (false when none is left, which fails the load), freed on detach.
[[nodiscard]] bool alloc_thread_log_slot();
void free_thread_log_slot();

// The level-name rule: one of the eight names in any ASCII case gives its
// number; an empty text gives -1; otherwise the whole text as a decimal
// number (leading blanks and a sign allowed), -1 when anything follows it or
// it does not fit an int. A null text gives -1.
ZEM_VFS_API int parse_log_level(char const *text);

} // namespace detail
} // namespace vfs
} // namespace zem

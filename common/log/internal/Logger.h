// Library-internal part of the logger: its start at load, the thread-local
// slot of the suppression counters, and the two rules behind the registry
// settings (exported for the library's tests only). Not installed.
#pragma once

#include <string>

#include "../../config.h"

struct _SYSTEMTIME;

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
bool alloc_thread_log_slot();
void free_thread_log_slot();

// The level-name rule: one of the eight names in any ASCII case gives its
// number; an empty text gives -1; otherwise the whole text as a decimal
// number (leading blanks and a sign allowed), -1 when anything follows it or
// it does not fit an int. A null text gives -1.
ZEM_VFS_API int parse_log_level(char const *text);

// The longest log file name a pattern may produce; a longer one leaves the
// logger without a file.
const std::size_t max_log_file_name = 32767;

// Resolves a "LogFile" pattern: every "%p" becomes `pid`; when `image_path`
// is not null every "%D" its directory and every "%N" its file name without
// extension; with "%i" the first counter 0, 1, 2, ... whose name names no
// existing file (a pattern whose counter vanishes when the path is normalised,
// as in "x\%i\..\y.log", takes 0); then "%Y", "%M", "%d", "%H", "%m", "%s"
// from `now`. A token's inserted text is not scanned again by that token.
// False, with `name` empty, when the name would grow beyond
// max_log_file_name.
ZEM_VFS_API bool expand_log_file_name(std::string const &pattern, unsigned long pid,
                                      char const *image_path, _SYSTEMTIME const &now,
                                      std::string &name);

} // namespace detail
} // namespace vfs
} // namespace zem

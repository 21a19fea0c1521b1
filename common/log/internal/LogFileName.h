// The log file name expander: turns a "LogFile" pattern into a file name. It
// asks the file system two questions only, through the probes it is given,
// so that its token rules hold whatever the disk holds. Not installed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "../../config.h"

struct _SYSTEMTIME;

namespace zem {
namespace vfs {
namespace detail {

// The longest log file name a pattern may produce; a longer one leaves the
// logger without a file.
const std::size_t max_log_file_name = 32767;

// What the "%i" counter search needs to know of the file system.
struct LogFileProbes {
    // Does a file or folder of this name exist?
    std::function<bool(std::string const &)> exists;
    // Do the two names denote the same path once "." and ".." are resolved?
    std::function<bool(std::string const &, std::string const &)> same_path;
};

// The probes that ask the real file system.
ZEM_VFS_API LogFileProbes const &disk_log_file_probes();

// Resolves a "LogFile" pattern: every "%p" becomes `pid`; when `image_path`
// is not null every "%D" its directory and every "%N" its file name without
// extension; with "%i" the first counter 0, 1, 2, ... whose name the probes
// say does not exist (a pattern whose counter vanishes when the path is
// normalised, as in "x\%i\..\y.log", takes 0); then "%Y", "%M", "%d", "%H",
// "%m", "%s" from `now`. A token's inserted text is not scanned again by that
// token. False, with `name` empty, when the name would grow beyond
// max_log_file_name.
[[nodiscard]] ZEM_VFS_API bool expand_log_file_name(std::string const &pattern, unsigned long pid,
                                                    char const *image_path, _SYSTEMTIME const &now,
                                                    LogFileProbes const &probes, std::string &name);

// The same, asking the real file system.
[[nodiscard]] ZEM_VFS_API bool expand_log_file_name(std::string const &pattern, unsigned long pid,
                                                    char const *image_path, _SYSTEMTIME const &now,
                                                    std::string &name);

} // namespace detail
} // namespace vfs
} // namespace zem

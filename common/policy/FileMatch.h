// The file matcher: decides whether a file path, accessed with a given mode,
// falls under a file policy.
#pragma once

#include "ProcessMatch.h"

#include <memory>
#include <string>

namespace zem {
namespace vfs {

namespace detail {
struct FilePattern;
struct FileMatchAccess;
} // namespace detail

// One pattern selects the files (UTF-8; paths may carry the NT prefix "\??\"):
//   empty                   every file
//   C:\dir\;D:\x.txt        a ";" list of files and directories (a trailing
//                           "\" covers everything beneath), any case, "/"
//                           in the path same as "\"
//   _:EXT                   an extended pattern, tested on the path without
//                           a leading "\??\"
//   $:PROC:EXT              EXT applies only while the current process
//                           matches the process pattern PROC
// Extended patterns:
//   disk:remote, disk:cdrom, disk:usb   the drive of the path is of that type
//   disk:unc                a network-share path (UNC\server\share\...)
//   disk:unc:EXT            a share path whose rest matches EXT (also the
//                           offline-files cache \Device\Csc\.\.\...)
//   regex:EXPR, regex:!EXPR the expression found anywhere in the path,
//                           ignoring case (with "!" inverted)
//   !:EXT                   EXT does not match
//   anything else           a file list as above
// A match built with a minimum size tests only the size: files of at least
// that many bytes. The mode is a mask of access bits: a caller whose mode
// shares no bit with it never matches.
//
// Matching keeps no state; concurrent calls on one object are safe. The
// pattern is prepared once when it is set (wide references, compiled
// expression), so the common case costs one conversion of the path and the
// path tests.
class ZEM_VFS_API FileMatch : public PolicyMatch {
public:
    FileMatch();
    // A null pattern is stored as "".
    FileMatch(char const *pattern, int mode);
    // A size test: files of at least `min_size` bytes.
    FileMatch(uint64 min_size, int mode);
    FileMatch(FileMatch const &other);
    FileMatch &operator=(FileMatch const &other);
    ~FileMatch();

    std::string const &file() const { return pattern_; }
    int mode() const { return mode_; }
    uint64 min_size() const { return min_size_; }

    bool match_file(char const *file, int mode) override;
    // pattern (narrow text), min size (unsigned 64-bit), mode (32-bit).
    bool serialize_match(Stream &s) const override;
    bool load_match(Stream &s) override;

private:
    friend struct detail::FileMatchAccess;
    void prepare();
    bool size_test(char const *file) const;

    std::string pattern_;
    uint64 min_size_;
    int mode_;
    // Derived from pattern_ alone; immutable once built, shared by copies.
    std::shared_ptr<detail::FilePattern const> prepared_;
};

} // namespace vfs
} // namespace zem

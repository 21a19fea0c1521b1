// The running Windows version, classified once into a small code.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {

// The version code: 0 not recognised (older, or the version could not be
// read), 1 Windows Server 2003, 2 Vista, 3 Server 2008 / 2008 R2, 4 Windows
// 7, 5 Windows 8 / Server 2012 (and any later version whose true number
// cannot be read), 6 Windows 8.1 / Server 2012 R2, 7 Windows 10, 8 Windows
// 11 (build 22000 and later).
class ZEM_VFS_API osver {
public:
    // The singleton, classified on first call, when it also writes one
    // debug record describing the system. Built on first use and destroyed
    // when the library unloads.
    static osver *instance();

    int get() { return code_; }

    osver(osver const &) = delete;
    osver &operator=(osver const &) = delete;

private:
    osver();
    ~osver();

    int code_;
};

} // namespace vfs
} // namespace zem

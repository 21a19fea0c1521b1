// Handle copies shared by the classes that own one Windows handle and give
// each copy of themselves a duplicate of it.
#pragma once

#include <windows.h>

namespace zem {
namespace vfs {
namespace detail {

// A handle of this process's own to the same object, with the same access;
// `none` (null or INVALID_HANDLE_VALUE, whichever the caller uses for "no
// handle") when `handle` is none or the system refuses, GetLastError() then
// telling why.
inline HANDLE duplicate_handle(HANDLE handle, HANDLE none) {
    if (handle == none || handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return none;
    HANDLE self = GetCurrentProcess();
    HANDLE copy = none;
    if (!DuplicateHandle(self, handle, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return none;
    return copy;
}

} // namespace detail
} // namespace vfs
} // namespace zem

// Build-wide definitions shared by every public header of zem.vfs.common.
#pragma once

#include <cstdint>

// Every exported class and function goes through this one macro: it exports
// while the DLL itself is built and imports for every client.
#if defined(ZEM_VFS_BUILDING)
#define ZEM_VFS_API __declspec(dllexport)
#else
#define ZEM_VFS_API __declspec(dllimport)
#endif

namespace zem {
namespace vfs {

typedef std::uint64_t uint64;
typedef std::int64_t int64;

} // namespace vfs
} // namespace zem

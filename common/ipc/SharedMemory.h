// A named block of memory, backed by the paging file, that processes of every
// integrity level can map.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {

// Creates the mapping, or opens the existing one of that name, with a null
// DACL and the low mandatory label, and maps a read-write view of its first
// `size` bytes. An existing mapping keeps the size it was created with: a
// larger `size` than that gives no view. A null name makes an unnamed
// mapping; a size of 0 makes none. The object owns the view and the mapping
// handle and gives both up when destroyed. The bytes are not synchronised:
// combine the memory with a Mutex or an event.
//
// Not copied (a copy would unmap the view twice); swap() and moves hand the
// view and the mapping over.
class ZEM_VFS_API SharedMemory {
public:
    SharedMemory(uint64 size, wchar_t const *name);
    SharedMemory(SharedMemory &&other) noexcept;
    SharedMemory &operator=(SharedMemory &&other) noexcept;
    ~SharedMemory();
    SharedMemory(SharedMemory const &) = delete;
    SharedMemory &operator=(SharedMemory const &) = delete;

    // The address of the view; null when the mapping or the view failed.
    void *get() { return view_; }
    void swap(SharedMemory &other) noexcept;

private:
    void release();

    void *mapping_;
    void *view_;
};

} // namespace vfs
} // namespace zem

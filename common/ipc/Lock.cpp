#include "Lock.h"

#include <windows.h>

namespace zem {
namespace vfs {

namespace {

CRITICAL_SECTION *section(unsigned char *storage) {
    return reinterpret_cast<CRITICAL_SECTION *>(storage);
}

} // namespace

Lock::Lock() {
    static_assert(sizeof(section_) == sizeof(CRITICAL_SECTION), "Lock storage size");
    static_assert(alignof(Lock) >= alignof(CRITICAL_SECTION), "Lock storage alignment");
    InitializeCriticalSection(section(section_));
}

Lock::~Lock() {
    DeleteCriticalSection(section(section_));
}

void Lock::lock() {
    EnterCriticalSection(section(section_));
}

void Lock::unlock() {
    LeaveCriticalSection(section(section_));
}

auto_lock::auto_lock(Lock &lock) : lock_(&lock) {
    lock_->lock();
}

auto_lock::~auto_lock() {
    lock_->unlock();
}

} // namespace vfs
} // namespace zem

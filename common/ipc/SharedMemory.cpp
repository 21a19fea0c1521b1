#include "SharedMemory.h"

#include <windows.h>

#include <limits>
#include <utility>

#include "../sys/Security.h"
#include "../sys/internal/Handles.h"

namespace zem {
namespace vfs {

SharedMemory::SharedMemory(uint64 size, wchar_t const *name) : mapping_(nullptr), view_(nullptr) {
    void *descriptor = ntdll::security::CreateLowMandatorySecurityObject();
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE,
                                  static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), name);
    ntdll::security::FreeSecurityObject(descriptor);
    if (mapping_ != nullptr && size <= std::numeric_limits<SIZE_T>::max()) {
        view_ = MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, static_cast<SIZE_T>(size));
    }
}

SharedMemory::SharedMemory(SharedMemory &&other) noexcept : mapping_(nullptr), view_(nullptr) {
    swap(other);
}

SharedMemory &SharedMemory::operator=(SharedMemory &&other) noexcept {
    if (this != &other) {
        release();
        swap(other);
    }
    return *this;
}

SharedMemory::~SharedMemory() {
    release();
}

void SharedMemory::swap(SharedMemory &other) noexcept {
    void *mapping = mapping_;
    void *view = view_;
    mapping_ = other.mapping_;
    view_ = other.view_;
    other.mapping_ = mapping;
    other.view_ = view;
}

void SharedMemory::release() {
    detail::MappedView view(std::exchange(view_, nullptr));
    detail::close_handle(mapping_, nullptr);
}

} // namespace vfs
} // namespace zem

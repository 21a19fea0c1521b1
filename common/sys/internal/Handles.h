// The one owner of every Windows handle the library holds: kernel objects,
// service-manager handles, modules, registry keys, mapped views and
// LocalAlloc'ed memory. Each kind is a
// traits class (its empty value, what counts as valid, how it closes) and a
// one-line alias of `UniqueHandle`.
//
// Closing never changes the thread's last-error code, so an owner going out of
// scope between a failed call and the caller's GetLastError() is harmless.
#pragma once

#include <windows.h>

#include <utility>

namespace zem {
namespace vfs {
namespace detail {

// Keeps the thread's last-error code across the calls of a scope.
class LastErrorKeeper {
public:
    LastErrorKeeper() : error_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(error_); }
    LastErrorKeeper(LastErrorKeeper const &) = delete;
    LastErrorKeeper &operator=(LastErrorKeeper const &) = delete;

private:
    DWORD error_;
};

// Owns one handle; closes it exactly once (on reset, assignment or
// destruction). Move-only.
template <class Traits> class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept : handle_(Traits::none()) {}
    explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle &&other) noexcept : handle_(other.release()) {}
    UniqueHandle &operator=(UniqueHandle &&other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(UniqueHandle const &) = delete;
    UniqueHandle &operator=(UniqueHandle const &) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return Traits::valid(handle_); }

    // Gives the handle up without closing it.
    [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Traits::none()); }

    // Closes the handle held (if valid) and takes `handle`.
    void reset(Handle handle = Traits::none()) noexcept {
        Handle old = std::exchange(handle_, handle);
        if (Traits::valid(old)) {
            LastErrorKeeper keep;
            Traits::close(old);
        }
    }

    // For an API that returns the handle through a pointer: closes what is
    // held and hands out the empty slot.
    Handle *put() noexcept {
        reset();
        return &handle_;
    }

private:
    Handle handle_;
};

// Kernel objects: files, pipes, events, mutexes, threads, processes, tokens,
// mappings, ports. Neither null nor INVALID_HANDLE_VALUE is a handle to close;
// `None` is what the owner reads as empty (the value its API returns on
// failure: null for most, INVALID_HANDLE_VALUE for CreateFile and pipes).
template <bool FileStyle> struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle none() noexcept { return FileStyle ? INVALID_HANDLE_VALUE : nullptr; }
    static bool valid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Handle h) noexcept { ::CloseHandle(h); }
};

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static Handle none() noexcept { return nullptr; }
    static bool valid(Handle h) noexcept { return h != nullptr; }
    static void close(Handle h) noexcept { ::CloseServiceHandle(h); }
};

struct ModuleTraits {
    using Handle = HMODULE;
    static Handle none() noexcept { return nullptr; }
    static bool valid(Handle h) noexcept { return h != nullptr; }
    static void close(Handle h) noexcept { ::FreeLibrary(h); }
};

struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle none() noexcept { return nullptr; }
    static bool valid(Handle h) noexcept { return h != nullptr; }
    static void close(Handle h) noexcept { ::RegCloseKey(h); }
};

// A view of a file mapping, unmapped rather than closed.
struct MappedViewTraits {
    using Handle = void *;
    static Handle none() noexcept { return nullptr; }
    static bool valid(Handle h) noexcept { return h != nullptr; }
    static void close(Handle h) noexcept { ::UnmapViewOfFile(h); }
};

template <class T> struct LocalMemoryTraits {
    using Handle = T *;
    static Handle none() noexcept { return nullptr; }
    static bool valid(Handle h) noexcept { return h != nullptr; }
    static void close(Handle h) noexcept { ::LocalFree(h); }
};

using KernelHandle = UniqueHandle<KernelHandleTraits<false>>; // empty is null
using FileHandle = UniqueHandle<KernelHandleTraits<true>>;    // empty is INVALID_HANDLE_VALUE
using ServiceHandle = UniqueHandle<ServiceHandleTraits>;
using ModuleHandle = UniqueHandle<ModuleTraits>;
using RegistryKey = UniqueHandle<RegistryKeyTraits>;
using MappedView = UniqueHandle<MappedViewTraits>;
template <class T> using LocalMemory = UniqueHandle<LocalMemoryTraits<T>>;

// Closes a raw handle kept in an exported class's `void *` member and leaves
// the member empty (`none`).
inline void close_handle(void *&member, void *none) noexcept {
    KernelHandle owned(std::exchange(member, none));
}

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

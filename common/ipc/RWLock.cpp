#include "RWLock.h"

#include "../sys/internal/Handles.h"
#include "internal/SlimLock.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace zem {
namespace vfs {

namespace {

typedef void(WINAPI *SlimFunction)(PSRWLOCK);

// The slim lock functions of kernel32, null until looked up or when missing.
// Every thread that runs the look-up stores the same values, so a race
// between two of them is harmless; all are constant-initialised and usable
// before any static constructor of the library has run.
std::atomic<SlimFunction> g_initialize{nullptr};
std::atomic<SlimFunction> g_acquire_shared{nullptr};
std::atomic<SlimFunction> g_release_shared{nullptr};
std::atomic<SlimFunction> g_acquire_exclusive{nullptr};
std::atomic<SlimFunction> g_release_exclusive{nullptr};
std::atomic<bool> g_slim{false};
std::atomic<bool> g_looked_up{false};

// The address at which new_fallback_rwlock is building its object.
std::atomic<void *> g_forced_fallback{nullptr};

SlimFunction find(HMODULE module, char const *name) {
    FARPROC address = module ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<SlimFunction>(reinterpret_cast<void (*)()>(address));
}

SlimFunction slim(std::atomic<SlimFunction> const &function) {
    // Stored before any slim RWLock was built, and that object reached this
    // thread with the synchronisation that published it.
    return function.load(std::memory_order_relaxed);
}

LONG reader_count(LONG volatile *count) {
    return InterlockedCompareExchange(count, 0, 0);
}

} // namespace

namespace detail {

void load_slim_lock_functions() {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    SlimFunction init = find(kernel32, "InitializeSRWLock");
    SlimFunction acquire_shared = find(kernel32, "AcquireSRWLockShared");
    SlimFunction release_shared = find(kernel32, "ReleaseSRWLockShared");
    SlimFunction acquire_exclusive = find(kernel32, "AcquireSRWLockExclusive");
    SlimFunction release_exclusive = find(kernel32, "ReleaseSRWLockExclusive");
    g_initialize.store(init, std::memory_order_release);
    g_acquire_shared.store(acquire_shared, std::memory_order_release);
    g_release_shared.store(release_shared, std::memory_order_release);
    g_acquire_exclusive.store(acquire_exclusive, std::memory_order_release);
    g_release_exclusive.store(release_exclusive, std::memory_order_release);
    // The slim lock is used only when every function is there: calling a
    // missing one would crash where the fallback works.
    g_slim.store(init && acquire_shared && release_shared && acquire_exclusive && release_exclusive,
                 std::memory_order_release);
    g_looked_up.store(true, std::memory_order_release);
}

bool slim_lock_available() {
    if (!g_looked_up.load(std::memory_order_acquire)) {
        load_slim_lock_functions();
    }
    return g_slim.load(std::memory_order_acquire);
}

RWLock *new_fallback_rwlock() {
    void *memory = ::operator new(sizeof(RWLock), std::nothrow);
    if (!memory) {
        return nullptr;
    }
    // One forced construction at a time; other threads building ordinary
    // locks meanwhile are at other addresses and unaffected.
    void *expected = nullptr;
    while (!g_forced_fallback.compare_exchange_weak(expected, memory, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
        expected = nullptr;
        Sleep(0);
    }
    RWLock *lock = new (memory) RWLock();
    g_forced_fallback.store(nullptr, std::memory_order_release);
    return lock;
}

} // namespace detail

// The fallback for systems without the slim lock. Writers exclude each other
// through the critical section, which they hold from lock_write to
// unlock_write; readers enter it only to count themselves in, so a waiting
// writer keeps new readers out. The count is changed only by interlocked
// operations; the event is set when it falls to 0 and wakes a waiting writer.
struct RWLock::Fallback {
    detail::KernelHandle no_readers; // manual-reset; empty if it could not be created
    LONG volatile readers;
    CRITICAL_SECTION section;
};

RWLock::RWLock() : fallback_(nullptr), word_(nullptr) {
    bool forced = g_forced_fallback.load(std::memory_order_relaxed) == this;
    if (!forced && detail::slim_lock_available()) {
        slim(g_initialize)(reinterpret_cast<PSRWLOCK>(&word_));
        return;
    }
    fallback_ = new (std::nothrow) Fallback;
    if (!fallback_) {
        // A lock that does not exclude would corrupt whatever it guards, and
        // nothing may be thrown to the caller: end the process.
        std::abort();
    }
    fallback_->readers = 0;
    InitializeCriticalSection(&fallback_->section);
    fallback_->no_readers.reset(CreateEventW(nullptr, TRUE, TRUE, nullptr));
}

RWLock::~RWLock() {
    if (fallback_) {
        DeleteCriticalSection(&fallback_->section);
        delete fallback_;
        fallback_ = nullptr;
    }
}

void RWLock::lock_read() {
    if (!fallback_) {
        slim(g_acquire_shared)(reinterpret_cast<PSRWLOCK>(&word_));
        return;
    }
    EnterCriticalSection(&fallback_->section);
    if (InterlockedIncrement(&fallback_->readers) == 1 && fallback_->no_readers) {
        ResetEvent(fallback_->no_readers.get());
    }
    LeaveCriticalSection(&fallback_->section);
}

void RWLock::unlock_read() {
    if (!fallback_) {
        slim(g_release_shared)(reinterpret_cast<PSRWLOCK>(&word_));
        return;
    }
    if (InterlockedDecrement(&fallback_->readers) == 0 && fallback_->no_readers) {
        SetEvent(fallback_->no_readers.get());
    }
}

void RWLock::lock_write() {
    if (!fallback_) {
        slim(g_acquire_exclusive)(reinterpret_cast<PSRWLOCK>(&word_));
        return;
    }
    EnterCriticalSection(&fallback_->section);
    // Holding the section, no reader can count itself in any more (except on
    // this thread), so the count only falls. The count decides, not the event:
    // a reader that leaves just as another arrives may set the event after
    // the newcomer has reset it, and the event alone would then let this
    // writer in beside a reader.
    while (reader_count(&fallback_->readers) != 0) {
        if (!fallback_->no_readers) {
            Sleep(1);
            continue;
        }
        ResetEvent(fallback_->no_readers.get());
        if (reader_count(&fallback_->readers) == 0) {
            break;
        }
        if (WaitForSingleObject(fallback_->no_readers.get(), INFINITE) == WAIT_FAILED) {
            Sleep(1);
        }
    }
}

void RWLock::unlock_write() {
    if (!fallback_) {
        slim(g_release_exclusive)(reinterpret_cast<PSRWLOCK>(&word_));
        return;
    }
    LeaveCriticalSection(&fallback_->section);
}

} // namespace vfs
} // namespace zem

#include "Thread.h"

#include "../sys/internal/Handles.h"

#include <windows.h>

#include <atomic>

namespace zem {
namespace vfs {

namespace {

typedef DWORD(WINAPI *GetThreadIdFunction)(HANDLE);
typedef LONG(NTAPI *NtQueryInformationThreadFunction)(HANDLE, int, PVOID, ULONG, PULONG);

// THREAD_BASIC_INFORMATION of the native API (information class 0).
struct ThreadBasicInformation {
    LONG exit_status;
    PVOID teb;
    HANDLE unique_process; // CLIENT_ID
    HANDLE unique_thread;
    ULONG_PTR affinity_mask;
    LONG priority;
    LONG base_priority;
};

// GetThreadId is looked up, not imported, so that the library loads where
// kernel32 lacks it; the native query serves there.
// TODO(ipc): use ntdll::GetThreadId once the OS-information helpers, which
// look it up while the library loads, are in the library.
struct ThreadIdFunctions {
    GetThreadIdFunction get_thread_id;
    NtQueryInformationThreadFunction query_information_thread;
};

template <typename Function> Function find(wchar_t const *module_name, char const *name) {
    HMODULE module = GetModuleHandleW(module_name);
    FARPROC address = module ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

std::atomic<bool> g_looked_up{false};
std::atomic<GetThreadIdFunction> g_get_thread_id{nullptr};
std::atomic<NtQueryInformationThreadFunction> g_query_information_thread{nullptr};

DWORD thread_id_of(HANDLE thread) {
    if (!g_looked_up.load(std::memory_order_acquire)) {
        // Racing threads store the same values.
        g_get_thread_id.store(find<GetThreadIdFunction>(L"kernel32.dll", "GetThreadId"),
                              std::memory_order_release);
        g_query_information_thread.store(
            find<NtQueryInformationThreadFunction>(L"ntdll.dll", "NtQueryInformationThread"),
            std::memory_order_release);
        g_looked_up.store(true, std::memory_order_release);
    }
    if (GetThreadIdFunction get = g_get_thread_id.load(std::memory_order_acquire)) {
        return get(thread);
    }
    if (NtQueryInformationThreadFunction query =
            g_query_information_thread.load(std::memory_order_acquire)) {
        ThreadBasicInformation info = {};
        if (query(thread, 0, &info, sizeof(info), nullptr) >= 0) {
            return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(info.unique_thread));
        }
    }
    return 0;
}

bool is_pseudo_handle(void *handle) {
    return handle == GetCurrentThread();
}

// An exception that leaves the body meets this noexcept frame and ends the
// process here rather than unwinding into the system's thread start.
int run_body(Thread *thread) noexcept {
    return thread->proc();
}

} // namespace

Thread::Thread(void *handle) : handle_(handle), auto_delete_(false) {}

Thread::~Thread() {
    if (is_pseudo_handle(handle_)) {
        handle_ = nullptr;
    }
    detail::close_handle(handle_, nullptr);
}

unsigned long __stdcall Thread::ThreadProc(void *object) {
    Thread *thread = static_cast<Thread *>(object);
    int result = run_body(thread);
    if (thread->auto_delete_) {
        delete thread;
    }
    return static_cast<unsigned long>(result);
}

bool Thread::perform() {
    if (handle_) {
        return false;
    }
    // Created suspended and resumed only once the handle is stored: with
    // auto-delete the thread may end and free this object as soon as it runs.
    HANDLE thread = CreateThread(nullptr, 0, &Thread::ThreadProc, this, CREATE_SUSPENDED, nullptr);
    if (!thread) {
        return false;
    }
    handle_ = thread;
    if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
        // The body never ran: end the thread and give the object back as it was.
        TerminateThread(thread, 0);
        WaitForSingleObject(thread, INFINITE);
        detail::close_handle(handle_, nullptr);
        return false;
    }
    return true;
}

int Thread::join() {
    if (!handle_) {
        return -1;
    }
    if (is_pseudo_handle(handle_) || thread_id_of(handle_) == GetCurrentThreadId()) {
        return -1;
    }
    if (WaitForSingleObject(handle_, INFINITE) == WAIT_FAILED) {
        return -1;
    }
    DWORD code = 0;
    if (!GetExitCodeThread(handle_, &code)) {
        return -1;
    }
    return static_cast<int>(code);
}

void *Thread::detach() {
    void *handle = handle_;
    handle_ = nullptr;
    return handle;
}

void Thread::attach(void *handle) {
    handle_ = handle;
}

void Thread::set_auto_delete() {
    auto_delete_ = true;
}

int Thread::id() const {
    return handle_ ? static_cast<int>(thread_id_of(handle_)) : 0;
}

DummyThread::DummyThread() : Thread(nullptr) {}

int DummyThread::proc() {
    return 0;
}

CurrentThread::CurrentThread() : Thread(GetCurrentThread()) {}

int CurrentThread::proc() {
    return 0;
}

} // namespace vfs
} // namespace zem

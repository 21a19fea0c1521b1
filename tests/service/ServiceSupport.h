// Helpers of the service tests: service handles and states, and a copy of
// child_service.exe installed as a service of a unique name that is always
// removed again. Handles, child processes and folders: support/ChildProcess.h.
#pragma once

#include "support/ChildProcess.h"

#include <windows.h>

#include <winsvc.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zem {
namespace vfs {
namespace test {

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ScHandle() {
        if (handle_)
            CloseServiceHandle(handle_);
    }
    ScHandle(ScHandle const &) = delete;
    ScHandle &operator=(ScHandle const &) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

// The status of a service by name; false when it cannot be read.
inline bool query_service(std::wstring const &name, SERVICE_STATUS_PROCESS &status) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.get())
        return false;
    ScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    DWORD needed = 0;
    return service.get() &&
           QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE *>(&status), sizeof status, &needed);
}

// Waits up to `ms` for the service to reach `state`.
inline bool wait_state(std::wstring const &name, DWORD state, DWORD ms) {
    ULONGLONG const end = GetTickCount64() + ms;
    for (;;) {
        SERVICE_STATUS_PROCESS status;
        if (query_service(name, status) && status.dwCurrentState == state)
            return true;
        if (GetTickCount64() > end)
            return false;
        Sleep(50);
    }
}

// A copy of child_service.exe named after a service name unique to this run,
// in a folder of its own (whose name may hold a blank), with the words of
// `options` in its configuration file. The destructor ends a process left
// running, removes the registration and then the folder, whatever the test
// did before.
class TestService {
public:
    TestService(std::wstring const &options, std::wstring const &folder_tag = L"zemsvc")
        : folder_(folder_tag) {
        static unsigned counter = 0;
        name_ = L"zemsvc_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                std::to_wstring(GetTickCount()) + L"_" + std::to_wstring(++counter);
        ready_ = !folder_.path().empty() && copy_child(L"child_service", folder_.path(), exe()) &&
                 write_file(folder_.file(name_ + L".cfg"), narrow(options));
    }
    ~TestService() {
        kill();
        ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ScHandle service(manager.get() ? OpenServiceW(manager.get(), name_.c_str(), DELETE)
                                       : nullptr);
        if (service.get())
            DeleteService(service.get());
    }
    TestService(TestService const &) = delete;
    TestService &operator=(TestService const &) = delete;

    bool ready() const { return ready_; }
    std::wstring const &name() const { return name_; }
    std::wstring exe() const { return name_ + L".exe"; }
    std::wstring path() const { return folder_.file(exe()); }
    TempFolder const &folder() const { return folder_; }
    // What the service wrote so far.
    std::string log() const { return read_file(folder_.file(name_ + L".log")); }
    // Runs the copy with `arguments` (install, ...) and returns its output.
    ChildResult run(std::wstring const &arguments) const { return run_child(path(), arguments); }

    // Ends the service's process if it still runs and waits for it.
    void kill() {
        SERVICE_STATUS_PROCESS status;
        if (!query_service(name_, status) || status.dwProcessId == 0)
            return;
        Handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
        if (process.valid()) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 10000);
        }
        // Until the service control manager has noticed (or, for a service
        // marked for deletion, has removed the registration).
        for (int i = 0;
             i < 100 && query_service(name_, status) && status.dwCurrentState != SERVICE_STOPPED;
             ++i)
            Sleep(50);
    }

private:
    TempFolder folder_;
    std::wstring name_;
    bool ready_ = false;
};

} // namespace test
} // namespace vfs
} // namespace zem

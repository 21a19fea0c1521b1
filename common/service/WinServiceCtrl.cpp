#include "WinServiceCtrl.h"

#include "../sys/internal/Handles.h"

#include <windows.h>

#include <winsvc.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace zem {
namespace vfs {

namespace {

// stop() gives up this many milliseconds after its first query.
ULONGLONG const kStopLimit = 30000;

[[nodiscard]] bool query(SC_HANDLE service, SERVICE_STATUS_PROCESS &status) {
    SERVICE_STATUS_PROCESS current;
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&current),
                              sizeof current, &needed)) {
        return false;
    }
    status = current;
    return true;
}

// A tenth of the wait hint, at least one and at most ten seconds.
DWORD poll_interval(DWORD wait_hint) {
    return std::min<DWORD>(std::max<DWORD>(wait_hint / 10, 1000), 10000);
}

ULONGLONG since(ULONGLONG tick) {
    return GetTickCount64() - tick;
}

} // namespace

WinServiceCtrl::WinServiceCtrl(wchar_t const *name) : name_(name != nullptr ? name : L"") {
    message_[0] = '\0';
}

void WinServiceCtrl::error(char const *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int written = std::vsnprintf(message_, sizeof message_, format, arguments);
    va_end(arguments);
    if (written < 0) {
        message_[0] = '\0';
    }
}

#define ZEM_SERVICE_FAIL(call) error("%s fail(0x%x)", call, static_cast<unsigned>(GetLastError()))

bool WinServiceCtrl::install(wchar_t const *display_name, wchar_t *description) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        if (length != 0 && GetLastError() == ERROR_SUCCESS) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
        ZEM_SERVICE_FAIL("GetModuleFileName");
        return false;
    }
    detail::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ZEM_SERVICE_FAIL("OpenSCManager");
        return false;
    }
    // Quoted: unquoted, "C:\Program Files\x.exe" would first start
    // "C:\Program.exe" as LocalSystem.
    std::wstring image = L"\"";
    image.append(path, length);
    image += L"\"";
    detail::ServiceHandle service(
        CreateServiceW(manager.get(), name_.c_str(), display_name, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        ZEM_SERVICE_FAIL("CreateService");
        return false;
    }
    if (description != nullptr) {
        SERVICE_DESCRIPTIONW text;
        text.lpDescription = description;
        ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text);
    }
    return true;
}

bool WinServiceCtrl::uninstall() {
    detail::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ZEM_SERVICE_FAIL("OpenSCManager");
        return false;
    }
    detail::ServiceHandle service(OpenServiceW(manager.get(), name_.c_str(), DELETE));
    if (!service) {
        ZEM_SERVICE_FAIL("OpenService");
        return false;
    }
    if (!DeleteService(service.get())) {
        ZEM_SERVICE_FAIL("DeleteService");
        return false;
    }
    return true;
}

bool WinServiceCtrl::start() {
    detail::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ZEM_SERVICE_FAIL("OpenSCManager");
        return false;
    }
    detail::ServiceHandle service(
        OpenServiceW(manager.get(), name_.c_str(), SERVICE_QUERY_STATUS | SERVICE_START));
    if (!service) {
        ZEM_SERVICE_FAIL("OpenService");
        return false;
    }
    SERVICE_STATUS_PROCESS status;
    if (!query(service.get(), status)) {
        ZEM_SERVICE_FAIL("QueryServiceStatusEx");
        return false;
    }
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
        return true;
    }
    if (status.dwCurrentState == SERVICE_STOP_PENDING) {
        stop();
    }
    if (!StartServiceW(service.get(), 0, nullptr)) {
        ZEM_SERVICE_FAIL("StartService");
        return false;
    }
    if (!query(service.get(), status)) {
        ZEM_SERVICE_FAIL("QueryServiceStatusEx");
        return false;
    }
    ULONGLONG tick = GetTickCount64();
    DWORD checkpoint = status.dwCheckPoint;
    while (status.dwCurrentState == SERVICE_START_PENDING) {
        Sleep(poll_interval(status.dwWaitHint));
        if (!query(service.get(), status)) {
            ZEM_SERVICE_FAIL("QueryServiceStatusEx");
            break;
        }
        if (status.dwCheckPoint > checkpoint) {
            checkpoint = status.dwCheckPoint;
            tick = GetTickCount64();
        } else if (since(tick) > status.dwWaitHint) {
            error("timeout");
            break;
        }
    }
    return status.dwCurrentState == SERVICE_RUNNING;
}

bool WinServiceCtrl::stop() {
    detail::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ZEM_SERVICE_FAIL("OpenSCManager");
        return false;
    }
    detail::ServiceHandle service(
        OpenServiceW(manager.get(), name_.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        ZEM_SERVICE_FAIL("OpenService");
        return false;
    }
    ULONGLONG const begin = GetTickCount64();
    SERVICE_STATUS_PROCESS status;
    if (!query(service.get(), status)) {
        ZEM_SERVICE_FAIL("QueryServiceStatusEx");
        return false;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        return true;
    }
    if (status.dwCurrentState == SERVICE_STOP_PENDING) {
        for (;;) {
            Sleep(poll_interval(status.dwWaitHint));
            if (!query(service.get(), status)) {
                ZEM_SERVICE_FAIL("QueryServiceStatusEx");
                return false;
            }
            if (status.dwCurrentState == SERVICE_STOPPED) {
                return true;
            }
            if (since(begin) > kStopLimit) {
                error("timeout");
                return false;
            }
            if (status.dwCurrentState != SERVICE_STOP_PENDING) {
                return false;
            }
        }
    }
    SERVICE_STATUS control;
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &control)) {
        ZEM_SERVICE_FAIL("ControlService");
        return false;
    }
    if (control.dwCurrentState == SERVICE_STOPPED) {
        return true;
    }
    DWORD state = control.dwCurrentState;
    DWORD wait_hint = control.dwWaitHint;
    for (;;) {
        // The service's own wait hint, but never past the overall limit.
        ULONGLONG elapsed = since(begin);
        ULONGLONG left = elapsed < kStopLimit ? kStopLimit - elapsed + 1 : 1;
        Sleep(static_cast<DWORD>(std::max<ULONGLONG>(std::min<ULONGLONG>(wait_hint, left), 1)));
        if (!query(service.get(), status)) {
            ZEM_SERVICE_FAIL("QueryServiceStatusEx");
            return state == SERVICE_STOPPED;
        }
        state = status.dwCurrentState;
        wait_hint = status.dwWaitHint;
        if (state == SERVICE_STOPPED) {
            return true;
        }
        if (since(begin) > kStopLimit) {
            error("timeout");
            return false;
        }
    }
}

unsigned long WinServiceCtrl::get_pid() {
    detail::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        ZEM_SERVICE_FAIL("OpenSCManager");
        return 0;
    }
    detail::ServiceHandle service(OpenServiceW(manager.get(), name_.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        ZEM_SERVICE_FAIL("OpenService");
        return 0;
    }
    SERVICE_STATUS_PROCESS status;
    if (query(service.get(), status) && status.dwCurrentState == SERVICE_RUNNING &&
        (status.dwServiceType & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)) != 0) {
        return status.dwProcessId;
    }
    return 0;
}

#undef ZEM_SERVICE_FAIL

} // namespace vfs
} // namespace zem

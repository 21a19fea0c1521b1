#include "WinService.h"

#include <windows.h>

#include <winsvc.h>

#include <cwchar>

namespace zem {
namespace vfs {

WinService::WinService(wchar_t const *name) : status_(nullptr) {
    name_[0] = L'\0';
    if (name == nullptr) {
        return;
    }
    // A name is never cut: a shortened name could be another service's.
    std::size_t length = wcsnlen(name, max_name + 1);
    if (length > max_name) {
        return;
    }
    std::wmemcpy(name_, name, length);
    name_[length] = L'\0';
}

WinService::~WinService() = default;

bool WinService::prepare_start(SERVICE_STATUS_HANDLE handle) {
    if (status_ != nullptr) {
        return false;
    }
    status_ = handle;
    return true;
}

bool WinService::prepare_stop(unsigned long) {
    return true;
}

bool WinService::on_shutdown() {
    return true;
}

bool WinService::on_event(unsigned long) {
    return true;
}

bool WinService::set_status(unsigned long state, unsigned long win32_exit_code,
                            unsigned long service_exit_code, unsigned long checkpoint,
                            unsigned long wait_hint) {
    if (status_ == nullptr) {
        return false;
    }
    SERVICE_STATUS status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.dwWin32ExitCode =
        service_exit_code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : win32_exit_code;
    status.dwServiceSpecificExitCode = service_exit_code;
    status.dwCheckPoint = checkpoint;
    status.dwWaitHint = wait_hint;
    return SetServiceStatus(status_, &status) != FALSE;
}

} // namespace vfs
} // namespace zem

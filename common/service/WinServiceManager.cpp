#include "WinServiceManager.h"

#include <windows.h>

#include <winsvc.h>

#include <cstddef>
#include <cwchar>
#include <new>

#include "../log/Log.h"
#include "../sys/Utility.h"

namespace zem {
namespace vfs {

namespace {

// Status reports of the host: checkpoint 0, a wait hint of one second.
DWORD const kWaitHint = 1000;

WinServiceManager *g_manager = nullptr;

WinService *slot(int i) {
    return g_manager != nullptr ? g_manager->get(i) : nullptr;
}

void control_slot(int i, DWORD control) {
    WinService *service = slot(i);
    if (service == nullptr) {
        return;
    }
    switch (control) {
    case SERVICE_CONTROL_STOP:
        if (service->prepare_stop(SERVICE_CONTROL_STOP) &&
            service->set_status(SERVICE_STOP_PENDING, 0, 0, 0, kWaitHint) && service->stop()) {
            service->set_status(SERVICE_STOPPED, 0, 0, 0, kWaitHint);
        }
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        service->on_shutdown();
        break;
    default:
        service->on_event(control);
        break;
    }
}

template <int I> void WINAPI control_handler(DWORD control) {
    control_slot(I, control);
}

LPHANDLER_FUNCTION const kControlHandlers[WinServiceManager::max_services] = {
    control_handler<0>, control_handler<1>, control_handler<2>, control_handler<3>,
    control_handler<4>, control_handler<5>, control_handler<6>, control_handler<7>,
    control_handler<8>, control_handler<9>};

void run_slot(int i, DWORD argc, LPWSTR *argv) {
    WinService *service = slot(i);
    if (service == nullptr) {
        return;
    }
    ZEM_LOG(7, "ServiceMain for " << Utility::w2a(service->name()) << "\n");
    SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerW(service->name(), kControlHandlers[i]);
    if (handle == nullptr) {
        return;
    }
    if (!service->prepare_start(handle)) {
        return;
    }
    if (!service->set_status(SERVICE_RUNNING, 0, 0, 0, kWaitHint)) {
        return;
    }
    // The first argument is the service name: the body gets the rest.
    int count = argc > 0 ? static_cast<int>(argc) - 1 : 0;
    wchar_t **arguments = argc > 0 ? argv + 1 : argv;
    if (service->start(count, arguments) != 0) {
        service->set_status(SERVICE_STOPPED, 0, 0, 0, kWaitHint);
    }
}

template <int I> void WINAPI service_main(DWORD argc, LPWSTR *argv) {
    run_slot(I, argc, argv);
}

LPSERVICE_MAIN_FUNCTIONW const kServiceMains[WinServiceManager::max_services] = {
    service_main<0>, service_main<1>, service_main<2>, service_main<3>, service_main<4>,
    service_main<5>, service_main<6>, service_main<7>, service_main<8>, service_main<9>};

BOOL WINAPI console_handler(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
        WinService *service = slot(0);
        if (service != nullptr && service->prepare_stop(event)) {
            return service->stop() ? TRUE : FALSE;
        }
        return FALSE;
    }
    default:
        return FALSE;
    }
}

} // namespace

WinServiceManager::WinServiceManager() : started_(false) {
    for (WinService *&service : services_) {
        service = nullptr;
    }
    for (TableEntry &entry : table_) {
        entry.name = nullptr;
        entry.main = nullptr;
    }
}

WinServiceManager *WinServiceManager::instance() {
    if (g_manager == nullptr) {
        g_manager = new (std::nothrow) WinServiceManager;
    }
    return g_manager;
}

bool WinServiceManager::add(WinService *s) {
    if (started_ || s == nullptr || s->name()[0] == L'\0') {
        return false;
    }
    for (int i = 0; i < max_services; ++i) {
        if (services_[i] == nullptr) {
            services_[i] = s;
            return true;
        }
        if (std::wcscmp(services_[i]->name(), s->name()) == 0) {
            return false;
        }
    }
    return false;
}

WinService *WinServiceManager::get(int i) {
    if (i < 0 || i >= max_services) {
        return nullptr;
    }
    return services_[i];
}

WinService *WinServiceManager::get(wchar_t const *name) {
    if (name == nullptr) {
        return nullptr;
    }
    for (WinService *service : services_) {
        if (service == nullptr) {
            break;
        }
        if (std::wcscmp(service->name(), name) == 0) {
            return service;
        }
    }
    return nullptr;
}

int WinServiceManager::start_service() {
    if (started_) {
        return 0;
    }
    started_ = true;
    int count = 0;
    for (; count < max_services && services_[count] != nullptr; ++count) {
        table_[count].name = services_[count]->name();
        table_[count].main = kServiceMains[count];
    }
    table_[count].name = nullptr;
    table_[count].main = nullptr;
    static_assert(sizeof(TableEntry) == sizeof(SERVICE_TABLE_ENTRYW) &&
                      offsetof(TableEntry, main) == offsetof(SERVICE_TABLE_ENTRYW, lpServiceProc),
                  "the table is laid out as the system's");
    return StartServiceCtrlDispatcherW(reinterpret_cast<SERVICE_TABLE_ENTRYW *>(table_)) ? 0 : 1;
}

int WinServiceManager::start_console(int argc, wchar_t **argv) {
    if (started_) {
        return 0;
    }
    started_ = true;
    WinService *service = services_[0];
    if (service == nullptr) {
        return 1;
    }
    SetConsoleCtrlHandler(console_handler, TRUE);
    if (!service->prepare_start(nullptr)) {
        return 1;
    }
    return service->start(argc, argv);
}

} // namespace vfs
} // namespace zem

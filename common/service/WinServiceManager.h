// The process-wide service host.
#pragma once

#include "../config.h"
#include "WinService.h"

namespace zem {
namespace vfs {

// Up to ten services, registered with add() before the host starts. Then
// either start_service() hands the process to the service control manager,
// which runs every registered service, or start_console() runs the first
// one in the console. The host starts once: afterwards add() and both start
// operations refuse. It does not own the services.
//
// Slot i has its own service-main and control-handler entry points, so the
// service control manager reaches the service of slot i directly.
class ZEM_VFS_API WinServiceManager {
public:
    enum { max_services = 10 };

    // The one host, created empty on first call. Not locked: the program
    // registers its services before it starts the host.
    static WinServiceManager *instance();

    // Puts `s` into the first free slot. False once started, for a null
    // service or one without a name, for a name already registered (exact,
    // case-sensitive) and when all slots are taken.
    bool add(WinService *s);
    // The service of slot i; null for an empty slot or i outside 0 to 9.
    WinService *get(int i);
    // The registered service of exactly that name; null when none.
    WinService *get(wchar_t const *name);

    // 0 when already started. Otherwise runs the registered services under
    // the service control manager and returns when they have all stopped:
    // 0 then, 1 when the dispatcher cannot run (for example when the process
    // was not started by the service control manager).
    int start_service();
    // 0 when already started. Otherwise runs the service of slot 0 in the
    // console: installs the console control handler, calls prepare_start
    // with a null handle and then start(argc, argv), whose result is
    // returned. 1 when slot 0 is empty or prepare_start refuses.
    int start_console(int argc, wchar_t **argv);

    WinServiceManager(WinServiceManager const &) = delete;
    WinServiceManager &operator=(WinServiceManager const &) = delete;

private:
    WinServiceManager();

    WinService *services_[max_services];
    bool started_;
    // The dispatch table handed to the service control manager: laid out
    // as the SERVICE_TABLE_ENTRYW of <winsvc.h> (a name and a service main).
    struct TableEntry {
        wchar_t *name;
        void (*main)(unsigned long argc, wchar_t **argv);
    };
    TableEntry table_[max_services + 1];
};

} // namespace vfs
} // namespace zem

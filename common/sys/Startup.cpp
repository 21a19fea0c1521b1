// The library's load sequence and its entry point.
//
// Loading runs in a fixed order: the slim reader/writer lock functions are
// looked up first, then the logger reads its registry settings and opens its
// file, then the optional OS functions are looked up and the system
// directories stored. The Startup object below is the one static object that
// performs these steps, in this order, in its constructor. Every other piece
// of process-wide state (the logger, the OS state, the type registry, ...)
// lives in a function that builds it on first use, so nothing depends on the
// order in which the linker placed the files.
//
// DllMain runs after the static objects are built: on process attach it
// allocates the thread-local slot of the logger's suppression counters and
// fails the load without one; on detach it frees the slot. The static
// objects, the logger among them, are destroyed after DllMain's detach.
#include "../ipc/internal/SlimLock.h"
#include "../log/internal/Logger.h"
#include "internal/Ntdll.h"

#include <windows.h>

namespace {

class Startup {
public:
    Startup() {
        zem::vfs::detail::load_slim_lock_functions();
        zem::vfs::detail::start_logger();
        zem::vfs::detail::load_os_functions();
    }
};

Startup const startup;

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return zem::vfs::detail::alloc_thread_log_slot() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        zem::vfs::detail::free_thread_log_slot();
        break;
    default:
        break;
    }
    return TRUE;
}

// One Windows service of a program: the program derives from WinService,
// implements the body (start) and how it ends (stop), and registers the
// object with the WinServiceManager.
#pragma once

#include "../config.h"

// The status handle type of <winsvc.h> (SERVICE_STATUS_HANDLE), which this
// header leaves to the caller.
struct SERVICE_STATUS_HANDLE__;

namespace zem {
namespace vfs {

// The host calls, under the service control manager:
//   prepare_start(status handle), then start(argc, argv) on a thread of the
//   service control manager. The service is reported running right after
//   prepare_start agrees; a non-zero result of start reports it stopped.
//   prepare_stop(SERVICE_CONTROL_STOP), then, once the stop is reported
//   pending, stop(); when stop() returns true the service is reported
//   stopped. on_shutdown() at system shutdown, on_event(code) for any other
//   control code.
// In a console (WinServiceManager::start_console) prepare_start gets a null
// handle and nothing is reported; a console interrupt calls prepare_stop
// with the console event (CTRL_C_EVENT 0, CTRL_BREAK_EVENT 1,
// CTRL_CLOSE_EVENT 2), then stop().
//
// start runs concurrently with the control calls: the service synchronises
// them itself. In particular stop() should return only once start is about
// to return, since the process may end as soon as the service is reported
// stopped.
class ZEM_VFS_API WinService {
public:
    // The longest service name, without its terminating NUL.
    enum { max_name = 255 };

    // Copies the name. A null name or one longer than max_name is refused:
    // the service then has an empty name, which the manager does not accept.
    explicit WinService(wchar_t const *name);

    // Ends the body; called after prepare_stop has agreed.
    virtual bool stop() = 0;
    // The body, with the service's arguments (without the service name).
    virtual int start(int argc, wchar_t **argv) = 0;
    // Stores the status handle (null in a console); false when one is stored
    // already. An override must call it.
    virtual bool prepare_start(SERVICE_STATUS_HANDLE__ *handle);
    // May the service stop? The default agrees.
    virtual bool prepare_stop(unsigned long control);
    // System shutdown; the default does nothing and returns true.
    virtual bool on_shutdown();
    // Any other control code; the default does nothing and returns true.
    virtual bool on_event(unsigned long control);
    virtual ~WinService();

    wchar_t *name() { return name_; }
    wchar_t const *name() const { return name_; }
    // True while no status handle is stored: running in a console.
    bool console() const { return status_ == nullptr; }

    // Reports the state (SERVICE_RUNNING, ...) with the Win32 exit code, the
    // service-specific exit code (which, when not 0, makes the Win32 code
    // ERROR_SERVICE_SPECIFIC_ERROR), the checkpoint and the wait hint in
    // milliseconds. Stop and shutdown are accepted except while the state is
    // SERVICE_START_PENDING. False without a status handle or when the report
    // fails.
    bool set_status(unsigned long state, unsigned long win32_exit_code,
                    unsigned long service_exit_code, unsigned long checkpoint,
                    unsigned long wait_hint);

    WinService(WinService const &) = delete;
    WinService &operator=(WinService const &) = delete;

private:
    wchar_t name_[max_name + 1];
    SERVICE_STATUS_HANDLE__ *status_;
};

} // namespace vfs
} // namespace zem

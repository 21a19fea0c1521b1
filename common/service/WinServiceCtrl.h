// Registration and control of one Windows service by name.
#pragma once

#include <string>

#include "../config.h"

namespace zem {
namespace vfs {

// Installs, removes, starts and stops the service of the given name on the
// local computer, and finds the process id of the running service. Every
// failure records a message, "<call> fail(0x<GetLastError() in hex>)" or
// "timeout", which error() returns until the next failure (a success does
// not clear it). Every handle opened by an operation is closed before it
// returns.
class ZEM_VFS_API WinServiceCtrl {
public:
    // The longest message, without its terminating NUL.
    enum { max_message = 1023 };

    explicit WinServiceCtrl(wchar_t const *name);

    // Registers the running executable as an own-process service that starts
    // automatically, runs as LocalSystem and reports errors normally, with
    // the display name (may be null) and, when not null, the description.
    // The image path is the executable's full path in double quotes, so that
    // a path with blanks names that program and no other.
    bool install(wchar_t const *display_name, wchar_t *description);
    // Deletes the registration; a running service is not stopped first.
    bool uninstall();
    // Starts the service and waits while it reports SERVICE_START_PENDING
    // with an advancing checkpoint, giving up ("timeout") when the checkpoint
    // stands still longer than the service's wait hint. True when the
    // service runs; true at once when it is already running or starting. A
    // service still stopping is first waited for.
    bool start();
    // Stops the service and waits until it has stopped, at most about 30
    // seconds ("timeout"). True when it is stopped.
    bool stop();
    // The process id of the running service; 0 when it is not running or
    // cannot be asked (a service that is merely stopped records no message).
    unsigned long get_pid();
    // The message of the last failure; empty when there was none.
    char const *error() const { return message_; }

private:
    void error(char const *format, ...);

    std::wstring name_;
    char message_[max_message + 1];
};

} // namespace vfs
} // namespace zem

// The helper dispatcher, zem.vfs.dispatcher_wow64.exe.
//
//   zem.vfs.dispatcher_wow64.exe /helper <pid> [/idle-ms <ms>]
//
// Serves requests (dispatcher/Handlers.h) on
// "\\.\pipe\zem.vfs.dispatcher_<own pid>" and on the shared
// "\\.\pipe\zem.vfs.dispatcher_wow64" until the process <pid> ends. The pipes,
// their bounds and the idle-client rules are the library's pipe server's;
// /idle-ms replaces its time-out of idle connections (tests).
#include "dispatcher/Handlers.h"
#include "log/Log.h"
#include "request/internal/PipeServer.h"
#include "sys/internal/Handles.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace zem::vfs;

namespace {

int usage() {
    std::fprintf(stderr, "usage: zem.vfs.dispatcher_wow64.exe /helper <pid> [/idle-ms <ms>]\n");
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if ((argc != 3 && argc != 5) ||
        (std::strcmp(argv[1], "/helper") != 0 && std::strcmp(argv[1], "-helper") != 0))
        return usage();
    char *end = nullptr;
    unsigned long owner_pid = std::strtoul(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || owner_pid == 0)
        return usage();
    detail::PipeServerLimits limits;
    if (argc == 5) {
        limits.idle_ms = std::strtoul(argv[4], &end, 10);
        if (std::strcmp(argv[3], "/idle-ms") != 0 || end == argv[4] || *end != '\0' ||
            limits.idle_ms == 0 || limits.idle_ms > 3600000)
            return usage();
    }
    detail::KernelHandle owner(OpenProcess(SYNCHRONIZE, FALSE, DWORD(owner_pid)));
    if (!owner) {
        ZEM_LOG(4, "helper: process " << owner_pid << " is not running");
        return 2;
    }

    char own_pipe[64];
    std::snprintf(own_pipe, sizeof own_pipe, "\\\\.\\pipe\\zem.vfs.dispatcher_%lu",
                  GetCurrentProcessId());
    char const *const names[] = {own_pipe, "\\\\.\\pipe\\zem.vfs.dispatcher_wow64"};
    HelperRequests requests;
    detail::PipeServer server(requests, names, 2, limits);
    if (!server.start())
        return 3;
    ZEM_LOG(6, "helper for process " << owner_pid << " serving " << own_pipe);

    // Time-outs are looked at a few times per time-out.
    unsigned long const idle_ms = limits.idle_ms;
    DWORD tick = DWORD(idle_ms / 4 < 250 ? (idle_ms / 4 > 0 ? idle_ms / 4 : 1) : 250);
    while (WaitForSingleObject(owner.get(), tick) == WAIT_TIMEOUT)
        server.sweep();
    owner.reset();
    server.stop();
    ZEM_LOG(6, "helper: process " << owner_pid << " ended, helper ends");
    return 0;
}

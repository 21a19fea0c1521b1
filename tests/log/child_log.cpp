// Started by the logger tests once they set up the registry: prints the
// logger state built at load ("filename=", "can=" with one digit per level 0
// to 7, "pid=", "tid="), writes the record "child record" at level 0, then
// turns the console on and prints the threshold ("level=").
#include "../../common/log/Log.h"

#include <windows.h>

#include <cstdio>
#include <string>

using zem::vfs::Log;

int main() {
    std::string can;
    for (int n = 0; n < 8; ++n)
        can += Log::can(n) ? '1' : '0';
    std::printf("filename=%s\ncan=%s\npid=%lu\ntid=%lu\n", Log(nullptr, 0, 8).filename().c_str(),
                can.c_str(), GetCurrentProcessId(), GetCurrentThreadId());
    std::fflush(stdout);
    ZEM_LOG(0, "child record");
    Log(nullptr, 0, 8).console(true);
    int level = -1;
    while (level < 8 && Log::can(level + 1))
        ++level;
    std::printf("level=%d\n", level);
    return 0;
}

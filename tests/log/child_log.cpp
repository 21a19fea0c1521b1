// Prints the logger state built at load ("can=" holds a digit per level 0 to 7;
// "pid=", "tid=" as a prefix shows them), then writes to the file and console.
#include "../../common/log/Log.h"

#include <windows.h>

#include <cstdio>

int main() {
    char can[9] = {};
    for (int n = 0; n < 8; ++n)
        can[n] = zem::vfs::Log::can(n) ? '1' : '0';
    std::printf("filename=%s\ncan=%s\npid=%04lu\ntid=%04lu\n",
                zem::vfs::Log(nullptr, 0, 8).filename().c_str(), can, GetCurrentProcessId(),
                GetCurrentThreadId());
    ZEM_LOG(0, "child record");
    zem::vfs::Log(nullptr, 0, 8).open(nullptr);
    zem::vfs::Log(nullptr, 0, 8).console(true);
    ZEM_LOG(0, "child on the console");
    int level = -1;
    while (level < 8 && zem::vfs::Log::can(level + 1))
        ++level;
    std::printf("level=%d\n", level);
}

// Started by the logger tests after they prepared the registry: reports the
// logger state the library built at load and writes one record.
//
// Output lines: "filename=<name>", "can=<8 digits, 1 where Log::can(level)
// for levels 0 to 7>", "pid=", "tid=", then, after the record "child record"
// (level 0) went to the configured sinks and the console was switched on,
// "level=<threshold>".
#include "../../common/log/Log.h"

#include <windows.h>

#include <cstdio>
#include <string>

using zem::vfs::Log;

int main() {
    std::string can;
    for (int n = 0; n < 8; ++n)
        can += Log::can(n) ? '1' : '0';
    std::string filename = Log(nullptr, 0, 8).filename();
    std::printf("filename=%s\ncan=%s\npid=%lu\ntid=%lu\n", filename.c_str(), can.c_str(),
                GetCurrentProcessId(), GetCurrentThreadId());
    std::fflush(stdout);

    ZEM_LOG(0, "child record");

    Log(nullptr, 0, 8).console(true);
    int level = -1;
    for (int n = 0; n < 8; ++n) {
        if (Log::can(n))
            level = n;
    }
    std::printf("level=%d\n", level);
    std::fflush(stdout);
    return 0;
}

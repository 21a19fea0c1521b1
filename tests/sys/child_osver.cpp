// Started by the version tests after they told the prefix which Windows to
// report: switches debug records to the console, classifies the version
// (which logs one debug record) and prints "code=<version code>".
#include "../../common/log/Log.h"
#include "../../common/sys/OsVersion.h"

#include <cstdio>
#include <iostream>

using zem::vfs::Log;

int main() {
    {
        Log settings(nullptr, 0, 8);
        settings.level(7);
        settings.console(true);
    }
    int code = zem::vfs::osver::instance()->get();
    std::cout.flush();
    std::printf("code=%d\n", code);
    std::fflush(stdout);
    return 0;
}

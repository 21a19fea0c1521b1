// Started by the process-configuration tests from a copy with a chosen name:
// opens the program's own subkey of HKEY_CURRENT_USER (named after the image
// without its extension) and prints its "Probe" value as "probe=<text>", or
// "probe=<none>".
#include "../../common/policy/ProcessConfig.h"

#include <cstdio>
#include <string>

int main() {
    zem::vfs::ProcessConfig own(1, nullptr, false);
    std::string probe;
    if (own.get_string("Probe", probe))
        std::printf("probe=%s\n", probe.c_str());
    else
        std::printf("probe=<none>\n");
    std::fflush(stdout);
    return 0;
}

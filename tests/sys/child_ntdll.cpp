// Started by the native-helper tests, often from a copy on drive C: prints
// its own image path as GetProcessFileNameA and GetProcessFileNameW give it
// ("a=<path>", "w=<path in UTF-8>"), or "a=<failed>".
#include "../../common/sys/Ntdll.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace ntdll = zem::vfs::ntdll;

int main() {
    char narrow[MAX_PATH * 2];
    wchar_t wide[MAX_PATH * 2];
    if (ntdll::GetProcessFileNameA(GetCurrentProcess(), narrow, MAX_PATH * 2))
        std::printf("a=%s\n", narrow);
    else
        std::printf("a=<failed>\n");
    if (ntdll::GetProcessFileNameW(GetCurrentProcess(), wide, MAX_PATH * 2)) {
        char utf8[MAX_PATH * 8];
        int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
        std::printf("w=%s\n", n > 0 ? utf8 : "<unconvertible>");
    } else {
        std::printf("w=<failed>\n");
    }
    std::fflush(stdout);
    return 0;
}

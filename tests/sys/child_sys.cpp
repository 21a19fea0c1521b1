// Modes: path (prints "a=" and "w=" image paths), osver (prints debug records
// and "code="), dump <folder> chain|plain (turns dumps on, prints "init=" and
// faults; chain first installs a filter that exits with 77).
#include "log/Log.h"
#include "sys/Ntdll.h"
#include "sys/Dump.h"
#include "sys/OsVersion.h"
#include "sys/Utility.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

namespace ntdll = zem::vfs::ntdll;

namespace {

LONG WINAPI own_filter(EXCEPTION_POINTERS *pointers) {
    std::printf("own_filter code=%08lx\n", pointers->ExceptionRecord->ExceptionCode);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 77);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

int main(int argc, char **argv) {
    std::string const mode = argc > 1 ? argv[1] : "";
    if (mode == "path") {
        char a[MAX_PATH * 2] = "";
        wchar_t w[MAX_PATH * 2] = L"";
        ntdll::GetProcessFileNameA(GetCurrentProcess(), a, MAX_PATH * 2);
        ntdll::GetProcessFileNameW(GetCurrentProcess(), w, MAX_PATH * 2);
        std::printf("a=%s\n", a);
        std::printf("w=%s\n", zem::vfs::Utility::w2utf8(std::wstring(w)).c_str());
    } else if (mode == "osver") {
        zem::vfs::Log(nullptr, 0, 8).level(7);
        zem::vfs::Log(nullptr, 0, 8).console(true);
        int const code = zem::vfs::osver::instance()->get();
        std::cout.flush();
        std::printf("code=%d\n", code);
    } else if (mode == "dump" && argc > 3) {
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
        if (std::string(argv[3]) == "chain")
            SetUnhandledExceptionFilter(own_filter);
        std::printf("init=%d\n", ntdll::dump::Initialize(argv[2]));
        std::fflush(stdout);
        // In the never-mapped first page, but not null (sanitisers trap that).
        std::uintptr_t volatile address = 16;
        *reinterpret_cast<int volatile *>(address) = 1;
        std::printf("survived\n");
        return 3;
    }
    std::fflush(stdout);
    return 0;
}

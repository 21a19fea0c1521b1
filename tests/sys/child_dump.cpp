// A program that turns crash dumps on and then faults, for the dump tests.
//   child_dump <folder> chain   installs a filter of its own first, which
//                               ends the process with exit code 77 when
//                               the crash filter hands the fault on to it
//   child_dump <folder> plain   no filter of its own
//   child_dump <folder> off     as chain, but turns dumps off again before
//                               the fault
// Prints "init=<n>" before the fault.
#include "sys/Dump.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

LONG WINAPI own_filter(EXCEPTION_POINTERS *pointers) {
    std::printf("own_filter code=%08lx\n",
                static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode));
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 77);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3)
        return 2;
    // No error box and no debugger question for the fault.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    bool const chain = std::strcmp(argv[2], "plain") != 0;
    if (chain)
        SetUnhandledExceptionFilter(own_filter);
    int init = zem::vfs::ntdll::dump::Initialize(argv[1]);
    std::printf("init=%d\n", init);
    if (std::strcmp(argv[2], "off") == 0)
        zem::vfs::ntdll::dump::Uninitialize();
    std::fflush(stdout);
    // An address in the never-mapped first page (not null, which the
    // undefined-behaviour checks of some builds would trap first).
    std::uintptr_t volatile address = 16;
    *reinterpret_cast<int volatile *>(address) = 1;
    std::printf("survived\n");
    return 3;
}

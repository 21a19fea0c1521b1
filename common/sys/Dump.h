// Crash dumps of the process.
//
// Once turned on, an unhandled exception that reaches the top of a thread
// writes a minidump of the process into the dump folder before the exception
// filter that was installed before (if any) decides what happens next. Dumps
// are named after the executable, "<name>_[<i>].dmp" with the first i of 0 to
// 99 whose file does not exist yet; an existing dump is never overwritten.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {
namespace ntdll {

class ZEM_VFS_API dump {
public:
    // Turns dumps into `directory` (ANSI code page) on and installs the crash
    // filter. 1 on success, and also when dumps are already on (the folder is
    // then left unchanged); 0 for a null or empty name, a folder that does
    // not exist, or a name longer than 259 characters.
    //
    // Call it and Uninitialize while no other thread changes the settings.
    static int Initialize(char const *directory);
    // Turns dumps off and puts the filter found by Initialize back.
    static void Uninitialize();

    dump() = delete;
};

} // namespace ntdll
} // namespace vfs
} // namespace zem

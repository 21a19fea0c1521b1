// The other process of the shared-state tests:
//   abandon <name>        locks the Mutex, prints "locked=<0|1>", ends owning it
//   memory <name> <size>  maps the SharedMemory; prints the text at offset 0
//                         as "text=...", writes "child <size>" at 64
#include "../support/ChildProcess.h"
#include "ipc/Mutex.h"
#include "ipc/SharedMemory.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    std::string const mode = argc > 2 ? argv[1] : "";
    std::wstring const name = zem::vfs::test::widen(argc > 2 ? argv[2] : "");
    if (mode == "abandon") {
        zem::vfs::Mutex mutex(name.c_str());
        std::printf("locked=%d\n", mutex.lock() ? 1 : 0);
        return 0; // still the owner
    }
    unsigned long long const size = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 0;
    zem::vfs::SharedMemory memory(size, name.c_str());
    char *bytes = static_cast<char *>(memory.get());
    if (mode != "memory" || bytes == nullptr)
        return 2;
    std::printf("text=%.63s\n", bytes);
    std::snprintf(bytes + 64, 64, "child %llu", size);
    return 0;
}

// The other process of the shared-state tests:
//   abandon <name>        locks the Mutex, prints "locked=<0|1>", ends owning it
//   lock <name>           the same, waiting as long as it takes, then unlocks
//   memory <name> <size>  maps the SharedMemory; prints "view=<0|1>" and the text
//                         at offset 0 as "text=...", writes "child <size>" at 64
//   identy <name>         opens the Identy; prints "done=<0|1>" "exists=<0|1>"
#include "ipc/Identy.h"
#include "ipc/Mutex.h"
#include "ipc/SharedMemory.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::wstring widen(char const *text) {
    std::wstring out;
    for (; *text; ++text)
        out += wchar_t(static_cast<unsigned char>(*text));
    return out;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3)
        return 2;
    std::string const mode = argv[1];
    std::wstring const name = widen(argv[2]);
    if (mode == "abandon" || mode == "lock") {
        zem::vfs::Mutex mutex(name.c_str());
        bool locked = mutex.lock();
        std::printf("locked=%d\n", locked ? 1 : 0);
        std::fflush(stdout);
        if (mode == "lock")
            mutex.unlock();
        return 0;
    }
    if (mode == "memory" && argc > 3) {
        unsigned long long size = std::strtoull(argv[3], nullptr, 10);
        zem::vfs::SharedMemory memory(size, name.c_str());
        char *bytes = static_cast<char *>(memory.get());
        std::printf("view=%d\n", bytes ? 1 : 0);
        if (bytes) {
            std::printf("text=%.63s\n", bytes);
            std::snprintf(bytes + 64, 64, "child %llu", size);
        }
        return 0;
    }
    if (mode == "identy") {
        zem::vfs::Identy identy(argv[2], false);
        std::printf("done=%d\nexists=%d\n", identy.is_done() ? 1 : 0, identy.exists() ? 1 : 0);
        return 0;
    }
    return 2;
}

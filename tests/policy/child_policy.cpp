// A small program that the policy tests start under chosen image names
// (copies named notepad.exe, explorer.exe, ...) to ask questions from inside
// another process. Arguments arrive hex-encoded ("x" followed by two hex
// digits per byte). Commands:
//   wait <ms>                         sleeps (a target process for the tests)
//   image                             prints image=<its own image path>
//   process <pattern> <name|"">       prints match=<0|1> for ProcessMatch(pattern)
//                                     asked about <name> (empty: this process)
//   file <pattern> <path> <mode>      prints match=<0|1> for FileMatch
#include "policy/FileMatch.h"
#include "policy/ProcessMatch.h"
#include "sys/Ntdll.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string decode(char const *text) {
    std::string out;
    if (text == nullptr || text[0] != 'x')
        return text != nullptr ? text : "";
    for (char const *p = text + 1; p[0] != '\0' && p[1] != '\0'; p += 2) {
        char digits[3] = {p[0], p[1], '\0'};
        out += char(std::strtoul(digits, nullptr, 16));
    }
    return out;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    std::string command = decode(argv[1]);
    if (command == "wait" && argc >= 3) {
        Sleep(DWORD(std::strtoul(decode(argv[2]).c_str(), nullptr, 10)));
        return 0;
    }
    if (command == "image") {
        char image[260];
        if (!zem::vfs::ntdll::GetProcessFileNameA(GetCurrentProcess(), image, sizeof image))
            return 3;
        std::printf("image=%s\n", image);
        return 0;
    }
    if (command == "process" && argc >= 4) {
        zem::vfs::ProcessMatch match(decode(argv[2]).c_str());
        std::string name = decode(argv[3]);
        bool result = match.match_process(name.empty() ? nullptr : name.c_str(), nullptr);
        std::printf("match=%d\n", result ? 1 : 0);
        return 0;
    }
    if (command == "file" && argc >= 5) {
        zem::vfs::FileMatch match(decode(argv[2]).c_str(), std::atoi(decode(argv[4]).c_str()));
        std::string path = decode(argv[3]);
        std::printf("match=%d\n", match.match_file(path.c_str(), 1) ? 1 : 0);
        return 0;
    }
    return 2;
}

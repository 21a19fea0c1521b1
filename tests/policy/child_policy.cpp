// Started by the policy tests from copies named like the system's programs.
// Arguments arrive hex-encoded ("x" and two digits a byte). Commands:
//   wait                          sleeps until it is ended
//   probe                         prints the own subkey's "Probe" as probe=<text|<none>>
//   then triples, answered together as answers=<0|1 ...>:
//     process <pattern> <name|"">  ProcessMatch(pattern) about the name (empty: this process)
//     file <pattern> <path>        FileMatch(pattern, 1) with mode 1
#include "policy/FileMatch.h"
#include "policy/ProcessConfig.h"
#include "policy/ProcessMatch.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static std::string decode(char const *text) {
    std::string out;
    for (char const *p = text + 1; p[0] != '\0' && p[1] != '\0'; p += 2)
        out += char(std::strtoul(std::string(p, 2).c_str(), nullptr, 16));
    return out;
}

int main(int argc, char **argv) {
    std::string const first = argc > 1 ? decode(argv[1]) : "";
    if (first == "wait")
        Sleep(INFINITE);
    if (first == "probe") { // the subkey named after the image without its extension
        std::string probe;
        bool const found = zem::vfs::ProcessConfig(1, nullptr, false).get_string("Probe", probe);
        std::printf("probe=%s\n", found ? probe.c_str() : "<none>");
        return 0;
    }
    std::string answers;
    for (int i = 1; i + 2 < argc; i += 3) {
        std::string kind = decode(argv[i]), pattern = decode(argv[i + 1]),
                    what = decode(argv[i + 2]);
        bool yes = kind == "file"
                       ? zem::vfs::FileMatch(pattern.c_str(), 1).match_file(what.c_str(), 1)
                       : zem::vfs::ProcessMatch(pattern.c_str())
                             .match_process(what.empty() ? nullptr : what.c_str(), nullptr);
        answers += yes ? '1' : '0';
    }
    std::printf("answers=%s\n", answers.c_str());
    return 0;
}

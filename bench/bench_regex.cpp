// Regular-expression engine against std::wregex (ECMAScript | icase) on the
// policy matchers' workload: 20 policy-style expressions, each searched in
// 10,000 Windows paths.
//
//   compile+search  the pattern is compiled anew for every path, as the file
//                   and process matchers do;
//   search only     one compiled pattern searches every path.
//
// Figures are medians over several rounds, in nanoseconds per path; the ratio
// is std::wregex time / engine time (higher is better for the engine).
// Usage: bench_regex [rounds]   (default 5; std::wregex compile+search runs
// at most 3 rounds, it is slow)
#include "regex/RegexPattern.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

using zem::vfs::CMatchResultT;
using zem::vfs::CPatternT;

namespace {

const wchar_t *const kExpressions[] = {
    L"\\\\(cmd|powershell)\\.exe$",
    L"\\.tmp$",
    L"^c:\\\\users\\\\[^\\\\]+\\\\appdata\\\\",
    L"\\\\temp\\\\.*\\.(exe|dll)$",
    L"\\\\windows\\\\system32\\\\drivers\\\\",
    L"\\.(docx?|xlsx?|pptx?)$",
    L"^\\\\device\\\\harddiskvolume\\d+\\\\",
    L"\\\\appdata\\\\(local|roaming)\\\\microsoft\\\\windows\\\\",
    L"\\\\program files( \\(x86\\))?\\\\",
    L"\\.(js|vbs|ps1|bat|cmd)$",
    L"^[a-z]:\\\\windows\\\\",
    L"\\\\~\\$[^\\\\]*$",
    L"\\\\(chrome|firefox|msedge)\\.exe$",
    L"\\\\appdata\\\\local\\\\temp\\\\[^\\\\]+\\.tmp$",
    L"\\\\\\.git\\\\",
    L"\\\\downloads\\\\.*\\.(zip|7z|rar)$",
    L"^\\\\\\?\\?\\\\[a-z]:\\\\",
    L"\\\\\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}\\\\",
    L"\\\\node_modules\\\\.*\\.node$",
    L"\\\\(svchost|lsass|services)\\.exe$",
};
const int kExpressionCount = static_cast<int>(sizeof(kExpressions) / sizeof(kExpressions[0]));
const int kPathCount = 10000;

class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint32_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return static_cast<uint32_t>(m_state >> 16);
    }
    template <class A> const wchar_t *Pick(const A &items) {
        return items[Next() % (sizeof(items) / sizeof(items[0]))];
    }

private:
    uint64_t m_state;
};

// Mixes the case of a path the way real paths come in.
std::wstring Recase(Random &rng, std::wstring path) {
    const uint32_t mode = rng.Next() % 4;
    for (wchar_t &c : path) {
        if (mode == 1 && c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - 32);
        } else if (mode == 2 && c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c + 32);
        }
    }
    return path;
}

std::vector<std::wstring> MakePaths() {
    static const wchar_t *const users[] = {L"Administrator", L"jsmith", L"Maria.Lopez",
                                           L"svc_backup",    L"Public", L"dev"};
    static const wchar_t *const prefixes[] = {L"C:", L"C:",       L"C:",
                                              L"D:", L"\\??\\C:", L"\\Device\\HarddiskVolume3"};
    static const wchar_t *const roots[] = {
        L"\\Windows\\System32",
        L"\\Windows\\SysWOW64",
        L"\\Windows\\System32\\drivers",
        L"\\Windows\\WinSxS\\amd64_microsoft-windows-shell32_31bf3856ad364e35_10.0.19041.1",
        L"\\Program Files\\Google\\Chrome\\Application",
        L"\\Program Files (x86)\\Microsoft Office\\root\\Office16",
        L"\\Program Files\\WindowsApps\\Microsoft.WindowsTerminal_1.18.2822.0_x64__8wekyb3d8bbwe",
        L"\\Users\\%u\\AppData\\Local\\Temp",
        L"\\Users\\%u\\AppData\\Local\\Temp\\{3F2504E0-4F89-11D3-9A0C-0305E82C3301}",
        L"\\Users\\%u\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs",
        L"\\Users\\%u\\AppData\\Local\\Microsoft\\Windows\\INetCache\\IE",
        L"\\Users\\%u\\Documents\\Projects\\webapp\\node_modules\\.bin",
        L"\\Users\\%u\\Documents\\Projects\\engine\\.git\\objects\\4f",
        L"\\Users\\%u\\Downloads",
        L"\\Users\\%u\\Desktop\\Reports 2024",
        L"\\ProgramData\\Microsoft\\Windows Defender\\Platform\\4.18.23110.3-0",
        L"\\Temp\\build\\obj\\x64\\Release",
        L"\\inetpub\\wwwroot\\app\\bin",
    };
    static const wchar_t *const folders[] = {
        L"", L"", L"\\sub", L"\\cache", L"\\a1b2c3", L"\\Logs\\2024-05", L"\\x64"};
    static const wchar_t *const names[] = {
        L"cmd.exe",      L"powershell.exe", L"notepad.exe",  L"svchost.exe", L"chrome.exe",
        L"kernel32.dll", L"ntdll.dll",      L"msvcp140.dll", L"setup.tmp",   L"~$budget.xlsx",
        L"report.docx",  L"slides.pptx",    L"data.xlsx",    L"install.ps1", L"run.bat",
        L"script.js",    L"archive.zip",    L"photos.7z",    L"addon.node",  L"desktop.ini",
        L"README.txt",   L"config.json",    L"lsass.exe",    L"firefox.exe", L"a.tmp.log"};
    Random rng(20240501);
    std::vector<std::wstring> paths;
    paths.reserve(kPathCount);
    for (int i = 0; i < kPathCount; ++i) {
        std::wstring root = rng.Pick(roots);
        const size_t user = root.find(L"%u");
        if (user != std::wstring::npos) {
            root.replace(user, 2, rng.Pick(users));
        }
        std::wstring path =
            std::wstring(rng.Pick(prefixes)) + root + rng.Pick(folders) + L"\\" + rng.Pick(names);
        paths.push_back(Recase(rng, path));
    }
    return paths;
}

typedef std::chrono::steady_clock Clock;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs `work` (which returns the number of matches) `rounds` times and gives
// the median time per path in nanoseconds.
template <class F> double TimePerPath(int rounds, F work, int &matches) {
    std::vector<double> samples;
    for (int r = 0; r < rounds; ++r) {
        const Clock::time_point start = Clock::now();
        matches = work();
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        samples.push_back(ns / kPathCount);
    }
    return Median(samples);
}

} // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 && std::atoi(argv[1]) > 0 ? std::atoi(argv[1]) : 5;
    const int slowRounds = rounds < 3 ? rounds : 3;
    const std::vector<std::wstring> paths = MakePaths();
    const auto flags = std::regex_constants::ECMAScript | std::regex_constants::icase;

    std::printf("regex engine vs std::wregex (ECMAScript|icase): %d expressions x %d paths, "
                "median of %d rounds, ns per path\n\n",
                kExpressionCount, kPathCount, rounds);
    std::printf("%-4s %8s | %10s %10s %7s | %10s %10s %7s\n", "expr", "matches", "engine", "wregex",
                "ratio", "engine", "wregex", "ratio");
    std::printf("%-4s %8s | %29s | %29s\n", "", "", "compile+search", "search only");

    std::vector<double> compileRatios;
    std::vector<double> searchRatios;
    double engineCompileTotal = 0;
    double stdCompileTotal = 0;
    double engineSearchTotal = 0;
    double stdSearchTotal = 0;
    bool agree = true;
    for (int e = 0; e < kExpressionCount; ++e) {
        const std::wstring expression = kExpressions[e];
        const int expressionLength = static_cast<int>(expression.size());
        int engineMatches = 0;
        int stdMatches = 0;
        int dummy = 0;

        const double engineCompile = TimePerPath(
            rounds,
            [&]() {
                int matches = 0;
                for (const std::wstring &path : paths) {
                    CPatternT<wchar_t> pattern(expression.c_str(), expressionLength, 8);
                    CMatchResultT<wchar_t> result =
                        pattern.Match(path.c_str(), static_cast<int>(path.size()));
                    matches += result.GetSize() > 0 && result[0] == 1;
                }
                return matches;
            },
            engineMatches);
        const double stdCompile = TimePerPath(
            slowRounds,
            [&]() {
                int matches = 0;
                for (const std::wstring &path : paths) {
                    std::wregex pattern(expression, flags);
                    matches += std::regex_search(path, pattern);
                }
                return matches;
            },
            stdMatches);
        agree = agree && engineMatches == stdMatches;

        CPatternT<wchar_t> compiled(expression.c_str(), expressionLength, 8);
        const double engineSearch = TimePerPath(
            rounds,
            [&]() {
                int matches = 0;
                for (const std::wstring &path : paths) {
                    matches +=
                        compiled.Match(path.c_str(), static_cast<int>(path.size())).IsMatched();
                }
                return matches;
            },
            dummy);
        agree = agree && dummy == engineMatches;
        const std::wregex reference(expression, flags);
        const double stdSearch = TimePerPath(
            rounds,
            [&]() {
                int matches = 0;
                for (const std::wstring &path : paths) {
                    matches += std::regex_search(path, reference);
                }
                return matches;
            },
            dummy);
        agree = agree && dummy == stdMatches;

        compileRatios.push_back(stdCompile / engineCompile);
        searchRatios.push_back(stdSearch / engineSearch);
        engineCompileTotal += engineCompile;
        stdCompileTotal += stdCompile;
        engineSearchTotal += engineSearch;
        stdSearchTotal += stdSearch;
        std::printf("%-4d %8d | %10.0f %10.0f %6.1fx | %10.0f %10.0f %6.1fx%s\n", e + 1,
                    engineMatches, engineCompile, stdCompile, stdCompile / engineCompile,
                    engineSearch, stdSearch, stdSearch / engineSearch,
                    engineMatches == stdMatches ? "" : "  (match counts differ)");
    }
    std::printf("\nexpressions:\n");
    for (int e = 0; e < kExpressionCount; ++e) {
        std::string narrow;
        for (const wchar_t *c = kExpressions[e]; *c != 0; ++c) {
            narrow += static_cast<char>(*c);
        }
        std::printf("  %2d  %s\n", e + 1, narrow.c_str());
    }
    std::printf("\ncompile+search: engine %.0f ns, wregex %.0f ns per path and expression; "
                "ratio of totals %.1fx, median ratio %.1fx (target >= 10x)\n",
                engineCompileTotal / kExpressionCount, stdCompileTotal / kExpressionCount,
                stdCompileTotal / engineCompileTotal, Median(compileRatios));
    std::printf("search only:    engine %.0f ns, wregex %.0f ns per path and expression; "
                "ratio of totals %.1fx, median ratio %.1fx (target >= 3x)\n",
                engineSearchTotal / kExpressionCount, stdSearchTotal / kExpressionCount,
                stdSearchTotal / engineSearchTotal, Median(searchRatios));
    std::printf("match counts %s\n", agree ? "agree" : "DIFFER");
    return agree ? 0 : 1;
}

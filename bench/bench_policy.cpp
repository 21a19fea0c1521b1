// Cost of the policy questions the hook code asks on every file open and
// process start. Figures are medians of several samples of one run; ratios
// compare with baselines measured in the same run.
//
//   file decision, N = 10, 100, 1000 FilePolicy nodes of five references
//   each, the asked path matching only the last node (worst case):
//     ns per decision, and the ratio N=1000 / N=10 (target <= 110);
//     ns per node against a bare loop of Utility::file_in_path over the same
//     references with pre-converted wide strings (target <= 2x).
//   process decision with a name list and with a "_:regex:" pattern, and the
//   cost of compiling and searching the expressions anew (regex_search_icase)
//   that preparing them once saves.
#include "policy/FilePolicy.h"
#include "policy/MatchingVisitors.h"
#include "policy/ProcessPolicy.h"
#include "regex/RegexMatch.h"
#include "sys/Utility.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace zem::vfs;

namespace {

double now_ns() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) * 1e9 / double(frequency.QuadPart);
}

// Median over `samples` of the ns per call of `body`, each sample running it
// `calls` times.
template <class F> double median_ns(int samples, int calls, F body) {
    std::vector<double> per_call;
    body(); // warm up
    for (int s = 0; s < samples; ++s) {
        double start = now_ns();
        for (int i = 0; i < calls; ++i)
            body();
        per_call.push_back((now_ns() - start) / calls);
    }
    std::sort(per_call.begin(), per_call.end());
    return per_call[per_call.size() / 2];
}

// The five references of node i.
std::vector<std::string> references(int i) {
    std::string n = std::to_string(i);
    return {"C:\\data\\n" + n + "\\a\\", "C:\\data\\n" + n + "\\b.txt", "D:\\x" + n + "\\",
            "E:\\y" + n + "\\z\\", "C:\\Program Files\\app" + n + "\\"};
}

std::string joined(std::vector<std::string> const &refs) {
    std::string out;
    for (std::string const &r : refs)
        out += (out.empty() ? "" : ";") + r;
    return out;
}

volatile int sink = 0;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main() {
    std::printf("bench_policy (medians)\n");
    // The three trees are measured in turns, so that a change of the load of
    // the machine during the run touches every size alike.
    int const sizes[] = {10, 100, 1000};
    struct Case {
        PolicyGroup root{"root"};
        std::vector<std::wstring> wide_refs;
        std::string path;
        std::wstring wide_path;
        int calls = 0;
        std::vector<double> decision, bare;
    } cases[3];
    for (int k = 0; k < 3; ++k) {
        int const n = sizes[k];
        Case &c = cases[k];
        for (int i = 0; i < n; ++i) {
            std::vector<std::string> refs = references(i);
            c.root.add(new FilePolicy(("node" + std::to_string(i)).c_str(), joined(refs).c_str(), 1,
                                      1, "R:\\redirected\\"));
            for (std::string const &r : refs)
                c.wide_refs.push_back(Utility::utf82w(r));
        }
        c.path = "C:\\Program Files\\app" + std::to_string(n - 1) + "\\bin\\tool.exe";
        c.wide_path = Utility::utf82w(c.path);
        c.calls = 20000 / n;
        // Check the question once: only the last node decides.
        FilePolicyVisitor check(c.path.c_str(), 1);
        c.root.apply(check);
        if (check.policy() != 1 || std::string(check.mappedfile()) != "R:\\redirected\\" ||
            !check.finished()) {
            std::printf("unexpected decision %d %s\n", check.policy(), check.mappedfile());
            return 1;
        }
    }
    for (int round = 0; round < 31; ++round) {
        for (Case &c : cases) {
            c.decision.push_back(median_ns(1, c.calls, [&] {
                FilePolicyVisitor v(c.path.c_str(), 1);
                c.root.apply(v);
                sink += v.policy();
            }));
            c.bare.push_back(median_ns(1, c.calls, [&] {
                int hits = 0;
                for (std::wstring const &r : c.wide_refs)
                    hits += Utility::file_in_path(r, c.wide_path) ? 1 : 0;
                sink += hits;
            }));
        }
    }
    double decision[3], bare[3];
    for (int k = 0; k < 3; ++k) {
        decision[k] = median(cases[k].decision);
        bare[k] = median(cases[k].bare);
        int const n = sizes[k];
        std::printf("file decision   N=%4d: %12.0f ns/decision  %8.1f ns/node  "
                    "(bare file_in_path loop: %8.1f ns/node)\n",
                    n, decision[k], decision[k] / n, bare[k] / n);
    }
    std::printf("ratio N=1000 / N=10: %.1f (target <= 110)\n", decision[2] / decision[0]);
    std::printf("per-node cost / bare loop at N=1000: %.2fx (target <= 2x)\n",
                (decision[2] / 1000) / (bare[2] / 1000));

    // Process decisions: the last of 20 nodes matches.
    {
        PolicyGroup names("names");
        PolicyGroup regexes("regexes");
        for (int i = 0; i < 19; ++i) {
            std::string n = std::to_string(i);
            names.add(new ProcessPolicy(("p" + n).c_str(),
                                        ("tool" + n + ".exe;helper" + n + ".exe").c_str(), 1));
            regexes.add(new ProcessPolicy(("r" + n).c_str(),
                                          ("_:regex:\\\\tool" + n + "\\.exe$").c_str(), 1));
        }
        names.add(new ProcessPolicy("last", "notepad.exe;wordpad.exe;cmd.exe", 3));
        regexes.add(new ProcessPolicy("last", "_:regex:\\\\(cmd|powershell)\\.exe$", 3));
        char const *image = "C:\\Windows\\System32\\cmd.exe";
        double list = median_ns(15, 2000, [&] {
            ProcessPolicyVisitor v(image, nullptr, 0);
            names.apply(v);
            sink += v.hook();
        });
        double regex = median_ns(15, 2000, [&] {
            ProcessPolicyVisitor v(image, nullptr, 0);
            regexes.apply(v);
            sink += v.hook();
        });
        // The same 20 expressions compiled and searched anew for every test.
        std::vector<std::wstring> expressions;
        for (int i = 0; i < 19; ++i)
            expressions.push_back(L"\\\\tool" + std::to_wstring(i) + L"\\.exe$");
        expressions.push_back(L"\\\\(cmd|powershell)\\.exe$");
        std::wstring const wide_image = Utility::utf82w(image);
        double anew = median_ns(15, 200, [&] {
            for (std::wstring const &e : expressions) {
                if (regex_search_icase(e, wide_image)) {
                    ++sink;
                    break;
                }
            }
        });
        std::printf("process decision, 20 nodes, name lists:   %8.0f ns\n", list);
        std::printf("process decision, 20 nodes, _:regex:      %8.0f ns\n", regex);
        std::printf("  compiling and searching the 20 expressions anew would add %8.0f ns "
                    "(%.0f%% of the decision); they are compiled once per pattern\n",
                    anew, 100.0 * anew / regex);
    }
    return 0;
}

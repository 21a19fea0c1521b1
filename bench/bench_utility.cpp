// utf82w and w2utf8 on short paths and on 64 KiB texts, against one bare
// MultiByteToWideChar / WideCharToMultiByte call into a ready buffer. Prints
// the median ns per call over several runs and the time ratio (ours / bare:
// the cost of the size query, the temporary buffer and the result string),
// and the ratio to the bare size query plus conversion.
#include "../common/sys/Utility.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using zem::vfs::Utility;

namespace {

const int kRuns = 9;

volatile std::size_t g_sink;

template <class F> double ns_per_call(int calls, F f) {
    std::vector<double> runs;
    for (int run = 0; run < kRuns; ++run) {
        auto t = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) {
            g_sink = g_sink + f();
        }
        std::chrono::duration<double, std::nano> d = std::chrono::steady_clock::now() - t;
        runs.push_back(d.count() / calls);
    }
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

// `sized` is the bare pair of calls the conversions are built on: the size
// query and the conversion itself.
void report(char const *what, double ours, double bare, double sized) {
    std::printf("%-28s zem %10.1f ns  bare %10.1f ns  ratio %.2f  (to size+convert %.2f)\n", what,
                ours, bare, ours / bare, ours / sized);
}

void bench(char const *label, std::string const &utf8, int calls) {
    std::wstring const wide = Utility::utf82w(utf8);
    std::vector<wchar_t> wbuf(wide.size() + 1);
    std::vector<char> buf(utf8.size() + 1);

    double ours = ns_per_call(calls, [&] { return Utility::utf82w(utf8).size(); });
    double bare = ns_per_call(calls, [&] {
        return static_cast<std::size_t>(MultiByteToWideChar(
            CP_UTF8, 0, utf8.c_str(), -1, wbuf.data(), static_cast<int>(wbuf.size())));
    });
    double sized = ns_per_call(calls, [&] {
        int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
        return static_cast<std::size_t>(
            MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wbuf.data(), n));
    });
    report((std::string("utf82w ") + label).c_str(), ours, bare, sized);

    ours = ns_per_call(calls, [&] { return Utility::w2utf8(wide).size(); });
    bare = ns_per_call(calls, [&] {
        return static_cast<std::size_t>(
            WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, buf.data(),
                                static_cast<int>(buf.size()), nullptr, nullptr));
    });
    sized = ns_per_call(calls, [&] {
        int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
        return static_cast<std::size_t>(
            WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, buf.data(), n, nullptr, nullptr));
    });
    report((std::string("w2utf8 ") + label).c_str(), ours, bare, sized);
}

} // namespace

int main() {
    std::printf("median of %d runs\n", kRuns);
    bench("short ascii path", "C:\\Users\\Public\\Documents\\Quillon\\sandbox\\report.docx",
          200000);
    bench("short non-ascii path",
          "C:\\Users\\J\xC3\xBCrgen\\\xE6\x96\x87\xE6\xA1\xA3\\r\xC3\xA9sum\xC3\xA9.txt", 200000);

    std::string text;
    char const *const words[] = {"path ", "fichier\xC3\xA9 ", "\xE6\x96\x87\xE4\xBB\xB6 ",
                                 "C:\\dir\\ ", "\xF0\x9F\x98\x80 "};
    for (std::size_t i = 0; text.size() < 64 * 1024 - 16; ++i) {
        text += words[i % 5];
    }
    bench("64 KiB mixed text", text, 2000);
    bench("64 KiB ascii text", std::string(64 * 1024 - 1, 'a'), 2000);
    return 0;
}

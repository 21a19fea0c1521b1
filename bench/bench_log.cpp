// The logger's two costs: a disabled ZEM_LOG statement (its message would
// format a string and two numbers), against a loop that only loads one
// global integer and compares it; and enabled records written to a file,
// from one thread and from two. Prints medians over several runs.
#include "../common/log/Log.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using zem::vfs::Log;

namespace {

const int kRuns = 9;

volatile int g_threshold = 4;
volatile unsigned g_sink;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <class F> double seconds(F f) {
    auto start = std::chrono::steady_clock::now();
    f();
    std::chrono::duration<double> d = std::chrono::steady_clock::now() - start;
    return d.count();
}

} // namespace

int main() {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    char path[MAX_PATH * 2];
    std::snprintf(path, sizeof path, "%ls\\bench_log_%lu.log", temp, GetCurrentProcessId());
    // Settings go through short-lived bare records: a Log object holds the
    // logger's lock for its whole life.
    if (!Log(nullptr, 0, 8).open(path)) {
        std::printf("cannot open %s\n", path);
        return 1;
    }
    Log(nullptr, 0, 8).level(4);
    std::string const name = "pipe \\\\.\\pipe\\zem.vfs.dispatcher_4";

    // Disabled statement: debug level under the threshold "warn", with a
    // file sink open, so both of can()'s tests run.
    const int statements = 20000000;
    std::vector<double> disabled, baseline;
    for (int run = 0; run < kRuns; ++run) {
        disabled.push_back(seconds([&] {
                               for (int i = 0; i < statements; ++i)
                                   ZEM_LOG(7, "connect " << name << " try " << i << " of "
                                                         << statements);
                           }) *
                           1e9 / statements);
        baseline.push_back(seconds([&] {
                               for (int i = 0; i < statements; ++i) {
                                   if (g_threshold >= 7)
                                       g_sink = g_sink + 1;
                               }
                           }) *
                           1e9 / statements);
    }
    double const off = median(disabled);
    double const bare = median(baseline);
    std::printf("disabled ZEM_LOG statement      %8.3f ns\n", off);
    std::printf("load one integer and compare    %8.3f ns\n", bare);
    std::printf("ratio                           %8.2f (target <= 2)\n", off / bare);

    // Enabled records to the file.
    const int records = 100000;
    std::vector<double> one, two;
    for (int run = 0; run < 5; ++run) {
        one.push_back(records / seconds([&] {
                          for (int i = 0; i < records; ++i)
                              ZEM_LOG(4, "connect " << name << " try " << i << " of " << records);
                      }));
        two.push_back(2 * records / seconds([&] {
                          auto work = [&] {
                              for (int i = 0; i < records; ++i)
                                  ZEM_LOG(4,
                                          "connect " << name << " try " << i << " of " << records);
                          };
                          std::thread a(work), b(work);
                          a.join();
                          b.join();
                      }));
    }
    std::printf("records to a file, 1 thread     %10.0f per second\n", median(one));
    std::printf("records to a file, 2 threads    %10.0f per second\n", median(two));

    Log(nullptr, 0, 8).open(nullptr);
    DeleteFileA(path);
    return 0;
}

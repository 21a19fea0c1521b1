// Stream round trip over an in-memory buffer: 1,000,000 int values and
// 100,000 short strings written and read back, against a plain memcpy of the
// same bytes.
#include <zem/vfs.h>

#include "../tests/support/MemoryStreamBuf.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace zem::vfs;
using zem::vfs::test::MemoryStreamBuf;

namespace {

double now_ns() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) * 1e9 / double(freq.QuadPart);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

volatile long long sink;

} // namespace

int main() {
    const int kInts = 1000000, kStrings = 100000, kRuns = 7;
    std::vector<std::string> strings;
    for (int i = 0; i < kStrings; ++i)
        strings.push_back("C:\\dir\\f" + std::to_string(i) + ".txt");

    std::vector<double> ints_ns, strings_ns, memcpy_ints_ns, memcpy_strings_ns;
    std::size_t int_bytes = 0, string_bytes = 0;
    for (int run = 0; run < kRuns; ++run) {
        MemoryStreamBuf buf;
        Stream s(buf);
        double t0 = now_ns();
        for (int i = 0; i < kInts; ++i)
            s << i;
        long long sum = 0;
        for (int i = 0; i < kInts; ++i) {
            int v = 0;
            s >> v;
            sum += v;
        }
        double t1 = now_ns();
        int_bytes = buf.bytes().size();
        sink = sum;
        ints_ns.push_back((t1 - t0) / kInts);

        MemoryStreamBuf sbuf;
        Stream ss(sbuf);
        t0 = now_ns();
        for (auto const &str : strings)
            ss << str;
        std::string back;
        for (int i = 0; i < kStrings; ++i) {
            back.clear();
            ss >> back;
            sum += static_cast<long long>(back.size());
        }
        t1 = now_ns();
        string_bytes = sbuf.bytes().size();
        sink = sum;
        strings_ns.push_back((t1 - t0) / kStrings);

        // Baseline: the same bytes copied in and out once with memcpy.
        for (auto pair :
             {std::make_pair(&buf, &memcpy_ints_ns), std::make_pair(&sbuf, &memcpy_strings_ns)}) {
            std::string const &src = pair.first->bytes();
            std::vector<char> a(src.size()), b(src.size());
            int count = pair.first == &buf ? kInts : kStrings;
            t0 = now_ns();
            std::memcpy(a.data(), src.data(), src.size());
            std::memcpy(b.data(), a.data(), a.size());
            t1 = now_ns();
            sink = b[b.size() / 2];
            pair.second->push_back((t1 - t0) / count);
        }
    }
    double ni = median(ints_ns), ns = median(strings_ns);
    double mi = median(memcpy_ints_ns), ms = median(memcpy_strings_ns);
    std::printf("Stream round trip over memory (median of %d runs)\n", kRuns);
    std::printf("  int      : %7.1f ns/value (%zu bytes), memcpy %6.2f ns/value, ratio %.1f\n", ni,
                int_bytes, mi, ni / mi);
    std::printf("  string   : %7.1f ns/value (%zu bytes), memcpy %6.2f ns/value, ratio %.1f\n", ns,
                string_bytes, ms, ns / ms);
    return 0;
}

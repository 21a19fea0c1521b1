// Request round trips against the helper dispatcher: a LogRequest with a
// 32-byte text sent and its Response read, by one client and by 8 clients at
// once, against a raw named-pipe ping-pong of the same byte counts (one write
// and one read each way) measured in the same run. Also counts the system
// calls (ReadFile, WriteFile) that one round trip makes on the client and the
// helper's processor time per request, and measures the helper alone: the same frames written and
// read in one piece each, without the Stream on the client.
//
//   bench_request.exe [requests per client, default 500]
//
// The helper program (zem.vfs.dispatcher_wow64.exe, or the build's
// zem_vfs_dispatcher_wow64.exe) is taken from the benchmark's own folder.
#include <zem/vfs.h>

#include "ipc/Pipe.h"
#include "request/Requests.h"
#include "serialize/HandleStream.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace zem::vfs;

namespace {

double now_s() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(freq.QuadPart);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string folder_of_program() {
    char path[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p(path, n);
    return p.substr(0, p.find_last_of("\\/") + 1);
}

// The handle buffer that request senders use, counting its system calls.
class CountingBuf : public HandleStreamBuf {
public:
    explicit CountingBuf(HANDLE h) : HandleStreamBuf(h) {}
    uint64 put(void const *data, uint64 size) override {
        ++writes;
        return HandleStreamBuf::put(data, size);
    }
    long reads = 0, writes = 0;

protected:
    uint64 read_handle(void *data, uint64 size) override {
        ++reads;
        return HandleStreamBuf::read_handle(data, size);
    }
};

char const kText[] = "0123456789abcdef0123456789ABCDEF"; // 32 bytes

HANDLE connect_pipe(std::string const &name) {
    for (int i = 0; i < 1000; ++i) {
        Pipe p;
        if (p.connect(name.c_str(), false))
            return p.detach();
        Sleep(10);
    }
    return INVALID_HANDLE_VALUE;
}

// Round trips of one client on its own connection; false on any failure.
bool request_client(std::string const &pipe, int count) {
    HANDLE h = connect_pipe(pipe);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    HandleStream stream(h);
    for (int i = 0; i < count; ++i) {
        LogRequest r(kText);
        Response *resp = r.send(stream, true);
        bool ok = resp != nullptr && resp->id() == r.id();
        Variable::release(resp);
        if (!ok)
            return false;
    }
    return true;
}

bool read_exactly(HANDLE h, char *p, DWORD size) {
    while (size != 0) {
        DWORD n = 0;
        if (!ReadFile(h, p, size, &n, nullptr) || n == 0)
            return false;
        p += n;
        size -= n;
    }
    return true;
}

// The raw baseline: a server thread per connection answers each block of
// `in` bytes with `out` bytes.
struct RawServer {
    std::string name;
    std::vector<std::thread> threads;
    RawServer(int clients, DWORD in, DWORD out) {
        name = "\\\\.\\pipe\\zem_bench_raw_" + std::to_string(GetCurrentProcessId()) + "_" +
               std::to_string(clients);
        for (int c = 0; c < clients; ++c) {
            HANDLE h =
                CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 255, 4096, 4096, 0, nullptr);
            threads.emplace_back([h, in, out] {
                ConnectNamedPipe(h, nullptr);
                std::vector<char> request(in), response(out, 'r');
                for (;;) {
                    if (!read_exactly(h, request.data(), in))
                        break;
                    DWORD n = 0;
                    if (!WriteFile(h, response.data(), out, &n, nullptr))
                        break;
                }
                CloseHandle(h);
            });
        }
    }
    ~RawServer() {
        for (auto &t : threads)
            t.join();
    }
};

bool raw_client(std::string const &name, int count, DWORD in, DWORD out,
                std::string const &frame = std::string()) {
    HANDLE h = connect_pipe(name);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    std::vector<char> request(in, 'q'), response(out);
    if (!frame.empty())
        request.assign(frame.begin(), frame.end());
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        DWORD n = 0;
        ok = WriteFile(h, request.data(), in, &n, nullptr) && n == in &&
             read_exactly(h, response.data(), out);
    }
    CloseHandle(h);
    return ok;
}

// Processor time the process has used so far, user and kernel, in seconds.
double cpu_s(HANDLE process) {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user))
        return 0;
    auto seconds = [](FILETIME const &t) {
        return double((uint64(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// Requests per second of `clients` clients running `body` at once.
template <class Body> double rate(int clients, int count, Body body) {
    std::atomic<int> failures{0};
    double start = now_s();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            if (!body())
                ++failures;
        });
    for (auto &t : threads)
        t.join();
    double elapsed = now_s() - start;
    if (failures != 0)
        return 0;
    return double(clients) * count / elapsed;
}

} // namespace

int main(int argc, char **argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 500;
    if (count <= 0)
        count = 500;
    const int kRuns = 5;

    // The helper serves this process.
    std::string folder = folder_of_program();
    std::string exe = folder + "zem.vfs.dispatcher_wow64.exe";
    if (GetFileAttributesA(exe.c_str()) == INVALID_FILE_ATTRIBUTES)
        exe = folder + "zem_vfs_dispatcher_wow64.exe";
    std::string line = "\"" + exe + "\" /helper " + std::to_string(GetCurrentProcessId());
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(exe.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &si, &pi)) {
        std::printf("cannot start %s\n", exe.c_str());
        return 1;
    }
    CloseHandle(pi.hThread);
    std::string pipe = "\\\\.\\pipe\\zem.vfs.dispatcher_" + std::to_string(pi.dwProcessId);

    // Byte counts of one round trip and the client's system calls.
    LogRequest sample(kText);
    HANDLE h = connect_pipe(pipe);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("cannot reach the helper\n");
        TerminateProcess(pi.hProcess, 1);
        return 1;
    }
    long reads = 0, writes = 0;
    DWORD request_bytes = 0;
    std::string frame;
    {
        CountingBuf counting(h);
        Stream s(counting);
        const int kCounted = 100;
        for (int i = 0; i < kCounted; ++i) {
            LogRequest r(kText);
            Variable::release(r.send(s, true));
        }
        reads = counting.reads;
        writes = counting.writes;
        counting.detach();
        std::printf("client system calls per round trip: %.1f WriteFile, %.1f ReadFile; "
                    "helper: one ReadFile of up to 16 KiB per frame received, one WriteFile "
                    "per answer, one completion per request\n",
                    double(writes) / kCounted, double(reads) / kCounted);
    }
    CloseHandle(h);
    {
        struct Sizer : StreamBuf {
            uint64 n = 0;
            std::string bytes;
            int error() const override { return 0; }
            uint64 put(void const *data, uint64 size) override {
                bytes.append(static_cast<char const *>(data), std::size_t(size));
                n += size;
                return size;
            }
            bool sync() override { return true; }
            uint64 get(void *, uint64) override { return 0; }
            uint64 peek(void *, uint64) override { return 0; }
            void close() override {}
        } sizer;
        Stream s(sizer);
        sample.serialize(s);
        request_bytes = DWORD(sizer.n);
        frame = sizer.bytes;
    }
    const DWORD kResponseBytes = 27;
    std::printf("round trip: request %lu bytes, response %lu bytes, %d requests per client, "
                "median of %d runs\n",
                request_bytes, kResponseBytes, count, kRuns);

    double ratios[2] = {0, 0};
    for (int clients : {1, 8}) {
        std::vector<double> requests, raws, helper_raws;
        double helper_cpu = 0;
        for (int run = 0; run < kRuns; ++run) {
            double cpu = cpu_s(pi.hProcess);
            requests.push_back(rate(clients, count, [&] { return request_client(pipe, count); }));
            helper_cpu += cpu_s(pi.hProcess) - cpu;
            helper_raws.push_back(rate(clients, count, [&] {
                return raw_client(pipe, count, request_bytes, kResponseBytes, frame);
            }));
            RawServer server(clients, request_bytes, kResponseBytes);
            raws.push_back(rate(clients, count, [&] {
                return raw_client(server.name, count, request_bytes, kResponseBytes);
            }));
        }
        double r = median(requests), raw = median(raws);
        std::printf("%d client%s: requests %.0f/s, raw pipe ping-pong %.0f/s, ratio %.2f "
                    "(request time / raw time %.2f)\n",
                    clients, clients == 1 ? " " : "s", r, raw, raw > 0 ? r / raw : 0.0,
                    r > 0 ? raw / r : 0.0);
        ratios[clients == 1 ? 0 : 1] = raw > 0 ? r / raw : 0.0;
        std::printf("%d client%s: helper processor time per request %.1f us\n", clients,
                    clients == 1 ? " " : "s", helper_cpu * 1e6 / (double(kRuns) * clients * count));
        double hr = median(helper_raws);
        std::printf("%d client%s: the same frames written and read whole against the helper "
                    "%.0f/s, ratio to raw %.2f\n",
                    clients, clients == 1 ? " " : "s", hr, raw > 0 ? hr / raw : 0.0);
    }

    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hProcess);
    std::printf("summary: round_trip_vs_raw_1=%.2f round_trip_vs_raw_8=%.2f\n", ratios[0],
                ratios[1]);
    return 0;
}

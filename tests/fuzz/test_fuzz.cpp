// One seeded generator per parser that another process feeds: a fixed number
// of inputs, or N seconds each with --fuzz-seconds N. A crash is reported with
// the entry and the input number.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <windows.h>

#include <psapi.h>

#include <zem/vfs.h>

#include "support/MemoryStreamBuf.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>

namespace zem::vfs {
namespace {

using Rng = std::mt19937;
using test::MemoryStreamBuf;

char const *g_entry = "";
std::atomic<long long> g_input(0);

LONG WINAPI report_crash(EXCEPTION_POINTERS *info) {
    std::fprintf(stderr, "fuzz %s: crash 0x%08lx on input %lld\n", g_entry,
                 info->ExceptionRecord->ExceptionCode, g_input.load());
    std::fflush(stderr);
    ExitProcess(3);
}

double fuzz_seconds() {
    char const *at = std::strstr(GetCommandLineA(), "--fuzz-seconds");
    return at != nullptr ? std::atof(at + std::strlen("--fuzz-seconds") + 1) : 0.0;
}

// Runs `one` for `count` inputs (or for --fuzz-seconds) and reports.
void run(char const *entry, long long count, std::function<void(Rng &)> const &one) {
    SetUnhandledExceptionFilter(report_crash);
    g_entry = entry;
    double const seconds = fuzz_seconds();
    auto const until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    Rng rng(20261207);
    long long n = 0;
    for (; seconds > 0 ? std::chrono::steady_clock::now() < until : n < count; ++n) {
        g_input = n;
        one(rng); // an exception that crosses the library fails the test
    }
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::printf("fuzz %s: %lld inputs, 0 crashes, peak memory %.1f MiB\n", entry, n,
                memory.PeakPagefileUsage / 1048576.0);
}

// A valid sample, cut, flipped, spliced with hostile pieces or repeated.
std::string mutate(std::string bytes, Rng &rng) {
    static char const *const pieces[] = {
        "I:8:", "i:4:", "s:", "v:Request:", "n:", "\xff\xff\xff\x7f", "b:8:", "v:", "\r\n", "%s",
        "0x",   "-1",   ";",  "\\",         "(?"};
    for (int k = 1 + int(rng() % 4); k > 0 && !bytes.empty(); --k) {
        std::size_t const at = rng() % bytes.size();
        unsigned const kind = rng() % 5;
        if (kind == 0)
            bytes.resize(at);
        else if (kind == 1)
            bytes[at] = char(rng());
        else if (kind == 2)
            bytes.insert(at, pieces[rng() % (sizeof pieces / sizeof pieces[0])]);
        else if (kind == 3)
            bytes.insert(at, bytes.substr(at, rng() % 64));
        else
            bytes.erase(at, rng() % 8);
    }
    return bytes;
}

TEST(Fuzz, StreamFramesAndRequests) {
    PropertyRequest property;
    property.add("colour", "blue");
    MemoryStreamBuf frame;
    Stream(frame) << property;
    std::string const samples[] = {frame.bytes(),
                                   "v:Response:i:4:\x04\0\0\0i:4:\x04\0\0\0s::k\0s::v\0s::\0"};
    run("stream", 20000, [&](Rng &rng) {
        MemoryStreamBuf buffer(mutate(samples[rng() % 2], rng));
        Stream s(buffer);
        for (int i = 0; i < 4 && s.good(); ++i)
            Variable::release(s.load());
    });
}

// The wire form and the text form of one tree, mutated.
TEST(Fuzz, PolicyBytesAndText) {
    PolicyGroup root("root");
    root.add(new FilePolicy("f", "C:\\src\\;_:regex:x", 3, 1, "D:\\dst\\"));
    root.add(new ProcessPolicy("p", "*a.exe:b.exe", 1), 1);
    root.add(new HookTypePolicy("h", "*", "file", "registry", static_cast<char const *>(nullptr)));
    PolicyGroup *inner = new PolicyGroup("inner");
    inner->add(new BasePolicy("b", "disp"));
    root.add(inner);
    std::string bytes;
    ASSERT_TRUE(PolicyText::to_bytes(root, bytes));
    std::string const text = PolicyText::print(root);
    run("policy", 5000, [&](Rng &rng) {
        PolicyText::Error error;
        PolicyGroup *tree = rng() % 2 ? PolicyText::from_bytes(mutate(bytes, rng), &error)
                                      : PolicyText::parse(mutate(text, rng), &error);
        if (tree != nullptr)
            tree->release();
    });
}

TEST(Fuzz, FileAndProcessPatterns) {
    std::string const patterns[] = {"_:regex:^C:\\\\(a|b)+\\.tmp$", "_:regex:(?<=x)y(?1)",
                                    "$:*x.exe:_:!:disk:unc:s\\", "*a;b:_:regex:(?i)[[:alpha:]]{2,}",
                                    "C:\\src\\;D:/x/"};
    run("patterns", 1500, [&](Rng &rng) {
        std::string const pattern = mutate(patterns[rng() % 5], rng);
        std::string const path = mutate("\\??\\C:\\src\\a\\B.tmp", rng);
        FileMatch(pattern.c_str(), 1).match_file(path.c_str(), 1);
        ProcessMatch(pattern.c_str()).match_process(path.c_str(), nullptr);
    });
}

TEST(Fuzz, RegistryValues) {
    std::string const key = "zem_fuzz_" + std::to_string(GetCurrentProcessId());
    ProcessConfig config(1, key.c_str(), true);
    std::string const path = "Software\\Tavrin Labs\\Quillon\\" + key;
    DWORD const types[] = {REG_SZ, REG_DWORD, REG_BINARY, REG_EXPAND_SZ, REG_MULTI_SZ, REG_QWORD};
    run("registry", 2000, [&](Rng &rng) {
        // A number, a NUL, text and an empty last string, as REG_MULTI_SZ ends.
        std::string const data = mutate(std::string("4294967295\0-12x\0\0", 17), rng);
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetKeyValueA(HKEY_CURRENT_USER, path.c_str(), "v", types[rng() % 6],
                                  data.data(), DWORD(data.size())));
        int number = 0;
        std::string text;
        char raw[16];
        config.get_int("v", number);
        config.get_string("v", text);
        config.get_data("v", raw, rng() % sizeof raw);
    });
    ProcessConfig(1, "", false).delete_key(key.c_str());
}

// A loopback server that answers each request with the next scripted reply.
struct Server {
    Server() : listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof a;
        bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(listener, 8);
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &size);
        port = ntohs(a.sin_port);
        thread = std::thread([this] {
            for (SOCKET c; (c = accept(listener, nullptr, nullptr)) != INVALID_SOCKET;) {
                DWORD timeout = 100; // the second request, if any, follows at once
                setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char *>(&timeout),
                           sizeof timeout);
                char buffer[4096];
                for (int i = 0; i < 2 && recv(c, buffer, sizeof buffer, 0) > 0; ++i)
                    send(c, replies[i].data(), int(replies[i].size()), 0);
                shutdown(c, SD_SEND);
                closesocket(c);
            }
        });
    }
    ~Server() {
        closesocket(listener);
        thread.join();
    }
    SOCKET listener;
    unsigned short port = 0;
    std::string replies[2];
    std::thread thread;
};

TEST(Fuzz, HttpHeadsAndChallenges) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    Server server;
    http::HttpSession session;
    std::wstring const url = L"http://127.0.0.1:" + std::to_wstring(server.port) + L"/x";
    std::unique_ptr<http::NetProxy> proxy(session.get_proxy(1, "127.0.0.1", server.port, "u", "p"));
    std::unique_ptr<http::NetProxy> socks(session.get_proxy(2, "127.0.0.1", server.port, "u", "p"));
    std::string const heads[] = {
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nSet-Cookie: a=1; path=/\r\n\r\n5;x=y\r\n"
        "hello\r\n0\r\n\r\n",
        "HTTP/1.1 302 Found\r\nLocation: http://h/\r\nContent-Length: 3\r\n\r\nabc",
        "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Digest realm=\"r\", "
        "nonce=\"n\", qop=\"auth\", algorithm=MD5, opaque=\"o\"\r\n\r\n",
        "HTTP/1.1 407 x\r\nProxy-Authenticate: Basic realm=\"r\"\r\n\r\n"};
    run("http", 100, [&](Rng &rng) {
        server.replies[0] = mutate(heads[rng() % 4], rng);
        server.replies[1] = rng() % 2 ? "HTTP/1.1 200 OK\r\n\r\n" : mutate(heads[rng() % 4], rng);
        unsigned const kind = rng() % 3;
        if (kind == 2) // a SOCKS reply
            server.replies[0] = mutate(std::string("\x00\x5a\x00\x50\x7f\x00\x00\x01", 8), rng);
        if (kind > 0) {
            uint64 const s = (kind == 1 ? proxy : socks)->connect("target", 80);
            if (s != ~0ull)
                closesocket(SOCKET(s));
        } else if (http::HttpStream *s = session.get(url.c_str())) {
            char buffer[512];
            for (int i = 0; i < 8 && http::HttpSession::query_size(s) + 1 > 1; ++i)
                s->read(buffer, sizeof buffer);
            s->release();
        }
    });
}

} // namespace
} // namespace zem::vfs

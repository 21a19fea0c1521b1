// A client of the helper dispatcher, started by the helper tests:
//   child_client load <pipe> <count>   sends <count> requests and checks each
//                                      answer; prints "ok=<n>" and "bad=<n>"
//   child_client half <pipe>           writes half a request frame and dies
//   child_client garbage <pipe>        writes bytes that are no frame and
//                                      prints "dropped=1" once the helper
//                                      has closed the connection
//   child_client idle <pipe>           connects, prints "connected=1" and
//                                      waits to be ended
//   child_client wait x                waits to be ended
#include "ipc/Pipe.h"
#include "request/Requests.h"
#include "serialize/HandleStream.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace zem::vfs;

namespace {

HANDLE connect(char const *name) {
    for (int i = 0; i < 500; ++i) {
        Pipe pipe;
        if (pipe.connect(name, false))
            return pipe.detach();
        Sleep(20);
    }
    return INVALID_HANDLE_VALUE;
}

int load(char const *name, int count) {
    HANDLE h = connect(name);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("connect=0\n");
        return 2;
    }
    HandleStream stream(h);
    int ok = 0, bad = 0;
    char key[32];
    std::snprintf(key, sizeof key, "child%lu", GetCurrentProcessId());
    for (int i = 0; i < count; ++i) {
        int expected = 0;
        Request *r = nullptr;
        PropertyRequest *p = nullptr;
        switch (i % 3) {
        case 0:
            r = new LogRequest("load", 7);
            break;
        case 1:
            r = new Request("no_such_request", -1);
            expected = 3;
            break;
        default:
            p = new PropertyRequest();
            p->add(key, std::to_string(i).c_str());
            p->query(key);
            r = p;
            break;
        }
        Response *resp = r->send(stream, true);
        bool good = resp != nullptr && resp->id() == r->id() && r->error() == expected;
        if (good && p != nullptr) {
            char const *value = p->get(key);
            good = value != nullptr && std::to_string(i) == value;
        }
        if (resp != nullptr)
            resp->release();
        delete r;
        if (good)
            ++ok;
        else
            ++bad;
    }
    // Nothing more may arrive: every answer belonged to one request.
    DWORD extra = 0;
    PeekNamedPipe(h, nullptr, 0, nullptr, &extra, nullptr);
    std::printf("ok=%d\nbad=%d\nextra=%lu\n", ok, bad, extra);
    std::fflush(stdout);
    return bad == 0 && extra == 0 ? 0 : 1;
}

int half(char const *name) {
    HANDLE h = connect(name);
    if (h == INVALID_HANDLE_VALUE)
        return 2;
    // The first half of the frame, then the process is gone.
    char const head[] = "v:Request:i:4:\x05\x00\x00\x00s::print_log";
    DWORD n = 0;
    WriteFile(h, head, sizeof head - 1, &n, nullptr);
    std::printf("written=%lu\n", n);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 7);
    return 7;
}

int garbage(char const *name) {
    HANDLE h = connect(name);
    if (h == INVALID_HANDLE_VALUE)
        return 2;
    char junk[256];
    for (int i = 0; i < int(sizeof junk); ++i)
        junk[i] = char((i * 37 + 11) & 0xFF);
    DWORD n = 0;
    WriteFile(h, junk, sizeof junk, &n, nullptr);
    char buffer[64];
    BOOL read = ReadFile(h, buffer, sizeof buffer, &n, nullptr);
    std::printf("dropped=%d\n", !read || n == 0 ? 1 : 0);
    std::fflush(stdout);
    CloseHandle(h);
    return 0;
}

int idle(char const *name) {
    HANDLE h = connect(name);
    if (h == INVALID_HANDLE_VALUE)
        return 2;
    std::printf("connected=1\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3)
        return 64;
    if (std::strcmp(argv[1], "load") == 0 && argc == 4)
        return load(argv[2], std::atoi(argv[3]));
    if (std::strcmp(argv[1], "half") == 0)
        return half(argv[2]);
    if (std::strcmp(argv[1], "garbage") == 0)
        return garbage(argv[2]);
    if (std::strcmp(argv[1], "wait") == 0) {
        Sleep(INFINITE);
        return 0;
    }
    if (std::strcmp(argv[1], "idle") == 0)
        return idle(argv[2]);
    return 64;
}

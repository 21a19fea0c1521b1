// A client of the helper dispatcher, started by the helper tests:
//   child_client load <pipe> <count>   sends <count> requests and checks each
//                                      answer; prints "ok=<n>"
//   child_client wait                  waits to be ended
#include "ipc/Pipe.h"
#include "request/Requests.h"
#include "serialize/HandleStream.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace zem::vfs;

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "wait") == 0)
        Sleep(INFINITE);
    if (argc != 4 || std::strcmp(argv[1], "load") != 0)
        return 64;
    Pipe pipe;
    for (int i = 0; i < 200 && !pipe.connect(argv[2], false); ++i)
        WaitNamedPipeA(argv[2], 100);
    HandleStream stream(pipe.detach());
    std::string key = "child" + std::to_string(GetCurrentProcessId());
    int ok = 0, count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
        PropertyRequest p;
        p.add(key.c_str(), std::to_string(i).c_str());
        p.query(key.c_str());
        LogRequest log("load", 7);
        Request unserved("no_such_request", -1);
        Request *r = i % 3 == 0 ? static_cast<Request *>(&log) : i % 3 == 1 ? &unserved : &p;
        Response *resp = r->send(stream, true);
        bool good = resp != nullptr && resp->id() == r->id() && r->error() == (i % 3 == 1 ? 3 : 0);
        if (r == &p)
            good = good && p.get(key.c_str()) && std::to_string(i) == p.get(key.c_str());
        Variable::release(resp);
        ok += good;
    }
    DWORD extra = 0; // every answer belonged to one request
    PeekNamedPipe(stream.handle(), nullptr, 0, nullptr, &extra, nullptr);
    std::printf("ok=%d\nextra=%lu\n", ok, extra);
    return ok == count && extra == 0 ? 0 : 1;
}

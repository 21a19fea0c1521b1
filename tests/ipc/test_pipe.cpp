// Named pipes: client connect (absent and busy servers), the synchronous
// server instance, handle ownership, and the overlapped server instance with
// its connect, reads and rebinds through an IOPoll.
#include "ipc/IOPoll.h"
#include "ipc/Pipe.h"
#include "log/Log.h"
#include "serialize/HandleStream.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

using namespace zem::vfs;

namespace {

std::string unique_name(char const *tag) {
    static int counter = 0;
    char name[128];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\zem_test_%s_%lu_%d", tag, GetCurrentProcessId(),
                  ++counter);
    return name;
}

bool handle_open(void *h) {
    DWORD flags = 0;
    return h != INVALID_HANDLE_VALUE && GetHandleInformation(h, &flags) != FALSE;
}

HANDLE dup(void *h) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

HANDLE open_client(std::string const &name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// Sends the logger's records to a file for the life of the object.
class LogToFile {
public:
    LogToFile() {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        path_ =
            std::string(dir) + "zem_test_pipe_" + std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(path_.c_str());
        Log l(nullptr, 0, 8);
        l.open(path_.c_str());
        l.level(7);
    }
    ~LogToFile() {
        {
            Log l(nullptr, 0, 8);
            l.level(4);
            l.open(nullptr);
        }
        DeleteFileA(path_.c_str());
    }
    std::string text() const {
        std::string out;
        HANDLE f = CreateFileA(path_.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE)
            return out;
        char chunk[4096];
        DWORD n = 0;
        while (ReadFile(f, chunk, sizeof chunk, &n, nullptr) && n > 0)
            out.append(chunk, n);
        CloseHandle(f);
        return out;
    }

private:
    std::string path_;
};

// An overlapped server instance whose reads are collected.
class Collector : public AsyncPipe {
public:
    explicit Collector(void *h = INVALID_HANDLE_VALUE) : AsyncPipe(h) {}
    bool end_read(IOPoll &, void *buffer, uint64 bytes) override {
        got.append(static_cast<char *>(buffer), std::size_t(bytes));
        return bytes != 0;
    }
    void error(IOPoll &) override { ++errors; }
    std::string got;
    int errors = 0;
};

// Runs one completion from the port through its object; false on time-out.
bool run_one(IOPoll &poll, DWORD ms = 5000) {
    DWORD n = 0;
    ULONG_PTR key = 0;
    OVERLAPPED *ov = nullptr;
    BOOL ok = GetQueuedCompletionStatus(poll.port(), &n, &key, &ov, ms);
    if (!ok && ov == nullptr)
        return false;
    Pollable *p = reinterpret_cast<Pollable *>(key);
    if (!p->callback(poll, ok ? n : 0))
        p->error(poll);
    return true;
}

} // namespace

TEST(Pipe, ConnectToANameNobodyServesFailsAtOnce) {
    Pipe p;
    DWORD start = GetTickCount();
    EXPECT_FALSE(p.connect(unique_name("none").c_str(), false));
    EXPECT_LT(GetTickCount() - start, 2000u);
    EXPECT_EQ(1, p.state());
    EXPECT_EQ(INVALID_HANDLE_VALUE, p.handle());
    Pipe q(unique_name("none").c_str());
    EXPECT_EQ(1, q.state());
    EXPECT_FALSE(p.connect(nullptr, false));
}

TEST(Pipe, SynchronousServerAndClientCarryAStream) {
    std::string name = unique_name("sync");
    Pipe server;
    std::atomic<bool> bound{false};
    std::thread t([&] { bound = server.bind(name.c_str()); });
    Pipe client;
    bool connected = false;
    for (int i = 0; i < 200 && !connected; ++i) {
        connected = client.connect(name.c_str(), false);
        if (!connected)
            Sleep(10);
    }
    t.join();
    ASSERT_TRUE(connected);
    ASSERT_TRUE(bound.load());
    EXPECT_EQ(3, client.state());
    EXPECT_EQ(3, server.state());

    HandleStream out(client.detach());
    HandleStream in(dup(server.handle()));
    out << 1234 << "text";
    int n = 0;
    std::string s;
    in >> n >> s;
    EXPECT_EQ(1234, n);
    EXPECT_EQ("text", s);

    void *h = server.handle();
    server.disconnect();
    EXPECT_EQ(1, server.state());
    EXPECT_TRUE(handle_open(h));
    server.close();
    EXPECT_EQ(INVALID_HANDLE_VALUE, server.handle());
}

TEST(Pipe, ClientWaitsWhileTheOnlyInstanceIsBusy) {
    std::string name = unique_name("busy");
    HANDLE server =
        CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    HANDLE first = open_client(name);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    ConnectNamedPipe(server, nullptr); // already connected
    std::atomic<bool> second_ok{false};
    std::atomic<int> second_state{-1};
    std::thread second([&] {
        Pipe p;
        second_ok = p.connect(name.c_str(), false);
        second_state = p.state();
    });
    Sleep(700);
    EXPECT_EQ(-1, second_state.load()); // still waiting for the busy instance
    // The server lets the first client go and listens again.
    CloseHandle(first);
    DisconnectNamedPipe(server);
    std::thread listen([&] { ConnectNamedPipe(server, nullptr); });
    second.join();
    listen.join();
    EXPECT_TRUE(second_ok.load());
    EXPECT_EQ(3, second_state.load());
    CloseHandle(server);
}

TEST(Pipe, CopiesHoldTheirOwnHandle) {
    std::string name = unique_name("copy");
    HANDLE server =
        CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    Pipe a(name.c_str());
    ASSERT_EQ(3, a.state());
    void *copied = nullptr;
    {
        Pipe b(a);
        EXPECT_EQ(3, b.state());
        EXPECT_NE(a.handle(), b.handle());
        copied = b.handle();
        EXPECT_TRUE(handle_open(copied));
        Pipe c;
        c = b;
        EXPECT_NE(b.handle(), c.handle());
    }
    EXPECT_FALSE(handle_open(copied));
    EXPECT_TRUE(handle_open(a.handle()));
    void *h = a.detach();
    EXPECT_EQ(INVALID_HANDLE_VALUE, a.handle());
    EXPECT_EQ(3, a.state());
    a.close();
    EXPECT_EQ(1, a.state());
    EXPECT_TRUE(handle_open(h));
    CloseHandle(h);
    CloseHandle(server);
}

TEST(AsyncPipe, ClientThatCameFirstIsBoundAtOnce) {
    LogToFile log;
    IOPoll poll;
    std::string name = unique_name("first");
    HANDLE h = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0, 255,
                                4096, 4096, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HANDLE client = open_client(name);
    ASSERT_NE(INVALID_HANDLE_VALUE, client);
    Collector c(h);
    EXPECT_EQ(io_done, c.begin_bind(name.c_str(), poll));
    EXPECT_EQ(2, c.io_state());
    EXPECT_EQ(h, c.handle());
    EXPECT_NE(std::string::npos, log.text().find("bind ok+"));
    EXPECT_NE(std::string::npos, log.text().find("GetLastError() = 535"));
    CloseHandle(client);
}

TEST(AsyncPipe, ReadNeedsACompletedBind) {
    IOPoll poll;
    Collector c;
    char buffer[8];
    EXPECT_EQ(io_failed, c.begin_read(poll, buffer, sizeof buffer)); // no handle
    std::string name = unique_name("early");
    ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
    EXPECT_EQ(1, c.io_state());
    EXPECT_EQ(io_failed, c.begin_read(poll, buffer, sizeof buffer));
    EXPECT_EQ(1, c.io_state());
}

TEST(AsyncPipe, ConnectReadDisconnectAndRebindOnTheSameInstance) {
    IOPoll poll;
    std::string name = unique_name("rebind");
    Collector c;
    ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
    void *instance = c.handle();
    for (int round = 0; round < 3; ++round) {
        HANDLE client = open_client(name);
        ASSERT_NE(INVALID_HANDLE_VALUE, client) << round;
        ASSERT_TRUE(run_one(poll)); // the connection completes
        EXPECT_EQ(2, c.io_state());
        char buffer[64];
        ASSERT_NE(io_failed, c.begin_read(poll, buffer, sizeof buffer));
        EXPECT_EQ(3, c.io_state());
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(client, "hello", 5, &n, nullptr));
        ASSERT_TRUE(run_one(poll));
        EXPECT_EQ("hello", c.got);
        c.got.clear();
        // The client goes: the next read ends with 0 bytes and error().
        ASSERT_NE(io_failed, c.begin_read(poll, buffer, sizeof buffer));
        CloseHandle(client);
        ASSERT_TRUE(run_one(poll));
        EXPECT_EQ(round + 1, c.errors);
        c.disconnect();
        EXPECT_EQ(0, c.io_state());
        EXPECT_EQ(1, c.state());
        ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
        EXPECT_EQ(instance, c.handle()); // no new instance
    }
}

TEST(AsyncPipe, CopiesHoldTheirOwnHandle) {
    IOPoll poll;
    Collector c;
    ASSERT_EQ(io_pending, c.begin_bind(unique_name("acopy").c_str(), poll));
    void *copied = nullptr;
    {
        AsyncPipe copy(c);
        EXPECT_NE(c.handle(), copy.handle());
        EXPECT_EQ(1, copy.io_state());
        copied = copy.handle();
    }
    EXPECT_FALSE(handle_open(copied));
    EXPECT_TRUE(handle_open(c.handle()));
}

// Server instances let every process in, low-integrity and packaged ones
// included: the DACL grants the World SID full access.
TEST(AsyncPipe, InstancesGrantEveryoneAccess) {
    IOPoll poll;
    Collector c;
    ASSERT_EQ(io_pending, c.begin_bind(unique_name("security").c_str(), poll));
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(DWORD(ERROR_SUCCESS),
              GetSecurityInfo(c.handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor));
    SID_IDENTIFIER_AUTHORITY world_authority = SECURITY_WORLD_SID_AUTHORITY;
    PSID world = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&world_authority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0,
                                         0, &world));
    bool granted = false;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void *ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            continue;
        ACE_HEADER const *header = static_cast<ACE_HEADER const *>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        ACCESS_ALLOWED_ACE *allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace);
        if (EqualSid(&allowed->SidStart, world))
            granted = true;
    }
    FreeSid(world);
    LocalFree(descriptor);
    EXPECT_TRUE(granted);
}

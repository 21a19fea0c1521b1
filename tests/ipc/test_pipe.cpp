// Named pipes: client connect, the synchronous server, handle ownership, the
// overlapped server driven through an IOPoll, and the lifetimes of its
// operations when instances are closed, rebound and destroyed.
#include "ipc/Event.h"
#include "ipc/IOPoll.h"
#include "ipc/Pipe.h"
#include "log/Log.h"
#include "serialize/HandleStream.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

using namespace zem::vfs;
using zem::vfs::test::TempFolder;

namespace {

std::string unique_name(char const *tag) {
    static int counter = 0;
    return "\\\\.\\pipe\\zem_test_" + std::string(tag) + "_" +
           std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++counter);
}

bool handle_open(void *h) {
    DWORD flags = 0;
    return h != INVALID_HANDLE_VALUE && GetHandleInformation(h, &flags) != FALSE;
}

HANDLE open_client(std::string const &name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

bool signalled(Event &e, DWORD ms = 10000) {
    return WaitForSingleObject(e.handle(), ms) == WAIT_OBJECT_0;
}

// An overlapped server instance that collects its reads and counts binds.
class Collector : public AsyncPipe {
public:
    explicit Collector(void *h = INVALID_HANDLE_VALUE) : AsyncPipe(h) {}
    bool end_bind(IOPoll &poll) override {
        bool ok = AsyncPipe::end_bind(poll);
        ++binds;
        bound.set();
        return ok;
    }
    bool end_read(IOPoll &, void *buffer, uint64 bytes) override {
        got.append(static_cast<char *>(buffer), std::size_t(bytes));
        return bytes != 0;
    }
    void error(IOPoll &) override { ++errors; }
    std::string got;
    std::atomic<int> binds{0}, errors{0};
    Event bound;
};

// A port whose wait gives up after 10 s by posting a stop key.
class BoundedPoll : public IOPoll {
public:
    BoundedPoll() : IOPoll(10000) {}
    void timeout() override { stop(); }
};

Pollable *const kStop = reinterpret_cast<Pollable *>(~std::uintptr_t(0));

// Runs one completion through its object; false when the wait gave up.
bool run_one(IOPoll &poll) {
    Pollable *p = nullptr;
    uint64 n = 0;
    if (!poll.poll(&p, n) || p == kStop || p == nullptr)
        return false;
    if (!p->callback(poll, n))
        p->error(poll);
    return true;
}

} // namespace

TEST(Pipe, ConnectToANameNobodyServesFailsAtOnceAndKeepsState) {
    Pipe p;
    DWORD start = GetTickCount();
    EXPECT_FALSE(p.connect(unique_name("none").c_str(), false));
    EXPECT_LT(GetTickCount() - start, 2000u); // no 5-second waits
    EXPECT_EQ(1, p.state());
    EXPECT_EQ(INVALID_HANDLE_VALUE, p.handle());
    EXPECT_FALSE(p.connect(nullptr, false));
    EXPECT_EQ(1, Pipe(unique_name("none").c_str()).state());
}

TEST(Pipe, SynchronousServerAndClientCarryAStreamThenDisconnectAndClose) {
    std::string name = unique_name("sync");
    Pipe server;
    std::atomic<bool> bound{false};
    std::thread t([&] { bound = server.bind(name.c_str()); });
    Pipe client;
    for (int i = 0; i < 500 && !client.connect(name.c_str(), false); ++i)
        Sleep(10); // until the server thread has created its instance
    t.join();
    ASSERT_TRUE(bound.load());
    EXPECT_EQ(3, client.state());
    EXPECT_EQ(3, server.state());
    HANDLE copy = INVALID_HANDLE_VALUE;
    DuplicateHandle(GetCurrentProcess(), server.handle(), GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    HandleStream out(client.detach()), in(copy);
    out << 1234 << "text";
    int n = 0;
    std::string s;
    in >> n >> s;
    EXPECT_EQ(1234, n);
    EXPECT_EQ("text", s);
    void *h = server.handle();
    server.disconnect();
    EXPECT_EQ(1, server.state());
    EXPECT_TRUE(handle_open(h)); // the instance stays for the next client
    server.close();
    EXPECT_EQ(INVALID_HANDLE_VALUE, server.handle());
    EXPECT_FALSE(handle_open(h));
}

TEST(Pipe, ClientWaitsWhileTheOnlyInstanceIsBusy) {
    std::string name = unique_name("busy");
    HANDLE server =
        CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 4096, 4096, 0, nullptr);
    HANDLE first = open_client(name);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    Event done(true);
    std::atomic<int> result{-1};
    std::thread second([&] {
        Pipe p;
        result = p.connect(name.c_str(), false) ? p.state() : 100 + p.state();
        done.set();
    });
    EXPECT_FALSE(signalled(done, 300)) << "gave up on a busy server at once";
    CloseHandle(first);
    DisconnectNamedPipe(server);
    std::thread listen([&] { ConnectNamedPipe(server, nullptr); });
    second.join();
    listen.join();
    EXPECT_EQ(3, result.load());
    CloseHandle(server);
}

TEST(Pipe, CopiesHoldTheirOwnHandleAndDetachGivesItUp) {
    std::string name = unique_name("copy");
    HANDLE server =
        CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 4096, 4096, 0, nullptr);
    Pipe a(name.c_str());
    ASSERT_EQ(3, a.state());
    IOPoll poll;
    Collector c;
    ASSERT_EQ(io_pending, c.begin_bind(unique_name("acopy").c_str(), poll));
    void *copied[2] = {};
    {
        Pipe b(a), d;
        d = b;
        AsyncPipe e(c), f;
        f = e;
        EXPECT_EQ(3, d.state());
        EXPECT_EQ(1, f.io_state());
        EXPECT_TRUE(a.handle() != b.handle() && b.handle() != d.handle() &&
                    handle_open(d.handle()));
        EXPECT_TRUE(c.handle() != e.handle() && e.handle() != f.handle() &&
                    handle_open(f.handle()));
        copied[0] = b.handle(), copied[1] = e.handle();
    }
    EXPECT_FALSE(handle_open(copied[0]) || handle_open(copied[1]));
    EXPECT_TRUE(handle_open(c.handle()));
    void *h = a.detach();
    EXPECT_EQ(INVALID_HANDLE_VALUE, a.handle());
    EXPECT_EQ(3, a.state());
    a.close();
    EXPECT_EQ(1, a.state());
    EXPECT_TRUE(handle_open(h));
    CloseHandle(h);
    CloseHandle(server);
}

TEST(AsyncPipe, ClientThatCameFirstIsBoundAtOnceAndLogged) {
    TempFolder folder(L"zem pipe log");
    std::string const path = folder.narrow_file("pipe.log");
    {
        Log l(nullptr, 0, 8);
        l.open(path.c_str());
        l.level(7);
    }
    IOPoll poll;
    std::string name = unique_name("first");
    HANDLE h = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0, 255,
                                4096, 4096, 0, nullptr);
    HANDLE client = open_client(name);
    ASSERT_NE(INVALID_HANDLE_VALUE, client);
    Collector c(h);
    EXPECT_EQ(io_done, c.begin_bind(name.c_str(), poll));
    EXPECT_EQ(2, c.io_state());
    EXPECT_EQ(1, c.binds.load());
    EXPECT_EQ(h, c.handle());
    {
        Log l(nullptr, 0, 8);
        l.level(4);
        l.open(nullptr);
    }
    std::string const text = test::read_file(test::widen(path));
    EXPECT_NE(std::string::npos, text.find("GetLastError() = 535"));
    EXPECT_NE(std::string::npos, text.find("bind ok+"));
    CloseHandle(client);
}

TEST(AsyncPipe, ReadNeedsACompletedBind) {
    IOPoll poll;
    Collector c;
    char buffer[8];
    EXPECT_EQ(io_failed, c.begin_read(poll, buffer, sizeof buffer)); // no handle
    ASSERT_EQ(io_pending, c.begin_bind(unique_name("early").c_str(), poll));
    EXPECT_EQ(1, c.io_state());
    EXPECT_EQ(io_failed, c.begin_read(poll, buffer, sizeof buffer));
    EXPECT_EQ(1, c.io_state());
    EXPECT_EQ(io_failed, c.begin_bind(unique_name("again").c_str(), poll));
}

TEST(AsyncPipe, ConnectReadDisconnectAndRebindOnTheSameInstance) {
    BoundedPoll poll;
    std::string name = unique_name("rebind");
    Collector c;
    ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
    void *instance = c.handle();
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        HANDLE client = open_client(name);
        ASSERT_NE(INVALID_HANDLE_VALUE, client);
        ASSERT_TRUE(run_one(poll)); // the connection completes
        EXPECT_EQ(2, c.io_state());
        EXPECT_EQ(round, c.binds.load());
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
        EXPECT_EQ(round, c.errors.load());
        c.disconnect();
        EXPECT_EQ(0, c.io_state());
        EXPECT_EQ(1, c.state());
        ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
        EXPECT_EQ(instance, c.handle()); // no new instance
    }
}

// Low-integrity and packaged processes may open every instance: the DACL
// grants the World SID access.
TEST(AsyncPipe, InstancesGrantEveryoneAccess) {
    IOPoll poll;
    Collector c;
    ASSERT_EQ(io_pending, c.begin_bind(unique_name("security").c_str(), poll));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(DWORD(ERROR_SUCCESS),
              GetSecurityInfo(c.handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor));
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
    std::wstring const sddl = text;
    LocalFree(text);
    LocalFree(descriptor);
    std::size_t const world = sddl.find(L";;;WD)");
    ASSERT_NE(std::wstring::npos, world) << test::narrow(sddl);
    EXPECT_EQ(sddl.rfind(L"(A;", world), sddl.rfind(L"(", world)) << test::narrow(sddl);
}

// A closed instance's handle value is handed out again for the next instance;
// that one must still be joined to the port, or its connection never comes.
TEST(AsyncPipe, InstanceCreatedAfterCloseJoinsThePortAgain) {
    IOPoll poll;
    std::thread loop([&] { poll.loop(); });
    std::string name = unique_name("reopen");
    Collector c;
    ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
    void *first = c.handle();
    c.close(); // the aborted connect still reaches the object
    EXPECT_TRUE(signalled(c.bound));
    c.disconnect();
    ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
    EXPECT_EQ(first, c.handle()) << "no handle value reused: the case is not reached";
    HANDLE client = open_client(name);
    EXPECT_NE(INVALID_HANDLE_VALUE, client);
    EXPECT_TRUE(signalled(c.bound)) << "the new instance's connection never came";
    EXPECT_EQ(2, c.binds.load());
    poll.stop();
    loop.join();
    CloseHandle(client);
}

// The completion of a read still pending when its object is destroyed never
// reaches the freed object; the loop goes on with what comes next.
TEST(AsyncPipe, DestroyedWithAReadPendingGetsNoCompletion) {
    BoundedPoll poll;
    std::string name = unique_name("dead");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Collector *c = new Collector;
        ASSERT_EQ(io_pending, c->begin_bind(name.c_str(), poll));
        HANDLE client = open_client(name);
        ASSERT_TRUE(run_one(poll));
        static char buffer[64];
        ASSERT_EQ(io_pending, c->begin_read(poll, buffer, sizeof buffer));
        Pollable *dead = c;
        delete c;
        Collector next; // on the stack: never at the freed address
        ASSERT_EQ(io_pending, next.begin_bind(name.c_str(), poll));
        HANDLE second = open_client(name);
        Pollable *p = nullptr;
        uint64 n = 0;
        ASSERT_TRUE(poll.poll(&p, n));
        EXPECT_EQ(static_cast<Pollable *>(&next), p);
        EXPECT_NE(dead, p);
        EXPECT_TRUE(next.callback(poll, n));
        EXPECT_EQ(1, next.binds.load());
        CloseHandle(second);
        CloseHandle(client);
    }
}

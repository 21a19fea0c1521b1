// Named pipes and the completion-port loop: client connect, the synchronous
// server, handle ownership, the overlapped server driven through an IOPoll,
// the loop's keys and time-outs, and the lifetimes of pending operations.
#include "ipc/Event.h"
#include "ipc/IOPoll.h"
#include "ipc/Pipe.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <chrono>
#include <future>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

std::string unique_name() {
    static int counter = 0;
    return "\\\\.\\pipe\\zem_test_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(++counter);
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

// A client of a synchronous server that is about to create its instance.
Pipe connect_when_served(std::string const &name) {
    Pipe client;
    for (int i = 0; i < 1000 && !client.connect(name.c_str(), false); ++i)
        Sleep(10);
    return client;
}

// An overlapped server instance that collects its reads; each completion
// kind sets an event of its own.
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
        if (bytes == 0)
            return false;
        got.append(static_cast<char *>(buffer), std::size_t(bytes));
        read.set();
        return true;
    }
    void error(IOPoll &) override {
        ++errors;
        failed.set();
    }
    void state_to(int s) { io_state(s); }
    std::string got;
    std::atomic<int> binds{0}, errors{0};
    Event bound, read, failed;
};

// Counts completions posted with its address; every second one fails.
class Counter : public Pollable {
public:
    void *handle() const override { return INVALID_HANDLE_VALUE; }
    bool callback(IOPoll &, uint64) override { return ++calls % 2 == 0; }
    void error(IOPoll &) override { ++errors; }
    std::atomic<int> calls{0}, errors{0};
};

// Records notifications and counts time-outs; gives up a wait after `ms`.
class CountingPoll : public IOPoll {
public:
    explicit CountingPoll(unsigned long ms = 0xFFFFFFFF) : IOPoll(ms) {}
    bool notify(Pollable *code) override {
        codes += std::to_string(reinterpret_cast<std::intptr_t>(code)) + " ";
        return true;
    }
    void timeout() override {
        if (++timeouts == 3)
            three.set();
    }
    std::string codes;
    std::atomic<int> timeouts{0};
    Event three{true};
};

Pollable *key(std::intptr_t k) {
    return reinterpret_cast<Pollable *>(k);
}

} // namespace

// A second bind on a connected server closes the old instance, whose client
// is cut off, and reports the new connection.
TEST(Pipe, SynchronousServerCarriesBytesAndABindAgainReplacesTheInstance) {
    std::string name = unique_name();
    Pipe server;
    auto bound = std::async(std::launch::async, [&] { return server.bind(name.c_str()); });
    Pipe client = connect_when_served(name);
    ASSERT_TRUE(bound.get());
    EXPECT_TRUE(client.state() == 3 && server.state() == 3);
    bound = std::async(std::launch::async, [&] { return server.bind(name.c_str()); });
    Pipe next = connect_when_served(name);
    EXPECT_TRUE(bound.get());
    EXPECT_EQ(3, server.state());
    DWORD n = 0;
    char buffer[8] = {};
    EXPECT_FALSE(WriteFile(client.handle(), "old", 3, &n, nullptr)) << "old instance left open";
    ASSERT_TRUE(WriteFile(next.handle(), "new", 3, &n, nullptr));
    ASSERT_TRUE(ReadFile(server.handle(), buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ("new", std::string(buffer, n));
    void *h = server.handle();
    server.disconnect();
    EXPECT_EQ(1, server.state());
    EXPECT_TRUE(handle_open(h)); // the instance stays for the next client
    server.close();
    EXPECT_EQ(INVALID_HANDLE_VALUE, server.handle());
    EXPECT_FALSE(handle_open(h));
    EXPECT_FALSE(server.bind(nullptr));
}

// A name nobody serves fails at once (no 5-second waits); a busy one is waited for.
TEST(Pipe, ClientFailsWhereNobodyServesAndWaitsWhileTheOnlyInstanceIsBusy) {
    Pipe p;
    DWORD const start = GetTickCount();
    EXPECT_FALSE(p.connect(unique_name().c_str(), false));
    EXPECT_LT(GetTickCount() - start, 2000u);
    EXPECT_TRUE(p.state() == 1 && p.handle() == INVALID_HANDLE_VALUE);
    EXPECT_FALSE(p.connect(nullptr, false));
    EXPECT_EQ(1, Pipe(unique_name().c_str()).state());
    std::string name = unique_name();
    Handle server(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 4096, 4096, 0, nullptr));
    HANDLE first = open_client(name);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    auto second = std::async(std::launch::async, [&] {
        Pipe p;
        return p.connect(name.c_str(), false) ? p.state() : 100 + p.state();
    });
    EXPECT_EQ(std::future_status::timeout, second.wait_for(std::chrono::milliseconds(300)))
        << "gave up on a busy server at once";
    CloseHandle(first);
    DisconnectNamedPipe(server.get());
    std::thread listen([&] { ConnectNamedPipe(server.get(), nullptr); });
    EXPECT_EQ(3, second.get());
    listen.join();
}

// An overlapped instance whose client came first is bound at once.
TEST(Pipe, CopiesHoldTheirOwnHandleAndDetachGivesItUp) {
    std::string name = unique_name();
    HANDLE h = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0, 255,
                                4096, 4096, 0, nullptr);
    Pipe a(name.c_str());
    ASSERT_EQ(3, a.state());
    IOPoll poll;
    Collector c(h);
    EXPECT_EQ(io_done, c.begin_bind(name.c_str(), poll));
    EXPECT_TRUE(c.io_state() == 2 && c.binds == 1 && c.handle() == h);
    void *copied[2] = {};
    {
        Pipe b(a), d;
        d = b;
        AsyncPipe e(c), f;
        f = e;
        EXPECT_TRUE(d.state() == 3 && f.io_state() == 2);
        EXPECT_TRUE(a.handle() != b.handle() && b.handle() != d.handle() &&
                    handle_open(d.handle()));
        EXPECT_TRUE(c.handle() != e.handle() && e.handle() != f.handle() &&
                    handle_open(f.handle()));
        copied[0] = b.handle(), copied[1] = e.handle();
    }
    EXPECT_FALSE(handle_open(copied[0]) || handle_open(copied[1]));
    EXPECT_TRUE(handle_open(c.handle()));
    Handle detached(a.detach());
    EXPECT_TRUE(a.handle() == INVALID_HANDLE_VALUE && a.state() == 3);
    a.close();
    EXPECT_EQ(1, a.state());
    EXPECT_TRUE(handle_open(detached.get()));
}

// Each round: connect, read, and a read ended by the client's going or by a
// cancel reaches error(); the instance is then disconnected and bound again.
// The instance grants the World SID access. Closed, its handle value is handed
// out again for the next instance, which must still be joined to the port, or
// its connection never comes.
TEST(AsyncPipe, ConnectReadEndRebindAndCloseThroughTheLoop) {
    IOPoll poll;
    Collector c;
    std::thread loop([&] { poll.loop(); });
    std::string name = unique_name();
    char buffer[64];
    EXPECT_EQ(io_failed, c.begin_read(poll, buffer, sizeof buffer)); // no handle
    ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
    EXPECT_EQ(io_failed, c.begin_read(poll, buffer, sizeof buffer)); // not bound yet
    EXPECT_EQ(1, c.io_state());
    EXPECT_EQ(io_failed, c.begin_bind(name.c_str(), poll));
    void *instance = c.handle();
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        Handle client(open_client(name));
        ASSERT_TRUE(signalled(c.bound));
        EXPECT_TRUE(c.io_state() == 2 && c.binds == round);
        ASSERT_NE(io_failed, c.begin_read(poll, buffer, sizeof buffer));
        EXPECT_EQ(3, c.io_state());
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(client.get(), "hello", 5, &n, nullptr));
        ASSERT_TRUE(signalled(c.read));
        EXPECT_EQ("hello", c.got);
        c.got.clear();
        ASSERT_NE(io_failed, c.begin_read(poll, buffer, sizeof buffer));
        if (round == 1)
            client.reset();
        else
            CancelIoEx(c.handle(), nullptr);
        ASSERT_TRUE(signalled(c.failed));
        EXPECT_EQ(round, c.errors.load());
        c.disconnect();
        EXPECT_TRUE(c.io_state() == 0 && c.state() == 1);
        ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
        EXPECT_EQ(instance, c.handle()); // no new instance
    }
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
    std::size_t const world = sddl.find(L";;;WD)"); // low-integrity and packaged clients too
    ASSERT_NE(std::wstring::npos, world) << narrow(sddl);
    EXPECT_EQ(sddl.rfind(L"(A;", world), sddl.rfind(L"(", world)) << narrow(sddl);
    c.close(); // the aborted connect still reaches the object
    EXPECT_TRUE(signalled(c.bound));
    c.disconnect();
    ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
    EXPECT_EQ(instance, c.handle()) << "no handle value reused: the case is not reached";
    Handle client(open_client(name));
    EXPECT_TRUE(signalled(c.bound)) << "the new instance's connection never came";
    EXPECT_EQ(4, c.binds.load());
    poll.stop();
    loop.join();
}

// The completion of a read still pending when its object is destroyed never
// reaches the freed object; the next poll delivers what comes next.
TEST(AsyncPipe, DestroyedWithAReadPendingGetsNoCompletion) {
    IOPoll poll;
    std::string name = unique_name();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Collector *c = new Collector;
        ASSERT_EQ(io_pending, c->begin_bind(name.c_str(), poll));
        Handle client(open_client(name));
        Pollable *p = nullptr;
        uint64 n = 0;
        ASSERT_TRUE(poll.poll(&p, n));
        ASSERT_EQ(static_cast<Pollable *>(c), p);
        ASSERT_TRUE(c->callback(poll, n));
        static char buffer[64];
        ASSERT_EQ(io_pending, c->begin_read(poll, buffer, sizeof buffer));
        delete c;
        Collector next; // on the stack: never at the freed address
        ASSERT_EQ(io_pending, next.begin_bind(name.c_str(), poll));
        Handle second(open_client(name));
        ASSERT_TRUE(poll.poll(&p, n));
        EXPECT_EQ(static_cast<Pollable *>(&next), p);
    }
}

// Time-outs are reported and the loop goes on.
TEST(IOPoll, TimeoutsKeysStopNotifyAndEmptyInLoopAndPoll) {
    CountingPoll poll(20);
    Counter c;
    std::thread loop([&] { poll.loop(); });
    EXPECT_TRUE(signalled(poll.three));
    for (Pollable *k : {key(0), key(-2), key(-100)})
        poll.post(k);
    poll.stop();
    loop.join();
    EXPECT_EQ("-2 -100 ", poll.codes);
    Pollable *const keys[] = {key(-7), &c, key(0), key(-1)};
    for (Pollable *k : keys)
        poll.post(k);
    for (Pollable *k : keys) {
        Pollable *p = &c;
        uint64 bytes = 5;
        ASSERT_TRUE(poll.poll(&p, bytes));
        EXPECT_EQ(k, p); // as they are, nothing called
        EXPECT_EQ(0u, bytes);
    }
    EXPECT_EQ(0, c.calls.load());
    EXPECT_EQ("-2 -100 ", poll.codes);
    IOPoll *gone = new IOPoll; // left undestroyed: its port is closed here
    CloseHandle(gone->port());
    Pollable *p = &c;
    uint64 bytes = 5;
    EXPECT_FALSE(gone->poll(&p, bytes)) << "a failed wait is no completion";
    EXPECT_EQ(nullptr, p);
}

TEST(IOPoll, EachStopEndsOneLoopAndEveryCompletionReachesOneThread) {
    IOPoll poll;
    Counter c;
    Handle ended(CreateSemaphoreW(nullptr, 0, 4, nullptr));
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            poll.loop();
            ReleaseSemaphore(ended.get(), 1, nullptr);
        });
    for (int i = 0; i < 2000; ++i)
        poll.post(&c);
    for (int i = 0; i < 3; ++i)
        poll.stop();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ended.get(), 10000));
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(ended.get(), 60));
    poll.stop();
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(2000, c.calls.load());
    EXPECT_EQ(1000, c.errors.load());
}

TEST(Pollable, StateMachineAndAdd) {
    IOPoll poll;
    Collector r;
    Counter no_handle;
    char buffer[16];
    ASSERT_EQ(io_pending, r.begin_bind(unique_name().c_str(), poll));
    EXPECT_FALSE(poll.add(nullptr));
    EXPECT_FALSE(poll.add(&no_handle));
    EXPECT_EQ(io_failed, no_handle.begin_bind(poll));
    EXPECT_EQ(1, no_handle.io_state()); // stays binding
    EXPECT_FALSE(poll.remove(&r));
    struct Step {
        int from;
        char op; // b bind, r read, w write, c callback
        int result, to;
    } const steps[] = {
        {0, 'r', io_failed, 0}, {0, 'w', io_failed, 0}, {0, 'b', io_done, 1},
        {1, 'b', io_failed, 1}, {1, 'r', io_failed, 1}, {1, 'w', io_failed, 1},
        {1, 'c', true, 2},      {2, 'b', io_failed, 2}, {2, 'r', io_done, 3},
        {2, 'w', io_done, 4},   {4, 'c', false, 4},     {4, 'w', io_done, 4},
        {3, 'w', io_done, 4},   {4, 'r', io_done, 3},   {0, 'c', false, 0},
        {2, 'c', false, 2},
    };
    for (Step const &s : steps) {
        SCOPED_TRACE(std::string(1, s.op) + " from " + std::to_string(s.from));
        r.state_to(s.from);
        int result = s.op == 'c'   ? int(r.Pollable::callback(poll, 0))
                     : s.op == 'b' ? r.Pollable::begin_bind(poll)
                     : s.op == 'r' ? r.Pollable::begin_read(poll, buffer, sizeof buffer)
                                   : r.Pollable::begin_write(poll, buffer, 1);
        EXPECT_EQ(s.result, result);
        EXPECT_EQ(s.to, r.io_state());
    }
    EXPECT_TRUE(poll.add(&r));                           // joined already: not refused
    EXPECT_FALSE(r.Pollable::end_read(poll, buffer, 1)); // a read nobody takes fails
}

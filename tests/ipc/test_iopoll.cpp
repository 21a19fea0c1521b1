// The completion-port loop: stop, notification and empty keys, time-outs,
// several loop threads, the Pollable state machine and completions of
// operations that failed.
#include "ipc/IOPoll.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

using namespace zem::vfs;

namespace {

// Counts what the loop hands it.
class CountingPoll : public IOPoll {
public:
    CountingPoll() = default;
    explicit CountingPoll(unsigned long ms) : IOPoll(ms) {}
    bool notify(Pollable *code) override {
        last_code = reinterpret_cast<std::intptr_t>(code);
        ++notifies;
        return true;
    }
    void timeout() override { ++timeouts; }
    std::atomic<int> notifies{0};
    std::atomic<int> timeouts{0};
    std::atomic<std::intptr_t> last_code{0};
};

// A pipe pair: the server end overlapped, the client end synchronous.
struct PipePair {
    HANDLE server = INVALID_HANDLE_VALUE;
    HANDLE client = INVALID_HANDLE_VALUE;
    PipePair() {
        static int counter = 0;
        char name[128];
        wsprintfA(name, "\\\\.\\pipe\\zem_test_iopoll_%lu_%d", GetCurrentProcessId(), ++counter);
        server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0, 1, 4096, 4096,
                                  0, nullptr);
        client =
            CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~PipePair() {
        close_client();
        if (server != INVALID_HANDLE_VALUE)
            CloseHandle(server);
    }
    void close_client() {
        if (client != INVALID_HANDLE_VALUE)
            CloseHandle(client);
        client = INVALID_HANDLE_VALUE;
    }
    PipePair(PipePair const &) = delete;
    PipePair &operator=(PipePair const &) = delete;
};

// Reads from the server end of a pipe pair through the port.
class Reader : public Pollable {
public:
    explicit Reader(HANDLE h) : h_(h) {}
    void *handle() const override { return h_; }
    IOPollResult begin_read(IOPoll &poll, void *buffer, uint64 size) override {
        IOPollResult r = Pollable::begin_read(poll, buffer, size);
        if (r == io_failed)
            return r;
        ZeroMemory(&ov_, sizeof ov_);
        if (ReadFile(h_, buffer, DWORD(size), nullptr, &ov_))
            return io_done;
        return GetLastError() == ERROR_IO_PENDING ? io_pending : io_failed;
    }
    bool end_read(IOPoll &, void *buffer, uint64 bytes) override {
        last_buffer = buffer;
        last_bytes = bytes;
        ++reads;
        return bytes != 0;
    }
    void error(IOPoll &) override { ++errors; }
    void set_state(int s) { io_state(s); }

    std::atomic<int> reads{0};
    std::atomic<int> errors{0};
    void *last_buffer = nullptr;
    uint64 last_bytes = 99;

private:
    HANDLE h_;
    OVERLAPPED ov_;
};

// A Pollable without I/O: counts the completions posted with its address.
class Counter : public Pollable {
public:
    void *handle() const override { return INVALID_HANDLE_VALUE; }
    bool callback(IOPoll &, uint64 bytes) override {
        ++calls;
        total += bytes;
        return (calls % 2) == 0;
    }
    void error(IOPoll &) override { ++errors; }
    std::atomic<int> calls{0};
    std::atomic<int> errors{0};
    std::atomic<uint64> total{0};
};

} // namespace

TEST(IOPoll, StopEndsTheLoop) {
    CountingPoll poll;
    ASSERT_TRUE(poll.valid());
    poll.stop();
    poll.loop();
    EXPECT_EQ(0, poll.notifies.load());
}

TEST(IOPoll, EmptyKeyOnlyWakesTheLoop) {
    CountingPoll poll;
    Counter c;
    poll.post(nullptr);
    poll.stop();
    poll.loop();
    EXPECT_EQ(0, poll.notifies.load());
    EXPECT_EQ(0, c.calls.load());

    Pollable *p = &c;
    uint64 bytes = 5;
    poll.post(nullptr);
    ASSERT_TRUE(poll.poll(&p, bytes));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(0u, bytes);
}

TEST(IOPoll, NotificationKeysReachNotify) {
    CountingPoll poll;
    poll.post(reinterpret_cast<Pollable *>(std::intptr_t(-2)));
    poll.post(reinterpret_cast<Pollable *>(std::intptr_t(-100)));
    poll.stop();
    poll.loop();
    EXPECT_EQ(2, poll.notifies.load());
    EXPECT_EQ(-100, poll.last_code.load());
}

TEST(IOPoll, PollReturnsKeysAsTheyAre) {
    CountingPoll poll;
    Counter c;
    poll.post(reinterpret_cast<Pollable *>(std::intptr_t(-7)));
    poll.post(&c);
    poll.stop();
    Pollable *p = nullptr;
    uint64 bytes = 0;
    ASSERT_TRUE(poll.poll(&p, bytes));
    EXPECT_EQ(-7, reinterpret_cast<std::intptr_t>(p));
    ASSERT_TRUE(poll.poll(&p, bytes));
    EXPECT_EQ(&c, p);
    ASSERT_TRUE(poll.poll(&p, bytes));
    EXPECT_EQ(-1, reinterpret_cast<std::intptr_t>(p));
    EXPECT_EQ(0, poll.notifies.load());
    EXPECT_EQ(0, c.calls.load());
}

TEST(IOPoll, TimeoutsAreCalledAndTheLoopGoesOn) {
    CountingPoll poll(100);
    std::thread t([&] { poll.loop(); });
    Sleep(650);
    int seen = poll.timeouts.load();
    poll.post(reinterpret_cast<Pollable *>(std::intptr_t(-3)));
    Sleep(50);
    poll.stop();
    t.join();
    EXPECT_GE(seen, 3);
    EXPECT_LE(seen, 7);
    EXPECT_EQ(1, poll.notifies.load());

    // poll() waits through time-outs too.
    CountingPoll short_poll(20);
    std::thread later([&] {
        Sleep(150);
        short_poll.stop();
    });
    Pollable *p = nullptr;
    uint64 bytes = 0;
    EXPECT_TRUE(short_poll.poll(&p, bytes));
    later.join();
    EXPECT_EQ(-1, reinterpret_cast<std::intptr_t>(p));
    EXPECT_GE(short_poll.timeouts.load(), 2);
}

TEST(IOPoll, EachStopEndsOneOfSeveralLoops) {
    CountingPoll poll;
    std::atomic<int> ended{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            poll.loop();
            ++ended;
        });
    poll.stop();
    poll.stop();
    for (int i = 0; i < 200 && ended < 2; ++i)
        Sleep(10);
    Sleep(100);
    EXPECT_EQ(2, ended.load());
    poll.stop();
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(3, ended.load());
}

TEST(IOPoll, EveryCompletionReachesOneThreadAndFalseCallsError) {
    CountingPoll poll;
    Counter c;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { poll.loop(); });
    for (int i = 0; i < 2000; ++i)
        poll.post(&c);
    for (int i = 0; i < 4; ++i)
        poll.stop();
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(2000, c.calls.load());
    EXPECT_EQ(1000, c.errors.load());
}

TEST(IOPoll, AddAssociatesOnceAndRejectsNull) {
    IOPoll poll;
    PipePair pair;
    ASSERT_NE(INVALID_HANDLE_VALUE, pair.server);
    Reader r(pair.server);
    EXPECT_FALSE(poll.add(nullptr));
    EXPECT_TRUE(poll.add(&r));
    EXPECT_TRUE(poll.add(&r)); // already joined: not refused
    EXPECT_FALSE(poll.remove(&r));
    Counter no_handle;
    EXPECT_FALSE(poll.add(&no_handle));
}

TEST(Pollable, StateMachine) {
    IOPoll poll;
    PipePair pair;
    Reader r(pair.server);
    char buffer[16];
    EXPECT_EQ(0, r.io_state());
    EXPECT_EQ(io_failed, r.begin_read(poll, buffer, sizeof buffer));
    EXPECT_EQ(io_failed, r.begin_write(poll, buffer, 1));
    EXPECT_EQ(0, r.io_state());
    EXPECT_EQ(io_done, r.begin_bind(poll));
    EXPECT_EQ(1, r.io_state());
    EXPECT_EQ(io_failed, r.begin_bind(poll));
    EXPECT_EQ(io_failed, r.begin_read(poll, buffer, sizeof buffer));
    EXPECT_EQ(1, r.io_state());
    EXPECT_TRUE(r.callback(poll, 0)); // the bind completes
    EXPECT_EQ(2, r.io_state());
    EXPECT_EQ(io_failed, r.begin_bind(poll));
    EXPECT_EQ(io_done, r.Pollable::begin_write(poll, buffer, 1));
    EXPECT_EQ(4, r.io_state());
    EXPECT_FALSE(r.callback(poll, 1)); // default end_write
    EXPECT_EQ(4, r.io_state());
    r.set_state(0);
    EXPECT_FALSE(r.callback(poll, 0));
    r.set_state(2);
    EXPECT_FALSE(r.callback(poll, 0));
}

TEST(Pollable, BindFailsWithoutAHandleAndStaysBinding) {
    IOPoll poll;
    Counter c;
    EXPECT_EQ(io_failed, c.begin_bind(poll));
    EXPECT_EQ(1, c.io_state());
}

TEST(Pollable, ReadCompletesThroughTheLoop) {
    CountingPoll poll;
    PipePair pair;
    Reader r(pair.server);
    ASSERT_EQ(io_done, r.begin_bind(poll));
    r.end_bind(poll);
    char buffer[16] = {};
    IOPollResult started = r.begin_read(poll, buffer, sizeof buffer);
    ASSERT_NE(io_failed, started);
    EXPECT_EQ(3, r.io_state());
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(pair.client, "abc", 3, &n, nullptr));
    Pollable *p = nullptr;
    uint64 bytes = 0;
    ASSERT_TRUE(poll.poll(&p, bytes));
    EXPECT_EQ(&r, p);
    EXPECT_EQ(3u, bytes);
    EXPECT_TRUE(p->callback(poll, bytes));
    EXPECT_EQ(buffer, r.last_buffer);
    EXPECT_EQ(std::string("abc"), std::string(buffer, 3));
}

TEST(Pollable, ReadOnAPipeWhoseClientWentReachesCallbackWithZeroBytes) {
    CountingPoll poll;
    PipePair pair;
    Reader r(pair.server);
    ASSERT_EQ(io_done, r.begin_bind(poll));
    r.end_bind(poll);
    char buffer[16];
    ASSERT_EQ(io_pending, r.begin_read(poll, buffer, sizeof buffer));
    pair.close_client();
    std::thread t([&] { poll.loop(); });
    for (int i = 0; i < 500 && r.errors == 0; ++i)
        Sleep(10);
    poll.stop();
    t.join();
    EXPECT_EQ(1, r.reads.load());
    EXPECT_EQ(0u, r.last_bytes);
    EXPECT_EQ(1, r.errors.load());
}

TEST(Pollable, CancelledReadStillReachesItsObject) {
    // An operation that ends with an error other than a broken pipe is
    // handed to its object as well, and the loop keeps running.
    CountingPoll poll;
    PipePair pair;
    Reader r(pair.server);
    ASSERT_EQ(io_done, r.begin_bind(poll));
    r.end_bind(poll);
    char buffer[16];
    ASSERT_EQ(io_pending, r.begin_read(poll, buffer, sizeof buffer));
    std::atomic<bool> ended{false};
    std::thread t([&] {
        poll.loop();
        ended = true;
    });
    CancelIo(pair.server);
    for (int i = 0; i < 500 && r.errors == 0; ++i)
        Sleep(10);
    EXPECT_EQ(1, r.errors.load());
    EXPECT_EQ(0u, r.last_bytes);
    Sleep(50);
    EXPECT_FALSE(ended.load());
    poll.stop();
    t.join();
}

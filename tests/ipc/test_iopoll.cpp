// The completion-port loop: stop, notification and empty keys, time-outs,
// several loop threads, the Pollable state machine and completions of
// operations that ended in error.
#include "ipc/Event.h"
#include "ipc/IOPoll.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

using namespace zem::vfs;

namespace {

Pollable *key(std::intptr_t k) {
    return reinterpret_cast<Pollable *>(k);
}

class CountingPoll : public IOPoll {
public:
    explicit CountingPoll(unsigned long ms = 0xFFFFFFFF) : IOPoll(ms) {}
    bool notify(Pollable *code) override {
        codes += std::to_string(reinterpret_cast<std::intptr_t>(code)) + " ";
        notified.set();
        return true;
    }
    void timeout() override {
        if (++timeouts == 3)
            three.set();
    }
    std::string codes;
    std::atomic<int> timeouts{0};
    Event three{true}, notified;
};

// Reads from the overlapped server end of a pipe pair; completions counted.
class Reader : public Pollable {
public:
    Reader() {
        std::string name = "\\\\.\\pipe\\zem_test_iopoll_" + std::to_string(GetCurrentProcessId()) +
                           "_" + std::to_string(++counter_);
        server_ = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0, 1,
                                   4096, 4096, 0, nullptr);
        client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    }
    ~Reader() override {
        CloseHandle(client);
        CloseHandle(server_);
    }
    void *handle() const override { return server_; }
    IOPollResult begin_read(IOPoll &poll, void *buffer, uint64 size) override {
        if (Pollable::begin_read(poll, buffer, size) == io_failed)
            return io_failed;
        ov_ = OVERLAPPED();
        if (ReadFile(server_, buffer, DWORD(size), nullptr, &ov_))
            return io_done;
        return GetLastError() == ERROR_IO_PENDING ? io_pending : io_failed;
    }
    bool end_read(IOPoll &, void *buffer, uint64 bytes) override {
        got = std::string(static_cast<char *>(buffer), std::size_t(bytes)) + "|";
        return bytes != 0;
    }
    void error(IOPoll &) override { errors.set(); }
    void state(int s) { io_state(s); }
    HANDLE client;
    std::string got;
    Event errors{true};

private:
    static int counter_;
    HANDLE server_;
    OVERLAPPED ov_;
};
int Reader::counter_ = 0;

// Counts completions posted with its address; every second one fails.
class Counter : public Pollable {
public:
    void *handle() const override { return INVALID_HANDLE_VALUE; }
    bool callback(IOPoll &, uint64) override { return ++calls % 2 == 0; }
    void error(IOPoll &) override { ++errors; }
    std::atomic<int> calls{0}, errors{0};
};

} // namespace

TEST(IOPoll, KeysStopNotifyAndEmptyInLoopAndPoll) {
    CountingPoll poll;
    Counter c;
    for (Pollable *k : {key(0), key(-2), key(-100)})
        poll.post(k);
    poll.stop();
    poll.loop();
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
}

TEST(IOPoll, TimeoutsAreCalledAndTheWaitGoesOn) {
    CountingPoll poll(20);
    std::thread t([&] { poll.loop(); });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(poll.three.handle(), 10000));
    poll.post(key(-3));
    poll.stop();
    t.join();
    EXPECT_EQ("-3 ", poll.codes);
    CountingPoll other(20);
    std::thread later([&] {
        WaitForSingleObject(other.three.handle(), 10000);
        other.stop();
    });
    Pollable *p = nullptr;
    uint64 bytes = 0;
    EXPECT_TRUE(other.poll(&p, bytes));
    later.join();
    EXPECT_EQ(key(-1), p);
}

TEST(IOPoll, EachStopEndsOneLoopAndEveryCompletionReachesOneThread) {
    CountingPoll poll;
    Counter c;
    std::atomic<int> ended{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            poll.loop();
            ++ended;
        });
    for (int i = 0; i < 2000; ++i)
        poll.post(&c);
    for (int i = 0; i < 3; ++i)
        poll.stop();
    for (int i = 0; i < 1000 && ended < 3; ++i)
        Sleep(5);
    Sleep(50);
    EXPECT_EQ(3, ended.load());
    poll.stop();
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(2000, c.calls.load());
    EXPECT_EQ(1000, c.errors.load());
}

TEST(Pollable, StateMachineAndAdd) {
    IOPoll poll;
    Reader r;
    Counter no_handle;
    char buffer[16];
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
        {1, 'b', io_failed, 1}, {1, 'r', io_failed, 1}, {1, 'c', true, 2},
        {2, 'b', io_failed, 2}, {2, 'w', io_done, 4},   {4, 'c', false, 4},
        {4, 'w', io_done, 4},   {3, 'w', io_done, 4},   {0, 'c', false, 0},
        {2, 'c', false, 2},
    };
    for (Step const &s : steps) {
        SCOPED_TRACE(std::string(1, s.op) + " from " + std::to_string(s.from));
        r.state(s.from);
        int result = s.op == 'c'   ? int(r.callback(poll, 0))
                     : s.op == 'b' ? r.begin_bind(poll)
                     : s.op == 'r' ? r.begin_read(poll, buffer, sizeof buffer)
                                   : r.Pollable::begin_write(poll, buffer, 1);
        EXPECT_EQ(s.result, result);
        EXPECT_EQ(s.to, r.io_state());
    }
    EXPECT_TRUE(poll.add(&r)); // joined already: not refused
    EXPECT_FALSE(r.Pollable::end_read(poll, buffer, 1)); // a read nobody takes fails
}

// A read completes through the loop with its buffer; a read whose client
// has gone, and a cancelled one, still reach the object with 0 bytes; the
// loop goes on.
TEST(Pollable, ReadsEndedByDataBrokenPipeAndCancelReachTheObject) {
    CountingPoll poll;
    std::thread loop([&] { poll.loop(); });
    for (int how = 0; how < 3; ++how) {
        SCOPED_TRACE(how);
        Reader r;
        ASSERT_EQ(io_done, r.begin_bind(poll));
        r.end_bind(poll);
        char buffer[16];
        ASSERT_NE(io_failed, r.begin_read(poll, buffer, sizeof buffer));
        EXPECT_EQ(3, r.io_state());
        DWORD n = 0;
        if (how == 0)
            WriteFile(r.client, "abc", 3, &n, nullptr);
        else if (how == 1)
            CloseHandle(r.client), r.client = nullptr;
        else
            CancelIoEx(r.handle(), nullptr);
        if (how == 0) {
            poll.post(key(-9)); // behind the read: once notified, the read is done
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(poll.notified.handle(), 10000));
            EXPECT_EQ("abc|", r.got);
            EXPECT_NE(WAIT_OBJECT_0, WaitForSingleObject(r.errors.handle(), 0));
        } else {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(r.errors.handle(), 10000));
            EXPECT_EQ("|", r.got);
        }
    }
    poll.stop();
    loop.join();
}

// Threads and their synchronisation: Lock and auto_lock, RWLock on the slim
// lock and on its fallback, Event and Semaphore with their copies, and Thread
// with its joins, handles and objects that delete themselves.
#include "ipc/Event.h"
#include "ipc/Lock.h"
#include "ipc/RWLock.h"
#include "ipc/Thread.h"
#include "ipc/internal/SlimLock.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace zem::vfs;

namespace {

// How long a blocked thread is given to (wrongly) get through, and how long
// a released one may take at most; neither is a speed expectation.
const DWORD kBlocked = 60;
const DWORD kReleased = 10000;

bool signalled(void *h, DWORD ms) {
    return WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
}

bool handle_open(void *h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}

// Runs `body` on a thread of its own, joined at the end.
class Runner {
public:
    explicit Runner(std::function<void()> body)
        : thread_([this, body] {
              body();
              done_.set();
          }) {}
    ~Runner() { thread_.join(); }
    bool done(DWORD ms) { return signalled(done_.handle(), ms); }

private:
    Event done_{true};
    std::thread thread_;
};

HANDLE const g_destroyed = CreateSemaphoreW(nullptr, 0, 1000, nullptr);

// Runs a function as its body; each destruction counts in g_destroyed.
class FunctionThread : public Thread {
public:
    explicit FunctionThread(std::function<int()> body) : body_(std::move(body)) {}
    ~FunctionThread() override { ReleaseSemaphore(g_destroyed, 1, nullptr); }
    int proc() override {
        ran_on = GetCurrentThreadId();
        ++runs;
        return body_();
    }
    std::atomic<DWORD> ran_on{0};
    std::atomic<int> runs{0};

private:
    std::function<int()> body_;
};

} // namespace

TEST(Lock, ReentrantAndExclusiveUntilFullyLeft) {
    Lock lock;
    lock.lock();
    Runner other([&] { auto_lock inner(lock); });
    {
        auto_lock guard(lock);
        EXPECT_FALSE(other.done(kBlocked));
    }
    EXPECT_FALSE(other.done(kBlocked)) << "left once, still held once";
    lock.unlock();
    EXPECT_TRUE(other.done(kReleased));
    long long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                auto_lock guard(lock);
                long long seen = counter;
                counter = seen + 1;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(80000, counter);
}

class RWLockTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        ASSERT_TRUE(detail::slim_lock_available()); // Wine has it, like every Windows since Vista
        lock_.reset(GetParam() ? detail::new_fallback_rwlock() : new RWLock());
    }
    std::unique_ptr<RWLock> lock_;
};
INSTANTIATE_TEST_SUITE_P(SlimAndFallback, RWLockTest, ::testing::Bool());

TEST_P(RWLockTest, ReadersShareAndAWriterWaitsForEveryOne) {
    RWLock &lock = *lock_;
    Event entered(true), release(true);
    std::atomic<int> readers{2};
    lock.lock_read();
    Runner second([&] {
        lock.lock_read();
        entered.set();
        release.wait(-1);
        --readers;
        lock.unlock_read();
    });
    EXPECT_TRUE(signalled(entered.handle(), kReleased)) << "a second reader waited";
    Runner writer([&] {
        lock.lock_write();
        EXPECT_EQ(0, readers.load());
        lock.unlock_write();
    });
    EXPECT_FALSE(writer.done(kBlocked));
    --readers;
    lock.unlock_read();
    EXPECT_FALSE(writer.done(kBlocked)) << "the writer got in beside a reader";
    release.set();
    EXPECT_TRUE(writer.done(kReleased));
}

TEST_P(RWLockTest, AReaderArrivingWhileAWriterWaitsQueuesBehindIt) {
    RWLock &lock = *lock_;
    Event release(true);
    lock.lock_read();
    Runner writer([&] {
        lock.lock_write();
        release.wait(-1);
        lock.unlock_write();
    });
    Sleep(kBlocked); // the writer reaches its wait
    Runner late([&] {
        lock.lock_read();
        lock.unlock_read();
    });
    EXPECT_FALSE(late.done(kBlocked)) << "a reader overtook the waiting writer";
    lock.unlock_read();
    EXPECT_FALSE(late.done(kBlocked)) << "a reader got in beside the writer";
    release.set();
    EXPECT_TRUE(late.done(kReleased));
}

// Readers come and go while writers check that nobody reads beside them.
TEST_P(RWLockTest, ReadersAndWritersNeverOverlapUnderChurn) {
    RWLock &lock = *lock_;
    std::atomic<int> readers{0}, writers{0}, overlaps{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            while (!stop) {
                lock.lock_read();
                ++readers;
                overlaps += writers.load();
                --readers;
                lock.unlock_read();
            }
        });
    std::vector<std::thread> writing;
    for (int t = 0; t < 2; ++t)
        writing.emplace_back([&] {
            for (int i = 0; i < 3000; ++i) {
                lock.lock_write();
                overlaps += ++writers - 1 + readers.load();
                --writers;
                lock.unlock_write();
            }
        });
    for (std::thread &t : writing)
        t.join();
    stop = true;
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(0, overlaps.load());
}

// The fallback lets a reader pass the lock its own thread holds for writing,
// and only that thread.
TEST(RWLockFallback, ReaderOnTheWritingThreadPasses) {
    std::unique_ptr<RWLock> lock(detail::new_fallback_rwlock());
    lock->lock_write();
    Runner nested([&] {
        lock->lock_read(); // another thread: waits for the writer
        lock->unlock_read();
    });
    lock->lock_read();
    EXPECT_FALSE(nested.done(kBlocked)) << "the nested read opened the lock to others";
    lock->unlock_read();
    lock->unlock_write();
    EXPECT_TRUE(nested.done(kReleased));
}

TEST(Event, AutoAndManualResetAndTimeOuts) {
    Event automatic, manual(true);
    EXPECT_TRUE(automatic.wait(0)) << "a time-out is no failure";
    std::atomic<int> through{0};
    Runner a([&] { through += automatic.wait(-1); }), b([&] { through += automatic.wait(-5); });
    EXPECT_FALSE(a.done(kBlocked) || b.done(0));
    automatic.set();
    EXPECT_TRUE(a.done(kBlocked) != b.done(kBlocked)) << "one set, one waiter through";
    automatic.set();
    EXPECT_TRUE(a.done(kReleased) && b.done(kReleased));
    EXPECT_EQ(2, through.load());
    EXPECT_FALSE(signalled(automatic.handle(), 0));
    manual.set();
    EXPECT_TRUE(signalled(manual.handle(), 0) && signalled(manual.handle(), 0));
    manual.reset();
    EXPECT_FALSE(signalled(manual.handle(), 0));
}

TEST(Event, CopiesHoldTheirOwnHandleToTheSameEvent) {
    Event original(true), assigned;
    void *old = assigned.handle(), *inner = nullptr;
    assigned = original;
    EXPECT_FALSE(handle_open(old));
    {
        Event copy(original);
        inner = copy.handle();
        EXPECT_NE(original.handle(), inner);
        copy.set();
    }
    EXPECT_FALSE(handle_open(inner));
    Event &alias = assigned;
    assigned = alias;
    EXPECT_TRUE(signalled(assigned.handle(), 0));
}

TEST(Semaphore, EachSetLetsOneWaitThroughAndCopiesShareTheCount) {
    Semaphore semaphore;
    EXPECT_TRUE(semaphore.wait(0)) << "a time-out is no failure";
    Semaphore copy(semaphore), assigned;
    assigned = copy;
    Semaphore &alias = assigned;
    assigned = alias;
    semaphore.set();
    copy.set();
    Event two(true);
    Runner waiter([&] {
        semaphore.wait(-1);
        semaphore.wait(-1);
        two.set();
        semaphore.wait(-1);
    });
    EXPECT_TRUE(signalled(two.handle(), kReleased));
    EXPECT_FALSE(waiter.done(kBlocked));
    assigned.set();
    EXPECT_TRUE(waiter.done(kReleased));
}

TEST(Thread, ExitCodesJoinAndARefusedSecondStart) {
    for (int code : {7, -3, 0x7FFFFFFF}) {
        FunctionThread thread([code] { return code; });
        EXPECT_EQ(0, thread.id());
        ASSERT_TRUE(thread.perform());
        EXPECT_EQ(code, thread.join());
        EXPECT_EQ(code, thread.join()) << "the handle stays open after a join";
        EXPECT_EQ(thread.ran_on.load(), DWORD(thread.id()));
        EXPECT_NE(GetCurrentThreadId(), thread.ran_on.load());
    }
    Event release(true);
    FunctionThread *self = nullptr;
    std::atomic<int> inner{0};
    FunctionThread thread([&] {
        release.wait(-1);
        inner = self->join(); // its own handle: no wait
        return 4;
    });
    self = &thread;
    ASSERT_TRUE(thread.perform());
    int const id = thread.id();
    EXPECT_FALSE(thread.perform());
    EXPECT_EQ(id, thread.id()) << "the held thread was replaced";
    release.set();
    EXPECT_EQ(4, thread.join());
    EXPECT_EQ(-1, inner.load());
    CloseHandle(thread.detach()); // given away: the object may run again
    ASSERT_TRUE(thread.perform());
    EXPECT_EQ(4, thread.join());
    EXPECT_EQ(2, thread.runs.load());
}

TEST(Thread, HandleOwnership) {
    FunctionThread thread([] { return 12; });
    ASSERT_TRUE(thread.perform());
    void *handle = thread.detach();
    EXPECT_EQ(0, thread.id());
    EXPECT_EQ(-1, thread.join());
    EXPECT_EQ(nullptr, thread.detach());
    ASSERT_TRUE(signalled(handle, INFINITE));
    {
        DummyThread holder;
        EXPECT_EQ(-1, holder.join());
        holder.attach(handle);
        EXPECT_EQ(12, holder.join());
        EXPECT_EQ(thread.ran_on.load(), DWORD(holder.id()));
    }
    EXPECT_FALSE(handle_open(handle)) << "the destructor closes what it holds";
    DummyThread dummy;
    ASSERT_TRUE(dummy.perform());
    EXPECT_NE(0, dummy.id());
    EXPECT_EQ(0, dummy.join());
    CurrentThread current;
    EXPECT_EQ(GetCurrentThreadId(), DWORD(current.id()));
    EXPECT_EQ(0, current.proc());
    EXPECT_EQ(-1, current.join());
    EXPECT_FALSE(current.perform());
    EXPECT_EQ(GetCurrentThread(), current.detach());
}

// Bodies that return at once free their objects as soon as they run, racing
// the perform() that started them: each object is destroyed once, and each
// thread's handle is closed (counted in the system's handle table).
TEST(Thread, AutoDeletedObjectsAreDestroyedOnceAndLeakNoHandle) {
    while (signalled(g_destroyed, 0))
        continue; // the objects of the tests before
    unsigned long const before = zem::vfs::test::count_handles();
    ASSERT_NE(0u, before);
    for (int i = 0; i < 200; ++i) {
        FunctionThread *thread = new FunctionThread([i] { return i; });
        if (i % 2)
            thread->set_auto_delete();
        ASSERT_TRUE(thread->perform());
        if (i % 2 == 0) {
            EXPECT_EQ(i, thread->join());
            delete thread;
        }
    }
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(signalled(g_destroyed, kReleased));
    EXPECT_LT(zem::vfs::test::count_handles(), before + 20) << "thread handles leaked";
    Event gate(true);
    FunctionThread *late = nullptr;
    late = new FunctionThread([&] {
        gate.wait(-1);
        late->set_auto_delete(); // from inside the body
        return 0;
    });
    ASSERT_TRUE(late->perform());
    gate.set();
    EXPECT_TRUE(signalled(g_destroyed, kReleased));
    EXPECT_FALSE(signalled(g_destroyed, kBlocked)) << "an object destroyed twice";
}

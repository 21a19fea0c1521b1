// Locks and events: Lock and auto_lock, RWLock on the slim lock and on its
// fallback, Event and Semaphore with their copies.
#include "ipc/Event.h"
#include "ipc/Lock.h"
#include "ipc/RWLock.h"
#include "ipc/internal/SlimLock.h"

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

bool signalled(Event &e, DWORD ms) {
    return WaitForSingleObject(e.handle(), ms) == WAIT_OBJECT_0;
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
    bool done(DWORD ms) { return signalled(done_, ms); }

private:
    Event done_{true};
    std::thread thread_;
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
    EXPECT_TRUE(signalled(entered, kReleased)) << "a second reader waited for the first";
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
    EXPECT_FALSE(signalled(automatic, 0));
    manual.set();
    EXPECT_TRUE(signalled(manual, 0) && signalled(manual, 0));
    manual.reset();
    EXPECT_FALSE(signalled(manual, 0));
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
    EXPECT_TRUE(signalled(assigned, 0));
    Event &alias = assigned;
    assigned = alias;
    EXPECT_TRUE(signalled(assigned, 0));
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
    EXPECT_TRUE(signalled(two, kReleased));
    EXPECT_FALSE(waiter.done(kBlocked));
    assigned.set();
    EXPECT_TRUE(waiter.done(kReleased));
}

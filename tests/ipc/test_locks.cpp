#include "../../common/ipc/Event.h"
#include "../../common/ipc/Lock.h"
#include "../../common/ipc/RWLock.h"
#include "../../common/ipc/internal/SlimLock.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using zem::vfs::auto_lock;
using zem::vfs::Event;
using zem::vfs::Lock;
using zem::vfs::RWLock;
using zem::vfs::Semaphore;
namespace detail = zem::vfs::detail;

namespace {

// How long a blocked thread is given to (wrongly) get through, and how long a
// released one may take at most. Neither is a speed expectation.
const DWORD kBlocked = 200;
const DWORD kReleased = 10000;

bool signalled(Event &event, DWORD ms) {
    return WaitForSingleObject(event.handle(), ms) == WAIT_OBJECT_0;
}

bool handle_open(void *handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

} // namespace

// ---------------------------------------------------------------------------
// Lock and auto_lock
// ---------------------------------------------------------------------------

TEST(LockTest, ReentrantForOwnerAndExcludesOthersUntilFullyLeft) {
    Lock lock;
    lock.lock();
    lock.lock();
    Event in(true);
    std::thread other([&] {
        lock.lock();
        in.set();
        lock.unlock();
    });
    EXPECT_FALSE(signalled(in, kBlocked));
    lock.unlock();
    EXPECT_FALSE(signalled(in, kBlocked)) << "left once, still held once";
    lock.unlock();
    EXPECT_TRUE(signalled(in, kReleased));
    other.join();
}

TEST(LockTest, AutoLockHoldsForItsScope) {
    Lock lock;
    Event in(true);
    std::thread other;
    {
        auto_lock guard(lock);
        other = std::thread([&] {
            auto_lock inner(lock);
            in.set();
        });
        EXPECT_FALSE(signalled(in, kBlocked));
        auto_lock nested(lock); // re-entrant through the guard too
    }
    EXPECT_TRUE(signalled(in, kReleased));
    other.join();
}

TEST(LockTest, CountersUnderContentionStayExact) {
    Lock lock;
    long long counter = 0;
    const int kThreads = 4, kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                auto_lock guard(lock);
                long long seen = counter;
                counter = seen + 1;
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, static_cast<long long>(kThreads) * kRounds);
}

// ---------------------------------------------------------------------------
// RWLock, on the slim lock and on the fallback
// ---------------------------------------------------------------------------

TEST(SlimLockLookup, FoundUnderThisSystemAndIdempotent) {
    // Every Windows since Vista, and Wine, export the five functions.
    EXPECT_TRUE(detail::slim_lock_available());
    detail::load_slim_lock_functions();
    detail::load_slim_lock_functions();
    EXPECT_TRUE(detail::slim_lock_available());
}

enum class Kind { slim, fallback };

class RWLockTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        if (GetParam() == Kind::slim) {
            lock_.reset(new RWLock());
        } else {
            lock_.reset(detail::new_fallback_rwlock());
        }
        ASSERT_TRUE(lock_);
    }

    std::unique_ptr<RWLock> lock_;
};

INSTANTIATE_TEST_SUITE_P(Both, RWLockTest, ::testing::Values(Kind::slim, Kind::fallback),
                         [](::testing::TestParamInfo<Kind> const &info) {
                             return info.param == Kind::slim ? "Slim" : "Fallback";
                         });

TEST_P(RWLockTest, TwoReadersHoldTogether) {
    RWLock &lock = *lock_;
    Event first_in(true), second_in(true), release(true);
    std::thread first([&] {
        lock.lock_read();
        first_in.set();
        release.wait(-1);
        lock.unlock_read();
    });
    ASSERT_TRUE(signalled(first_in, kReleased));
    std::thread second([&] {
        lock.lock_read();
        second_in.set();
        release.wait(-1);
        lock.unlock_read();
    });
    EXPECT_TRUE(signalled(second_in, kReleased)) << "a second reader waited for the first";
    release.set();
    first.join();
    second.join();
    // Released in full: a writer gets in at once.
    lock.lock_write();
    lock.unlock_write();
}

TEST_P(RWLockTest, WriterWaitsForBothReaders) {
    RWLock &lock = *lock_;
    Event readers_in(true), writer_in(true), release_first(true), release_second(true);
    std::atomic<int> reading{0};
    auto reader = [&](Event &release) {
        lock.lock_read();
        if (++reading == 2) {
            readers_in.set();
        }
        release.wait(-1);
        --reading;
        lock.unlock_read();
    };
    std::thread first(reader, std::ref(release_first));
    std::thread second(reader, std::ref(release_second));
    ASSERT_TRUE(signalled(readers_in, kReleased));
    std::atomic<int> readers_seen_by_writer{-1};
    std::thread writer([&] {
        lock.lock_write();
        readers_seen_by_writer = reading.load();
        writer_in.set();
        lock.unlock_write();
    });
    EXPECT_FALSE(signalled(writer_in, kBlocked));
    release_first.set();
    first.join();
    EXPECT_FALSE(signalled(writer_in, kBlocked)) << "the writer got in beside a reader";
    release_second.set();
    second.join();
    EXPECT_TRUE(signalled(writer_in, kReleased));
    writer.join();
    EXPECT_EQ(readers_seen_by_writer.load(), 0);
}

TEST_P(RWLockTest, ReaderArrivingWhileWriterWaitsQueuesBehindIt) {
    RWLock &lock = *lock_;
    Event first_in(true), release_first(true), writer_started(true), writer_in(true),
        release_writer(true), late_in(true);
    std::thread first([&] {
        lock.lock_read();
        first_in.set();
        release_first.wait(-1);
        lock.unlock_read();
    });
    ASSERT_TRUE(signalled(first_in, kReleased));
    std::thread writer([&] {
        writer_started.set();
        lock.lock_write();
        writer_in.set();
        release_writer.wait(-1);
        lock.unlock_write();
    });
    ASSERT_TRUE(signalled(writer_started, kReleased));
    Sleep(kBlocked); // let the writer reach its wait
    EXPECT_FALSE(signalled(writer_in, 0));
    std::thread late([&] {
        lock.lock_read();
        late_in.set();
        lock.unlock_read();
    });
    EXPECT_FALSE(signalled(late_in, kBlocked)) << "a reader overtook the waiting writer";
    release_first.set();
    first.join();
    EXPECT_TRUE(signalled(writer_in, kReleased));
    EXPECT_FALSE(signalled(late_in, kBlocked)) << "a reader got in beside the writer";
    release_writer.set();
    writer.join();
    EXPECT_TRUE(signalled(late_in, kReleased));
    late.join();
}

// Readers come and go as fast as they can while writers check that nobody
// reads beside them: catches a writer let in by a late "no readers" signal.
TEST_P(RWLockTest, ReadersAndWritersNeverOverlapUnderChurn) {
    RWLock &lock = *lock_;
    std::atomic<int> readers_inside{0}, writers_inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<bool> stop{false};
    long long a = 0, b = 0; // written only under the write lock
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                lock.lock_read();
                ++readers_inside;
                if (writers_inside != 0 || a != b) {
                    ++overlaps;
                }
                --readers_inside;
                lock.unlock_read();
            }
        });
    }
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&] {
            for (int i = 0; i < 3000; ++i) {
                lock.lock_write();
                if (++writers_inside != 1 || readers_inside != 0) {
                    ++overlaps;
                }
                ++a;
                ++b;
                --writers_inside;
                lock.unlock_write();
            }
        });
    }
    for (std::thread &t : writers) {
        t.join();
    }
    stop = true;
    for (std::thread &t : readers) {
        t.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(a, 6000);
    EXPECT_EQ(b, 6000);
}

TEST(RWLockFallback, ReaderOnTheWritingThreadPassesAndWriterStaysExclusive) {
    // The reader passes the critical section its own thread holds. Run on a
    // helper thread: were the object not on the fallback, it would hang there.
    RWLock *lock = detail::new_fallback_rwlock();
    ASSERT_NE(lock, nullptr);
    Event done(true), release(true), other_in(true);
    std::thread owner([&] {
        lock->lock_write();
        lock->lock_read();
        done.set();
        release.wait(-1);
        lock->unlock_read();
        lock->unlock_write();
    });
    bool passed = signalled(done, kReleased);
    EXPECT_TRUE(passed) << "a reader on the writing thread blocked";
    if (!passed) {
        owner.detach(); // stuck for good: leave the lock to it
        return;
    }
    std::thread other([&] {
        lock->lock_read();
        other_in.set();
        lock->unlock_read();
    });
    EXPECT_FALSE(signalled(other_in, kBlocked)) << "the nested read opened the lock to others";
    release.set();
    owner.join();
    EXPECT_TRUE(signalled(other_in, kReleased));
    other.join();
    delete lock;
}

// ---------------------------------------------------------------------------
// Event
// ---------------------------------------------------------------------------

TEST(EventTest, AutoResetSetOnceReleasesExactlyOneWait) {
    Event event; // auto-reset by default
    ASSERT_NE(event.handle(), nullptr);
    event.set();
    EXPECT_TRUE(signalled(event, 0));
    EXPECT_FALSE(signalled(event, 0)) << "the first wait should have reset it";

    std::atomic<int> through{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            EXPECT_TRUE(event.wait(-1));
            ++through;
        });
    }
    Sleep(kBlocked);
    EXPECT_EQ(through.load(), 0);
    event.set();
    Sleep(kBlocked);
    EXPECT_EQ(through.load(), 1);
    event.set();
    for (std::thread &t : waiters) {
        t.join();
    }
    EXPECT_EQ(through.load(), 2);
}

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
    Event event(true);
    EXPECT_FALSE(signalled(event, 0));
    event.set();
    EXPECT_TRUE(signalled(event, 0));
    EXPECT_TRUE(signalled(event, 0));
    std::vector<std::thread> waiters;
    std::atomic<int> through{0};
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (event.wait(-1)) {
                ++through;
            }
        });
    }
    for (std::thread &t : waiters) {
        t.join();
    }
    EXPECT_EQ(through.load(), 3);
    event.reset();
    EXPECT_FALSE(signalled(event, 0));
}

TEST(EventTest, TimeOutIsNotAFailureAndNegativeWaitsForEver) {
    Event event, in(true);
    EXPECT_TRUE(event.wait(0));
    EXPECT_TRUE(event.wait(10));
    std::thread waiter([&] {
        event.wait(-5);
        in.set();
    });
    EXPECT_FALSE(signalled(in, kBlocked));
    event.set();
    EXPECT_TRUE(signalled(in, kReleased));
    waiter.join();
}

TEST(EventTest, CopyHoldsItsOwnHandleToTheSameEvent) {
    Event original(true);
    Event copy(original);
    ASSERT_NE(copy.handle(), nullptr);
    EXPECT_NE(copy.handle(), original.handle());
    copy.set();
    EXPECT_TRUE(signalled(original, 0));
    original.reset();
    EXPECT_FALSE(signalled(copy, 0));

    void *copy_handle = nullptr;
    {
        Event inner(original);
        copy_handle = inner.handle();
        EXPECT_TRUE(handle_open(copy_handle));
    }
    EXPECT_FALSE(handle_open(copy_handle)) << "a destroyed copy left its handle open";
    // The original is untouched by the copy's end.
    original.set();
    EXPECT_TRUE(signalled(original, 0));
}

TEST(EventTest, AssignmentClosesTheOldHandleOnceAndSelfAssignmentKeepsWorking) {
    Event source(true), target;
    void *old = target.handle();
    target = source;
    EXPECT_FALSE(handle_open(old));
    EXPECT_NE(target.handle(), source.handle());
    source.set();
    EXPECT_TRUE(signalled(target, 0));

    Event &alias = target;
    target = alias;
    ASSERT_NE(target.handle(), nullptr);
    EXPECT_TRUE(signalled(target, 0));
}

// ---------------------------------------------------------------------------
// Semaphore
// ---------------------------------------------------------------------------

TEST(SemaphoreTest, ThreeSetsLetThreeWaitsThroughAndNoMore) {
    Semaphore semaphore;
    EXPECT_TRUE(semaphore.wait(0)) << "a time-out is not a failure";
    semaphore.set();
    semaphore.set();
    semaphore.set();
    Event three(true), fourth(true);
    std::thread waiter([&] {
        for (int i = 0; i < 3; ++i) {
            semaphore.wait(-1);
        }
        three.set();
        semaphore.wait(-1);
        fourth.set();
    });
    EXPECT_TRUE(signalled(three, kReleased));
    EXPECT_FALSE(signalled(fourth, kBlocked));
    semaphore.set();
    EXPECT_TRUE(signalled(fourth, kReleased));
    waiter.join();
}

TEST(SemaphoreTest, CopyAndAssignmentShareTheCount) {
    Semaphore original;
    Semaphore copy(original);
    Semaphore assigned;
    assigned = original;
    Semaphore &alias = assigned;
    assigned = alias;
    Event done(true);
    std::thread waiter([&] {
        original.wait(-1);
        original.wait(-1);
        done.set();
    });
    copy.set();
    EXPECT_FALSE(signalled(done, kBlocked));
    assigned.set();
    EXPECT_TRUE(signalled(done, kReleased));
    waiter.join();
}

#include "../../common/ipc/Event.h"
#include "../../common/ipc/Thread.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

using zem::vfs::CurrentThread;
using zem::vfs::DummyThread;
using zem::vfs::Event;
using zem::vfs::Semaphore;
using zem::vfs::Thread;

namespace {

const DWORD kReleased = 10000;

bool handle_open(void *handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

// Runs a function as its body and records which thread ran it.
class FunctionThread : public Thread {
public:
    explicit FunctionThread(std::function<int()> body) : body_(std::move(body)) {}
    int proc() override {
        ran_on_ = GetCurrentThreadId();
        ++runs_;
        return body_();
    }
    DWORD ran_on() const { return ran_on_; }
    int runs() const { return runs_; }

private:
    std::function<int()> body_;
    std::atomic<DWORD> ran_on_{0};
    std::atomic<int> runs_{0};
};

// Counts its destructions; each one releases a unit of `destroyed`.
std::atomic<int> g_alive{0};
std::atomic<int> g_destroyed{0};

// Polls until another thread has closed the handle; false if it stays open.
bool closed_soon(void *handle) {
    for (int i = 0; i < 1000; ++i) {
        if (!handle_open(handle)) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

class CountedThread : public Thread {
public:
    CountedThread(Semaphore &destroyed, Event *gate) : destroyed_(destroyed), gate_(gate) {
        ++g_alive;
    }
    ~CountedThread() override {
        --g_alive;
        ++g_destroyed;
        destroyed_.set();
    }
    int proc() override {
        // Reads the object's own handle, to see it closed later.
        void *own = detach();
        attach(own);
        own_handle_ = own;
        if (gate_) {
            gate_->wait(-1);
        }
        return 5;
    }

    static std::atomic<void *> own_handle_;

private:
    Semaphore &destroyed_;
    Event *gate_;
};

std::atomic<void *> CountedThread::own_handle_{nullptr};

} // namespace

// ---------------------------------------------------------------------------
// Starting and joining
// ---------------------------------------------------------------------------

TEST(ThreadRun, BodyResultIsTheJoinResultAndJoinRepeats) {
    FunctionThread thread([] { return 7; });
    EXPECT_EQ(thread.id(), 0);
    ASSERT_TRUE(thread.perform());
    EXPECT_EQ(thread.join(), 7);
    EXPECT_EQ(thread.join(), 7) << "the handle stays open after a join";
    EXPECT_EQ(thread.runs(), 1);
    EXPECT_NE(thread.ran_on(), GetCurrentThreadId());
    // The id stays readable after the thread ended, as long as the handle is held.
    EXPECT_EQ(static_cast<DWORD>(thread.id()), thread.ran_on());
}

TEST(ThreadRun, NegativeAndLargeExitCodesSurvive) {
    FunctionThread negative([] { return -3; });
    FunctionThread large([] { return 0x7FFFFFFF; });
    ASSERT_TRUE(negative.perform());
    ASSERT_TRUE(large.perform());
    EXPECT_EQ(negative.join(), -3);
    EXPECT_EQ(large.join(), 0x7FFFFFFF);
}

TEST(ThreadRun, PerformWhileHoldingAThreadIsRefused) {
    Event release(true);
    FunctionThread thread([&] {
        release.wait(-1);
        return 4;
    });
    ASSERT_TRUE(thread.perform());
    int id = thread.id(); // while it runs
    EXPECT_NE(id, 0);
    EXPECT_FALSE(thread.perform());
    EXPECT_EQ(thread.id(), id) << "the held thread was replaced";
    release.set();
    EXPECT_EQ(thread.join(), 4);
    EXPECT_EQ(thread.runs(), 1);
    EXPECT_EQ(static_cast<DWORD>(id), thread.ran_on());
    // Once the handle is given away the object can run again.
    void *first = thread.detach();
    ASSERT_NE(first, nullptr);
    CloseHandle(first);
    ASSERT_TRUE(thread.perform());
    EXPECT_EQ(thread.join(), 4);
    EXPECT_EQ(thread.runs(), 2);
}

TEST(ThreadRun, JoiningOneselfReturnsAtOnce) {
    std::atomic<int> inner{0};
    FunctionThread *self = nullptr;
    Event started(true);
    FunctionThread thread([&] {
        started.wait(-1); // `self` is set and the handle stored
        inner = self->join();
        return 9;
    });
    self = &thread;
    ASSERT_TRUE(thread.perform());
    started.set();
    EXPECT_EQ(thread.join(), 9);
    EXPECT_EQ(inner.load(), -1);
}

// ---------------------------------------------------------------------------
// Handle ownership
// ---------------------------------------------------------------------------

TEST(ThreadHandle, DestructorClosesIt) {
    void *handle = nullptr;
    {
        FunctionThread thread([] { return 0; });
        ASSERT_TRUE(thread.perform());
        EXPECT_EQ(thread.join(), 0);
        handle = thread.detach();
        thread.attach(handle); // back in the object's care
        EXPECT_TRUE(handle_open(handle));
    }
    EXPECT_FALSE(handle_open(handle));
}

TEST(ThreadHandle, DetachLeavesItOpenForTheCaller) {
    void *handle = nullptr;
    {
        FunctionThread thread([] { return 12; });
        ASSERT_TRUE(thread.perform());
        handle = thread.detach();
        EXPECT_EQ(thread.id(), 0);
        EXPECT_EQ(thread.join(), -1);
        EXPECT_EQ(thread.detach(), nullptr);
        // The body uses the object: it must end before the object does.
        EXPECT_EQ(WaitForSingleObject(handle, INFINITE), WAIT_OBJECT_0);
    }
    ASSERT_TRUE(handle_open(handle));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(handle, &code));
    EXPECT_EQ(code, 12u);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST(ThreadHandle, AttachedHandleIsJoinedAndClosed) {
    FunctionThread source([] { return 21; });
    ASSERT_TRUE(source.perform());
    void *handle = source.detach();
    {
        DummyThread holder;
        holder.attach(handle);
        EXPECT_EQ(holder.join(), 21);
        EXPECT_EQ(static_cast<DWORD>(holder.id()), source.ran_on());
    }
    EXPECT_FALSE(handle_open(handle));
}

// ---------------------------------------------------------------------------
// DummyThread and CurrentThread
// ---------------------------------------------------------------------------

TEST(DummyThreadTest, HasNoThreadUntilPerformRunsItsEmptyBody) {
    DummyThread dummy;
    EXPECT_EQ(dummy.join(), -1);
    EXPECT_EQ(dummy.id(), 0);
    EXPECT_EQ(dummy.detach(), nullptr);
    ASSERT_TRUE(dummy.perform());
    EXPECT_NE(dummy.id(), 0);
    EXPECT_EQ(dummy.join(), 0);
}

TEST(CurrentThreadTest, IdIsTheCallingThreads) {
    EXPECT_EQ(static_cast<DWORD>(CurrentThread().id()), GetCurrentThreadId());
    DWORD other_id = 0, other_seen = 0;
    std::thread other([&] {
        other_id = GetCurrentThreadId();
        other_seen = static_cast<DWORD>(CurrentThread().id());
    });
    other.join();
    EXPECT_EQ(other_seen, other_id);
    EXPECT_NE(other_id, GetCurrentThreadId());
}

TEST(CurrentThreadTest, JoinDoesNotWaitForItselfAndPerformIsRefused) {
    CurrentThread current;
    EXPECT_EQ(current.proc(), 0);
    EXPECT_EQ(current.join(), -1);
    EXPECT_FALSE(current.perform());
    EXPECT_EQ(current.detach(), GetCurrentThread());
}

// ---------------------------------------------------------------------------
// Auto-delete
// ---------------------------------------------------------------------------

TEST(ThreadAutoDelete, ObjectDestroyedOnceWhenBodyReturns) {
    g_alive = 0;
    g_destroyed = 0;
    CountedThread::own_handle_ = nullptr;
    Semaphore destroyed;
    Event gate(true);
    CountedThread *thread = new CountedThread(destroyed, &gate);
    thread->set_auto_delete();
    ASSERT_TRUE(thread->perform());
    thread = nullptr; // the thread's own from here on
    Sleep(100);
    EXPECT_EQ(g_destroyed.load(), 0) << "destroyed before its body returned";
    for (int i = 0; i < 1000 && !CountedThread::own_handle_; ++i) {
        Sleep(10);
    }
    void *own = CountedThread::own_handle_;
    EXPECT_NE(own, nullptr) << "the body never ran";
    EXPECT_TRUE(own && handle_open(own));
    gate.set();
    destroyed.wait(-1);
    EXPECT_TRUE(own && closed_soon(own)) << "the thread's own handle was left open";
    EXPECT_EQ(g_destroyed.load(), 1);
    EXPECT_EQ(g_alive.load(), 0);
}

TEST(ThreadAutoDelete, ManyShortLivedThreadsNeitherLeakNorDoubleDelete) {
    // Bodies that return at once: each thread frees its object as soon as it
    // runs, racing the perform() that started it.
    g_alive = 0;
    g_destroyed = 0;
    const int kThreads = 200;
    Semaphore destroyed;
    DWORD handles_before = 0, handles_after = 0;
    BOOL counted = GetProcessHandleCount(GetCurrentProcess(), &handles_before);
    int started = 0;
    for (int i = 0; i < kThreads; ++i) {
        CountedThread *thread = new CountedThread(destroyed, nullptr);
        thread->set_auto_delete();
        if (thread->perform()) {
            ++started;
        } else {
            delete thread;
        }
    }
    EXPECT_EQ(started, kThreads);
    for (int i = 0; i < kThreads; ++i) {
        destroyed.wait(-1);
    }
    Sleep(200); // let the last threads leave their entry
    EXPECT_EQ(g_destroyed.load(), kThreads);
    EXPECT_EQ(g_alive.load(), 0);
    if (counted && GetProcessHandleCount(GetCurrentProcess(), &handles_after) &&
        handles_before != 0) {
        // Each thread closed its own handle; allow a little slack for the
        // runtime's own handles. (Wine reports no count, so only Windows
        // checks this.)
        EXPECT_LT(handles_after, handles_before + 20) << "thread handles leaked";
    }
}

TEST(ThreadAutoDelete, SetFromInsideTheBody) {
    g_destroyed = 0;
    Semaphore destroyed;

    class SelfDeleting : public CountedThread {
    public:
        explicit SelfDeleting(Semaphore &destroyed) : CountedThread(destroyed, nullptr) {}
        int proc() override {
            set_auto_delete();
            return 0;
        }
    };
    SelfDeleting *thread = new SelfDeleting(destroyed);
    ASSERT_TRUE(thread->perform());
    destroyed.wait(-1);
    EXPECT_EQ(g_destroyed.load(), 1);
}

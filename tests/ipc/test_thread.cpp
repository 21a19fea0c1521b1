// Threads: start, join and exit codes, handle ownership, DummyThread and
// CurrentThread, and objects that delete themselves when their body ends.
#include "ipc/Event.h"
#include "ipc/Thread.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>

using namespace zem::vfs;

namespace {

bool handle_open(void *h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}

std::atomic<int> g_destroyed{0};

// Runs a function as its body; counts its destructions.
class FunctionThread : public Thread {
public:
    explicit FunctionThread(std::function<int()> body) : body_(std::move(body)) {}
    ~FunctionThread() override { ++g_destroyed; }
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
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(handle, INFINITE));
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
    g_destroyed = 0;
    Semaphore ended;
    unsigned long const before = zem::vfs::test::count_handles();
    ASSERT_NE(0u, before);
    for (int i = 0; i < 200; ++i) {
        FunctionThread *thread = new FunctionThread([&ended, i] {
            ended.set();
            return i;
        });
        if (i % 2)
            thread->set_auto_delete();
        ASSERT_TRUE(thread->perform());
        if (i % 2 == 0) {
            EXPECT_EQ(i, thread->join());
            delete thread;
        }
    }
    for (int i = 0; i < 200; ++i)
        ended.wait(-1);
    for (int i = 0; i < 500 && g_destroyed < 200; ++i)
        Sleep(10); // the last auto-deleted objects leave their bodies
    EXPECT_EQ(200, g_destroyed.load());
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
    for (int i = 0; i < 500 && g_destroyed < 201; ++i)
        Sleep(10);
    EXPECT_EQ(201, g_destroyed.load());
}

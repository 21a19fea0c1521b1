// Threads and what they share: Lock, RWLock on the slim lock and on its
// fallback, Event and Semaphore, Thread, and the named objects shared with
// child_shared.exe (Mutex, SharedMemory, Identy) beside the SharedAtom table.
#include "ipc/Event.h"
#include "ipc/Identy.h"
#include "ipc/Lock.h"
#include "ipc/Mutex.h"
#include "ipc/RWLock.h"
#include "ipc/SharedAtom.h"
#include "ipc/SharedMemory.h"
#include "ipc/Thread.h"
#include "ipc/internal/SlimLock.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

using namespace zem::vfs;
using namespace zem::vfs::test;

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
    explicit Runner(std::function<void()> body) : done_(std::async(std::launch::async, body)) {}
    bool done(DWORD ms) {
        return done_.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
    }

private:
    std::future<void> done_;
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

std::wstring unique(wchar_t const *tag) {
    static unsigned counter = 0;
    return std::wstring(tag) + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(++counter);
}

// The object's security as stored: a present null DACL, and a label that is
// the low mandatory one with no write up.
void expect_low_security(HANDLE handle) {
    std::vector<BYTE> sd(4096);
    DWORD needed = 0;
    BOOL dacl_present = FALSE, sacl_present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr, sacl = nullptr;
    ACE_HEADER *ace = nullptr;
    ASSERT_TRUE(GetKernelObjectSecurity(handle,
                                        DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                        sd.data(), DWORD(sd.size()), &needed) &&
                GetSecurityDescriptorDacl(sd.data(), &dacl_present, &dacl, &defaulted) &&
                GetSecurityDescriptorSacl(sd.data(), &sacl_present, &sacl, &defaulted));
    EXPECT_TRUE(dacl_present && dacl == nullptr);
    ASSERT_TRUE(sacl_present && sacl != nullptr && sacl->AceCount == 1 &&
                GetAce(sacl, 0, reinterpret_cast<void **>(&ace)));
    auto *label = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE *>(ace);
    SID *sid = reinterpret_cast<SID *>(&label->SidStart);
    EXPECT_TRUE(ace->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE &&
                label->Mask == SYSTEM_MANDATORY_LABEL_NO_WRITE_UP && sid->SubAuthorityCount == 1 &&
                sid->SubAuthority[0] == SECURITY_MANDATORY_LOW_RID);
}

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
}

// On the slim lock (Wine has it, like every Windows since Vista) and on the
// fallback.
TEST(RWLock, ReadersShareAndAWriterWaitsForEveryOne) {
    ASSERT_TRUE(detail::slim_lock_available());
    for (bool const fallback : {false, true}) {
        SCOPED_TRACE(fallback);
        std::unique_ptr<RWLock> held(fallback ? detail::new_fallback_rwlock() : new RWLock());
        RWLock &lock = *held;
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

TEST(Event, AutoAndManualResetTimeOutsAndCopies) {
    Event automatic, manual(true), assigned;
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
    void *old = assigned.handle();
    assigned = manual;
    EXPECT_FALSE(handle_open(old));
    {
        Event copy(assigned);
        old = copy.handle();
        EXPECT_NE(manual.handle(), old);
        copy.set(); // the same event
    }
    EXPECT_FALSE(handle_open(old));
    EXPECT_TRUE(signalled(manual.handle(), 0) && signalled(assigned.handle(), 0));
    manual.reset();
    EXPECT_FALSE(signalled(assigned.handle(), 0));
}

// Two sets let two of the three waits through, whichever copy set.
TEST(Semaphore, EachSetLetsOneWaitThroughAndCopiesShareTheCount) {
    Semaphore semaphore, assigned;
    EXPECT_TRUE(semaphore.wait(0)) << "a time-out is no failure";
    Semaphore copy(semaphore);
    assigned = copy;
    semaphore.set();
    copy.set();
    Runner waiter([&] {
        for (int i = 0; i < 3; ++i)
            semaphore.wait(-1);
    });
    EXPECT_FALSE(waiter.done(kBlocked));
    assigned.set();
    EXPECT_TRUE(waiter.done(kReleased));
}

TEST(Thread, ExitCodeJoinsAndARefusedSecondStart) {
    Event release(true);
    FunctionThread *self = nullptr;
    std::atomic<int> inner{0};
    FunctionThread thread([&] {
        release.wait(-1);
        inner = self->join(); // its own handle: no wait
        return -3;
    });
    self = &thread;
    EXPECT_EQ(0, thread.id());
    ASSERT_TRUE(thread.perform());
    int const id = thread.id();
    EXPECT_FALSE(thread.perform());
    EXPECT_EQ(id, thread.id()) << "the held thread was replaced";
    release.set();
    EXPECT_EQ(-3, thread.join());
    EXPECT_EQ(-3, thread.join()) << "the handle stays open after a join";
    EXPECT_EQ(-1, inner.load());
    EXPECT_EQ(thread.ran_on.load(), DWORD(id));
    EXPECT_NE(GetCurrentThreadId(), thread.ran_on.load());
    void *handle = thread.detach(); // given away: the object may run again
    EXPECT_EQ(0, thread.id());
    EXPECT_EQ(-1, thread.join());
    EXPECT_EQ(nullptr, thread.detach());
    {
        DummyThread holder;
        EXPECT_EQ(-1, holder.join());
        holder.attach(handle);
        EXPECT_EQ(-3, holder.join());
        EXPECT_EQ(id, holder.id());
    }
    EXPECT_FALSE(handle_open(handle)) << "the destructor closes what it holds";
    ASSERT_TRUE(thread.perform());
    EXPECT_EQ(-3, thread.join());
    EXPECT_EQ(2, thread.runs.load());
}

// Bodies that return at once free their objects as soon as they run, racing
// the perform() that started them: each object is destroyed once.
TEST(Thread, AutoDeletedObjectsAreDestroyedOnce) {
    while (signalled(g_destroyed, 0))
        continue; // the objects of the tests before
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

// Left owned by a process that ended, the mutex is handed over abandoned:
// lock() says false, yet owns it.
TEST(Mutex, AbandonedRecursiveExclusiveSharedByCopiesAndNameAndLowSecurity) {
    std::wstring name = unique(L"zem_mutex");
    Mutex first(name.c_str()), copy(first), assigned(nullptr), again(name.c_str());
    assigned = first;
    ChildResult child = run_child(program_folder() + L"child_shared.exe", L"abandon " + name);
    EXPECT_EQ("1", child.value("locked")) << child.output;
    ASSERT_FALSE(first.lock());
    EXPECT_TRUE(first.lock());
    first.unlock();
    for (Mutex *other : {&first, &copy, &assigned, &again}) {
        std::atomic<bool> locked{false};
        {
            Runner waiter([&] {
                locked = other->lock();
                other->unlock();
            });
            EXPECT_FALSE(waiter.done(kBlocked));
            first.unlock();
            EXPECT_TRUE(waiter.done(kReleased));
        }
        EXPECT_TRUE(locked.load());
        ASSERT_TRUE(first.lock());
    }
    first.unlock();
    Mutex unnamed(nullptr);
    EXPECT_TRUE(unnamed.lock());
    unnamed.unlock();
    Handle opened(OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, name.c_str()));
    ASSERT_TRUE(opened.valid());
    expect_low_security(opened.get());
    // The name of an event cannot be a mutex's: no handle, never locked.
    std::wstring taken = unique(L"zem_not_mutex");
    Handle event(CreateEventW(nullptr, TRUE, FALSE, taken.c_str()));
    Mutex none(taken.c_str());
    EXPECT_FALSE(none.lock());
    none.unlock();
    EXPECT_FALSE(Mutex(none).lock());
}

// The first creator's size holds, here and in another process.
TEST(SharedMemory, SameNameSameBytesHereAndInAnotherProcessAndFailedMappings) {
    std::wstring name = unique(L"zem_memory");
    SharedMemory memory(8192, name.c_str()), second(4096, name.c_str()),
        larger(3 * 8192, name.c_str());
    char *bytes = static_cast<char *>(memory.get());
    ASSERT_TRUE(bytes != nullptr && second.get() != nullptr && second.get() != bytes);
    EXPECT_EQ(nullptr, larger.get());
    std::strcpy(bytes, "from the parent");
    EXPECT_STREQ("from the parent", static_cast<char *>(second.get()));
    Handle opened(OpenFileMappingW(READ_CONTROL, FALSE, name.c_str()));
    ASSERT_TRUE(opened.valid());
    expect_low_security(opened.get());
    ChildResult child =
        run_child(program_folder() + L"child_shared.exe", L"memory " + name + L" 4096");
    EXPECT_EQ("from the parent", child.value("text")) << child.output;
    EXPECT_EQ("child 4096", std::string(bytes + 64));
    Handle event(CreateEventW(nullptr, TRUE, FALSE, (name + L"_event").c_str()));
    EXPECT_EQ(nullptr, SharedMemory(4096, (name + L"_event").c_str()).get());
    EXPECT_EQ(nullptr, SharedMemory(0, nullptr).get());
    EXPECT_EQ(nullptr, SharedMemory(~0ull, nullptr).get());
}

// Swapped and moved, a view changes hands; at the end both the view and the
// mapping are handed back.
TEST(SharedMemory, HandingOverTheView) {
    SharedMemory a(64, nullptr), b(0, nullptr);
    void *view = a.get();
    ASSERT_NE(nullptr, view);
    a.swap(b);
    EXPECT_EQ(nullptr, a.get());
    SharedMemory moved(std::move(b)), target(64, nullptr);
    EXPECT_EQ(nullptr, b.get());
    target = std::move(moved);
    EXPECT_EQ(view, target.get());
    static_cast<char *>(target.get())[63] = 'x';
    std::wstring const name = unique(L"zem_memory");
    {
        SharedMemory gone(4096, name.c_str());
        view = gone.get();
        ASSERT_NE(nullptr, view);
    }
    Handle reopened(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
    EXPECT_FALSE(reopened.valid()) << "the mapping was left open";
    MEMORY_BASIC_INFORMATION region = {};
    ASSERT_NE(0u, VirtualQuery(view, &region, sizeof region));
    EXPECT_EQ(DWORD(MEM_FREE), region.State) << "the view was left mapped";
}

// Names are compared byte by byte and copied; a null pointer removes, a
// lookup adds nothing, a null name is ignored.
TEST(SharedAtomTest, NamedPointers) {
    SharedAtom *atom = SharedAtom::instance();
    EXPECT_EQ(atom, SharedAtom::instance());
    std::size_t const before = atom->size();
    int a = 1, b = 2;
    char copied[] = "zem.atom.copy";
    struct {
        char const *name;
        void *p;
        char const *looked_up;
        void *found;
        std::size_t added;
    } const rows[] = {
        {"zem.atom.first", nullptr, "zem.atom.first", nullptr, 0},
        {"zem.atom.first", &a, "zem.atom.first", &a, 1},
        {"zem.atom.first", &b, "zem.atom.first", &b, 1},
        {"ZEM.ATOM.FIRST", &a, "zem.atom.first", &b, 2},
        {"zem.atom.\xE9", &a, "zem.atom.\xC9", nullptr, 3},
        {copied, &a, "zem.atom.copy", &a, 4},
        {nullptr, &a, nullptr, nullptr, 4},
        {"zem.atom.first", nullptr, "zem.atom.first", nullptr, 3},
        {"ZEM.ATOM.FIRST", nullptr, "zem.atom.\xE9", &a, 2},
    };
    for (auto const &row : rows) {
        SCOPED_TRACE(row.name ? row.name : "null");
        atom->set(row.name, row.p);
        if (row.name == copied)
            copied[0] = 'X'; // the key stays as it was
        EXPECT_EQ(row.found, atom->get(row.looked_up));
        EXPECT_EQ(before + row.added, atom->size());
    }
    for (char const *key : {"zem.atom.\xE9", "zem.atom.copy"})
        atom->set(key, nullptr);
    EXPECT_EQ(before, atom->size());
}

// The event is named after the name, the process and the thread; its first
// creator owns it; a name too long for that suffix is refused, not cut.
TEST(Identy, OwnerFollowersRefusedNamesAndTheEventOfProcessAndThread) {
    std::string const name = narrow(unique(L"zem_identy"));
    std::string const ids =
        "_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetCurrentThreadId());
    std::string const longest = name + std::string(259 - ids.size() - name.size(), 'i');
    {
        Identy gone(name.c_str(), true); // its event goes with it
    }
    Identy owner(name.c_str(), true), second(name.c_str(), true), opened(name.c_str(), false),
        fits(longest.c_str(), true), refused((longest + "j").c_str(), true), none(nullptr, true);
    for (Identy *identy : {&owner, &second, &opened, &fits, &refused, &none}) {
        bool const first = identy == &owner || identy == &fits; // and so wanted
        SCOPED_TRACE(first);
        EXPECT_TRUE(identy->owner() == first && identy->exists() != first);
        EXPECT_TRUE(identy->want() == first && !identy->is_done());
    }
    refused.done();
    none.done();
    EXPECT_FALSE(refused.is_done() || none.is_done() || fits.is_done());
    Handle cut(OpenEventA(SYNCHRONIZE, FALSE, (longest + "j" + ids).substr(0, 259).c_str()));
    EXPECT_FALSE(cut.valid()) << "an event of the shortened name";
    Handle event(OpenEventA(SYNCHRONIZE, FALSE, (name + ids).c_str()));
    ASSERT_TRUE(event.valid());
    owner.done();
    EXPECT_TRUE(second.is_done() && opened.is_done() && signalled(event.get(), 0));
    EXPECT_FALSE(owner.want());
    auto other = std::async(std::launch::async, [&] { // with an event of its own
        Identy other(name.c_str(), false);
        return !other.is_done() && other.exists() && Identy(name.c_str(), true).owner();
    });
    EXPECT_TRUE(other.get()) << "another thread: not done, yet existing, and its own owner";
}

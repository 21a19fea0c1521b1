// Threads and what they share (locks, events, named objects also opened by
// child_shared.exe, the SharedAtom table); named pipes, synchronous and
// overlapped, and the completion-port loop that drives them.
#include "ipc/Event.h"
#include "ipc/IOPoll.h"
#include "ipc/Identy.h"
#include "ipc/Lock.h"
#include "ipc/Mutex.h"
#include "ipc/Pipe.h"
#include "ipc/RWLock.h"
#include "ipc/SharedAtom.h"
#include "ipc/SharedMemory.h"
#include "ipc/Thread.h"
#include "ipc/internal/SlimLock.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

// How long a blocked thread is given to (wrongly) get through, and how long
// a released one may take at most; neither is a speed expectation.
const DWORD kBlocked = 60;
const DWORD kReleased = 10000;

bool signalled(void *h, DWORD ms = kReleased) {
    return WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
}

bool handle_open(void *h) {
    DWORD flags = 0;
    return h != INVALID_HANDLE_VALUE && GetHandleInformation(h, &flags) != FALSE;
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

std::string unique_name() {
    return narrow(unique(L"\\\\.\\pipe\\zem_test"));
}

HANDLE open_client(std::string const &name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
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
        if (fallback) { // a reader passes the lock its own thread holds for writing
            lock.lock_write();
            Runner other([&] {
                lock.lock_read();
                lock.unlock_read();
            });
            lock.lock_read();
            EXPECT_FALSE(other.done(kBlocked)) << "the nested read opened the lock to others";
            lock.unlock_read();
            lock.unlock_write();
            EXPECT_TRUE(other.done(kReleased));
        }
    }
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
    EXPECT_TRUE(a.done(kReleased) && b.done(kReleased) && through == 2);
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
    ASSERT_TRUE(thread.perform());
    int const id = thread.id();
    EXPECT_FALSE(thread.perform());
    EXPECT_EQ(id, thread.id()) << "the held thread was replaced";
    release.set();
    EXPECT_EQ(-3, thread.join());
    EXPECT_EQ(-3, thread.join()) << "the handle stays open after a join";
    EXPECT_EQ(-1, inner.load());
    EXPECT_TRUE(thread.ran_on == DWORD(id) && DWORD(id) != GetCurrentThreadId());
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
    FunctionThread *late = new FunctionThread([&] {
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
    EXPECT_TRUE(Mutex(nullptr).lock());
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
    a.swap(b);
    SharedMemory moved(std::move(b)), target(64, nullptr);
    target = std::move(moved);
    ASSERT_TRUE(view != nullptr && target.get() == view);
    EXPECT_TRUE(a.get() == nullptr && b.get() == nullptr);
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
    EXPECT_TRUE(server.state() == 1 && handle_open(h)); // the instance stays for the next client
    server.close();
    EXPECT_TRUE(server.handle() == INVALID_HANDLE_VALUE && !handle_open(h));
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
        ASSERT_TRUE(signalled(c.bound.handle()));
        EXPECT_TRUE(c.io_state() == 2 && c.binds == round);
        ASSERT_NE(io_failed, c.begin_read(poll, buffer, sizeof buffer));
        EXPECT_EQ(3, c.io_state());
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(client.get(), "hello", 5, &n, nullptr));
        ASSERT_TRUE(signalled(c.read.handle()));
        EXPECT_EQ("hello", c.got);
        c.got.clear();
        ASSERT_NE(io_failed, c.begin_read(poll, buffer, sizeof buffer));
        if (round == 1)
            client.reset();
        else
            CancelIoEx(c.handle(), nullptr);
        ASSERT_TRUE(signalled(c.failed.handle()));
        EXPECT_EQ(round, c.errors.load());
        c.disconnect();
        EXPECT_TRUE(c.io_state() == 0 && c.state() == 1);
        ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
        EXPECT_EQ(instance, c.handle()); // no new instance
    }
    std::vector<BYTE> sd(4096);
    DWORD needed = 0;
    LPWSTR text = nullptr;
    ASSERT_TRUE(GetKernelObjectSecurity(c.handle(), DACL_SECURITY_INFORMATION, sd.data(),
                                        DWORD(sd.size()), &needed) &&
                ConvertSecurityDescriptorToStringSecurityDescriptorW(
                    sd.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
    std::wstring const sddl = text;
    LocalFree(text);
    std::size_t const world = sddl.find(L";;;WD)"); // low-integrity and packaged clients too
    ASSERT_NE(std::wstring::npos, world) << narrow(sddl);
    EXPECT_EQ(sddl.rfind(L"(A;", world), sddl.rfind(L"(", world)) << narrow(sddl);
    c.close(); // the aborted connect still reaches the object
    EXPECT_TRUE(signalled(c.bound.handle()));
    c.disconnect();
    ASSERT_EQ(io_pending, c.begin_bind(name.c_str(), poll));
    EXPECT_EQ(instance, c.handle()) << "no handle value reused: the case is not reached";
    Handle client(open_client(name));
    EXPECT_TRUE(signalled(c.bound.handle())) << "the new instance's connection never came";
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
    EXPECT_TRUE(signalled(poll.three.handle()));
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
        EXPECT_TRUE(k == p && bytes == 0); // as they are, nothing called
    }
    EXPECT_TRUE(c.calls == 0 && poll.codes == "-2 -100 ") << poll.codes;
    void *port = nullptr;
    {
        IOPoll closed;
        port = closed.port();
    }
    EXPECT_FALSE(handle_open(port)) << "the destructor left the port open";
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

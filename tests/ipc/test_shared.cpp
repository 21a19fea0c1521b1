// Shared state: Mutex and SharedMemory within this process and with
// child_shared.exe, the SharedAtom table, and Identy events.
#include "ipc/Identy.h"
#include "ipc/Mutex.h"
#include "ipc/SharedAtom.h"
#include "ipc/SharedMemory.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

std::wstring unique(wchar_t const *tag) {
    static unsigned counter = 0;
    return std::wstring(tag) + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(++counter);
}

ChildResult run_shared(std::wstring const &arguments) {
    return run_child(program_folder() + L"child_shared.exe", arguments, 0, {}, 30000);
}

// The object's security as stored: is its DACL a present null DACL, and is
// its label the low mandatory one with no write up?
void expect_low_security(HANDLE handle) {
    std::vector<BYTE> buffer(4096);
    DWORD needed = 0;
    ASSERT_TRUE(GetKernelObjectSecurity(handle,
                                        DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                        buffer.data(), DWORD(buffer.size()), &needed));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(buffer.data(), &present, &acl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(nullptr, acl);
    acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorSacl(buffer.data(), &present, &acl, &defaulted));
    ASSERT_TRUE(present && acl != nullptr && acl->AceCount == 1);
    ACE_HEADER *header = nullptr;
    ASSERT_TRUE(GetAce(acl, 0, reinterpret_cast<void **>(&header)));
    ASSERT_EQ(SYSTEM_MANDATORY_LABEL_ACE_TYPE, header->AceType);
    auto *label = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE *>(header);
    EXPECT_EQ(DWORD(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP), label->Mask);
    SID *sid = reinterpret_cast<SID *>(&label->SidStart);
    EXPECT_EQ(1, sid->SubAuthorityCount);
    EXPECT_EQ(DWORD(SECURITY_MANDATORY_LOW_RID), sid->SubAuthority[0]);
}

// Does `lock()` of `mutex` on another thread return within `ms`? The thread
// is joined in any case (the caller must let it finish).
class LockOnThread {
public:
    explicit LockOnThread(Mutex &mutex)
        : thread_([this, &mutex] {
              result_ = mutex.lock() ? 1 : 0;
              if (result_ == 1)
                  mutex.unlock();
          }) {}
    ~LockOnThread() { thread_.join(); }
    int result() const { return result_; }
    bool wait(DWORD ms) {
        ULONGLONG end = GetTickCount64() + ms;
        while (result_ < 0 && GetTickCount64() < end)
            Sleep(10);
        return result_ >= 0;
    }

private:
    std::atomic<int> result_{-1};
    std::thread thread_;
};

} // namespace

TEST(MutexTest, LockIsRecursiveAndExcludesOtherThreads) {
    Mutex mutex(unique(L"zem_mutex").c_str());
    ASSERT_TRUE(mutex.lock());
    EXPECT_TRUE(mutex.lock());
    mutex.unlock();
    {
        LockOnThread other(mutex);
        EXPECT_FALSE(other.wait(200));
        mutex.unlock();
        EXPECT_TRUE(other.wait(5000));
        EXPECT_EQ(1, other.result());
    }
}

TEST(MutexTest, CopiesShareTheMutex) {
    std::wstring name = unique(L"zem_mutex");
    Mutex first(name.c_str());
    Mutex copy(first);
    Mutex assigned(nullptr);
    assigned = first;
    assigned = assigned;
    ASSERT_TRUE(first.lock());
    {
        LockOnThread by_copy(copy);
        LockOnThread by_assigned(assigned);
        EXPECT_FALSE(by_copy.wait(100));
        EXPECT_FALSE(by_assigned.wait(100));
        first.unlock();
        EXPECT_TRUE(by_copy.wait(5000));
        EXPECT_TRUE(by_assigned.wait(5000));
    }
    // Same name, same mutex.
    Mutex again(name.c_str());
    ASSERT_TRUE(again.lock());
    {
        LockOnThread other(first);
        EXPECT_FALSE(other.wait(100));
        again.unlock();
        EXPECT_TRUE(other.wait(5000));
    }
}

TEST(MutexTest, NoHandleNeverLocks) {
    // The name of an event cannot be a mutex's.
    std::wstring name = unique(L"zem_not_mutex");
    Handle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(event.valid());
    Mutex mutex(name.c_str());
    EXPECT_FALSE(mutex.lock());
    mutex.unlock();
    Mutex copy(mutex);
    EXPECT_FALSE(copy.lock());
}

TEST(MutexTest, UnnamedMutexWorks) {
    Mutex mutex(nullptr);
    EXPECT_TRUE(mutex.lock());
    mutex.unlock();
}

TEST(MutexTest, CreatedWithLowMandatorySecurity) {
    std::wstring name = unique(L"zem_mutex");
    Mutex mutex(name.c_str());
    Handle opened(OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, name.c_str()));
    ASSERT_TRUE(opened.valid());
    expect_low_security(opened.get());
}

TEST(MutexTest, AbandonedByAnotherProcess) {
    std::wstring name = unique(L"zem_abandoned");
    // Held open here, so the mutex outlives the child.
    Mutex mutex(name.c_str());
    ChildResult child = run_shared(L"abandon " + name);
    ASSERT_TRUE(child.finished) << child.output;
    EXPECT_EQ("1", child.value("locked")) << child.output;

    // The wait hands the abandoned mutex over: false, yet owned from now on.
    EXPECT_FALSE(mutex.lock());
    {
        LockOnThread other(mutex);
        EXPECT_FALSE(other.wait(100));
        EXPECT_TRUE(mutex.lock());
        mutex.unlock();
        mutex.unlock();
        EXPECT_TRUE(other.wait(5000));
        EXPECT_EQ(1, other.result());
    }
    // An orderly owner afterwards.
    child = run_shared(L"lock " + name);
    EXPECT_EQ("1", child.value("locked")) << child.output;
}

TEST(MutexTest, ExcludesAnotherProcess) {
    std::wstring name = unique(L"zem_mutex");
    Mutex mutex(name.c_str());
    ASSERT_TRUE(mutex.lock());
    DWORD still_running = 0;
    ChildResult child = run_child(
        program_folder() + L"child_shared.exe", L"lock " + name, 0,
        [&](DWORD, HANDLE process) {
            still_running = WaitForSingleObject(process, 300) == WAIT_TIMEOUT ? 1 : 0;
            mutex.unlock();
        },
        30000);
    EXPECT_EQ(1u, still_running);
    ASSERT_TRUE(child.finished);
    EXPECT_EQ("1", child.value("locked")) << child.output;
}

TEST(SharedMemoryTest, UnnamedAndFailedMappings) {
    SharedMemory memory(100, nullptr);
    ASSERT_NE(nullptr, memory.get());
    std::memcpy(memory.get(), "bytes", 6);
    EXPECT_STREQ("bytes", static_cast<char *>(memory.get()));

    SharedMemory empty(0, nullptr);
    EXPECT_EQ(nullptr, empty.get());

    // A name taken by an object of another type.
    std::wstring name = unique(L"zem_not_memory");
    Handle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    SharedMemory clash(4096, name.c_str());
    EXPECT_EQ(nullptr, clash.get());

    // More than the address space can hold.
    SharedMemory huge(~0ull, nullptr);
    EXPECT_EQ(nullptr, huge.get());
}

TEST(SharedMemoryTest, SameNameSameBytesFirstSizeApplies) {
    std::wstring name = unique(L"zem_memory");
    SharedMemory first(8192, name.c_str());
    ASSERT_NE(nullptr, first.get());
    SharedMemory second(4096, name.c_str());
    ASSERT_NE(nullptr, second.get());
    EXPECT_NE(first.get(), second.get());
    std::strcpy(static_cast<char *>(first.get()) + 100, "written through the first view");
    EXPECT_STREQ("written through the first view", static_cast<char *>(second.get()) + 100);
    // The mapping is not enlarged: no view beyond its 8192 bytes.
    SharedMemory larger(3 * 8192, name.c_str());
    EXPECT_EQ(nullptr, larger.get());

    Handle opened(OpenFileMappingW(READ_CONTROL, FALSE, name.c_str()));
    ASSERT_TRUE(opened.valid());
    expect_low_security(opened.get());
}

TEST(SharedMemoryTest, SwapAndMoveHandOverTheView) {
    SharedMemory a(64, nullptr);
    SharedMemory b(0, nullptr);
    void *view = a.get();
    ASSERT_NE(nullptr, view);
    a.swap(b);
    EXPECT_EQ(nullptr, a.get());
    EXPECT_EQ(view, b.get());
    SharedMemory moved(std::move(b));
    EXPECT_EQ(view, moved.get());
    EXPECT_EQ(nullptr, b.get());
    SharedMemory target(64, nullptr);
    target = std::move(moved);
    EXPECT_EQ(view, target.get());
    static_cast<char *>(target.get())[63] = 'x';
}

TEST(SharedMemoryTest, SeenByAnotherProcess) {
    std::wstring name = unique(L"zem_memory");
    SharedMemory memory(8192, name.c_str());
    char *bytes = static_cast<char *>(memory.get());
    ASSERT_NE(nullptr, bytes);
    std::strcpy(bytes, "from the parent");

    ChildResult child = run_shared(L"memory " + name + L" 4096");
    ASSERT_TRUE(child.finished);
    EXPECT_EQ("1", child.value("view")) << child.output;
    EXPECT_EQ("from the parent", child.value("text")) << child.output;
    EXPECT_STREQ("child 4096", bytes + 64);

    child = run_shared(L"memory " + name + L" 8192");
    EXPECT_EQ("1", child.value("view")) << child.output;
    EXPECT_STREQ("child 8192", bytes + 64);

    // The first one's size holds in the other process too.
    child = run_shared(L"memory " + name + L" 65536");
    EXPECT_EQ("0", child.value("view")) << child.output;
    EXPECT_STREQ("child 8192", bytes + 64);
}

TEST(SharedAtomTest, NamedPointers) {
    SharedAtom *atom = SharedAtom::instance();
    ASSERT_NE(nullptr, atom);
    EXPECT_EQ(atom, SharedAtom::instance());
    std::size_t const before = atom->size();
    int a = 1;
    int b = 2;

    // A lookup finds nothing and adds nothing.
    EXPECT_EQ(nullptr, atom->get("zem.atom.first"));
    EXPECT_EQ(before, atom->size());
    atom->set("zem.atom.first", nullptr);
    EXPECT_EQ(before, atom->size());

    atom->set("zem.atom.first", &a);
    EXPECT_EQ(&a, atom->get("zem.atom.first"));
    atom->set("zem.atom.first", &b);
    EXPECT_EQ(&b, atom->get("zem.atom.first"));
    EXPECT_EQ(before + 1, atom->size());

    // Names are compared byte by byte.
    EXPECT_EQ(nullptr, atom->get("ZEM.ATOM.FIRST"));
    atom->set("ZEM.ATOM.FIRST", &a);
    EXPECT_EQ(&a, atom->get("ZEM.ATOM.FIRST"));
    EXPECT_EQ(&b, atom->get("zem.atom.first"));
    atom->set("zem.atom.\xE9", &a);
    EXPECT_EQ(nullptr, atom->get("zem.atom.\xC9"));
    EXPECT_EQ(&a, atom->get("zem.atom.\xE9"));
    EXPECT_EQ(before + 3, atom->size());

    // A key is the name's copy.
    char name[] = "zem.atom.copy";
    atom->set(name, &a);
    name[0] = 'X';
    EXPECT_EQ(&a, atom->get("zem.atom.copy"));

    // Null names are ignored.
    atom->set(nullptr, &a);
    EXPECT_EQ(nullptr, atom->get(nullptr));
    EXPECT_EQ(before + 4, atom->size());

    for (char const *key : {"zem.atom.first", "ZEM.ATOM.FIRST", "zem.atom.\xE9", "zem.atom.copy"})
        atom->set(key, nullptr);
    EXPECT_EQ(nullptr, atom->get("zem.atom.first"));
    EXPECT_EQ(before, atom->size());
}

TEST(IdentyTest, OwnerAndFollowerOnOneThread) {
    std::string name = narrow(unique(L"zem_identy"));
    Identy owner(name.c_str(), true);
    EXPECT_TRUE(owner.owner());
    EXPECT_FALSE(owner.exists());
    EXPECT_TRUE(owner.want());
    EXPECT_FALSE(owner.is_done());

    Identy second(name.c_str(), true);
    EXPECT_FALSE(second.owner());
    EXPECT_TRUE(second.exists());
    EXPECT_FALSE(second.want());
    EXPECT_FALSE(second.is_done());

    Identy opened(name.c_str(), false);
    EXPECT_FALSE(opened.owner());
    EXPECT_TRUE(opened.exists());
    EXPECT_FALSE(opened.is_done());

    owner.done();
    EXPECT_TRUE(owner.is_done());
    EXPECT_FALSE(owner.want());
    EXPECT_TRUE(second.is_done());
    EXPECT_TRUE(opened.is_done());
    // Manual reset: it stays signalled.
    EXPECT_TRUE(second.is_done());
}

TEST(IdentyTest, EventNamedAfterProcessAndThread) {
    std::string name = narrow(unique(L"zem_identy"));
    Identy owner(name.c_str(), true);
    ASSERT_TRUE(owner.owner());
    std::string event = name + "_" + std::to_string(GetCurrentProcessId()) + "_" +
                        std::to_string(GetCurrentThreadId());
    Handle handle(OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, event.c_str()));
    ASSERT_TRUE(handle.valid());
    SetEvent(handle.get());
    EXPECT_TRUE(owner.is_done());
}

TEST(IdentyTest, AnotherThreadHasItsOwnEvent) {
    std::string name = narrow(unique(L"zem_identy"));
    Identy owner(name.c_str(), true);
    ASSERT_TRUE(owner.owner());
    owner.done();
    bool done = true;
    bool exists = false;
    bool other_owner = false;
    std::thread([&] {
        Identy opened(name.c_str(), false);
        done = opened.is_done();
        exists = opened.exists();
        opened.done();
        EXPECT_FALSE(opened.want());
        EXPECT_FALSE(opened.owner());
        Identy created(name.c_str(), true);
        other_owner = created.owner();
    }).join();
    EXPECT_FALSE(done);
    EXPECT_TRUE(exists);
    EXPECT_TRUE(other_owner);

    ChildResult child = run_shared(L"identy " + std::wstring(name.begin(), name.end()));
    EXPECT_EQ("0", child.value("done")) << child.output;
    EXPECT_EQ("1", child.value("exists")) << child.output;
}

TEST(IdentyTest, OverlongNamesAreRefused) {
    std::string const ids =
        "_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetCurrentThreadId());
    std::string fits(259 - ids.size(), 'i');
    std::string const tag = narrow(unique(L"zem")).substr(0, 10);
    fits.replace(0, tag.size(), tag);
    Identy longest(fits.c_str(), true);
    EXPECT_TRUE(longest.owner());

    // One character more: refused, and no event of the shortened name made.
    std::string name = fits + "j";
    Identy refused(name.c_str(), true);
    EXPECT_FALSE(refused.owner());
    EXPECT_TRUE(refused.exists());
    EXPECT_FALSE(refused.want());
    EXPECT_FALSE(refused.is_done());
    refused.done();
    EXPECT_FALSE(longest.is_done());
    std::string cut = (name + ids).substr(0, 259);
    Handle handle(OpenEventA(SYNCHRONIZE, FALSE, cut.c_str()));
    EXPECT_FALSE(handle.valid());

    Identy none(nullptr, true);
    EXPECT_FALSE(none.owner());
    EXPECT_TRUE(none.exists());
    EXPECT_FALSE(none.is_done());
}

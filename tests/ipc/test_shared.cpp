// Shared state: Mutex and SharedMemory within this process and with
// child_shared.exe, the SharedAtom table, and Identy events.
#include "ipc/Identy.h"
#include "ipc/Mutex.h"
#include "ipc/SharedAtom.h"
#include "ipc/SharedMemory.h"

#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
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

// lock() and unlock() of `mutex` on another thread: did it lock?
std::future<bool> lock_elsewhere(Mutex &mutex) {
    return std::async(std::launch::async, [&mutex] {
        bool const locked = mutex.lock();
        if (locked)
            mutex.unlock();
        return locked;
    });
}

bool blocked(std::future<bool> &f) {
    return f.wait_for(std::chrono::milliseconds(60)) == std::future_status::timeout;
}

} // namespace

TEST(Mutex, RecursiveExclusiveSharedByCopiesAndNameAndLowSecurity) {
    std::wstring name = unique(L"zem_mutex");
    Mutex first(name.c_str()), copy(first), assigned(nullptr), again(name.c_str());
    assigned = first;
    Mutex &self = assigned; // assignment to itself keeps the handle
    assigned = self;
    ASSERT_TRUE(first.lock());
    EXPECT_TRUE(first.lock());
    first.unlock();
    for (Mutex *other : {&first, &copy, &assigned, &again}) {
        std::future<bool> waiter = lock_elsewhere(*other);
        EXPECT_TRUE(blocked(waiter));
        first.unlock();
        EXPECT_TRUE(waiter.get());
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

TEST(Mutex, AbandonedByAndExcludingAnotherProcess) {
    std::wstring name = unique(L"zem_abandoned");
    Mutex mutex(name.c_str()); // held open here: it outlives the child
    ChildResult child = run_shared(L"abandon " + name);
    EXPECT_EQ("1", child.value("locked")) << child.output;
    EXPECT_FALSE(mutex.lock()); // handed over abandoned: false, yet owned
    std::future<bool> other = lock_elsewhere(mutex);
    EXPECT_TRUE(blocked(other));
    mutex.unlock();
    EXPECT_TRUE(other.get());
    ASSERT_TRUE(mutex.lock());
    DWORD still_running = 0;
    child = run_child(program_folder() + L"child_shared.exe", L"lock " + name, 0,
                      [&](DWORD, HANDLE process) {
                          still_running = WaitForSingleObject(process, 100) == WAIT_TIMEOUT;
                          mutex.unlock();
                      });
    EXPECT_EQ(1u, still_running);
    EXPECT_EQ("1", child.value("locked")) << child.output;
}

TEST(SharedMemory, FailedMappingsAndHandingOverTheView) {
    std::wstring name = unique(L"zem_not_memory");
    Handle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    EXPECT_EQ(nullptr, SharedMemory(0, nullptr).get());
    EXPECT_EQ(nullptr, SharedMemory(~0ull, nullptr).get());
    EXPECT_EQ(nullptr, SharedMemory(4096, name.c_str()).get());
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
}

// The first creator's size holds, here and in another process.
TEST(SharedMemory, SameNameSameBytesHereAndInAnotherProcess) {
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
    for (char const *size : {"4096", "8192", "65536"}) {
        ChildResult child = run_shared(L"memory " + name + L" " + widen(size));
        bool const fits = std::string(size) != "65536";
        EXPECT_EQ(fits ? "1" : "0", child.value("view")) << child.output;
        EXPECT_EQ(fits ? "from the parent" : "<missing>", child.value("text"));
        EXPECT_EQ("child " + std::string(fits ? size : "8192"), std::string(bytes + 64));
    }
}

// Names are compared byte by byte and copied; a null pointer removes, a
// lookup adds nothing, a null name is ignored.
TEST(SharedAtomTest, NamedPointers) {
    SharedAtom *atom = SharedAtom::instance();
    ASSERT_NE(nullptr, atom);
    EXPECT_EQ(atom, SharedAtom::instance());
    std::size_t const before = atom->size();
    int a = 1;
    int b = 2;
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

TEST(Identy, OwnerFollowersAndTheEventOfProcessAndThread) {
    std::string name = narrow(unique(L"zem_identy"));
    Identy owner(name.c_str(), true), second(name.c_str(), true), opened(name.c_str(), false);
    struct {
        Identy &identy;
        bool owner, exists, want;
    } const rows[] = {
        {owner, true, false, true}, {second, false, true, false}, {opened, false, true, false}};
    for (auto const &row : rows) {
        EXPECT_EQ(row.owner, row.identy.owner());
        EXPECT_EQ(row.exists, row.identy.exists());
        EXPECT_EQ(row.want, row.identy.want());
        EXPECT_FALSE(row.identy.is_done());
    }
    Handle event(OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE,
                            (name + "_" + std::to_string(GetCurrentProcessId()) + "_" +
                             std::to_string(GetCurrentThreadId()))
                                .c_str()));
    ASSERT_TRUE(event.valid());
    owner.done();
    EXPECT_TRUE(owner.is_done() && second.is_done() && opened.is_done());
    EXPECT_TRUE(second.is_done()); // manual reset: it stays signalled
    EXPECT_FALSE(owner.want());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 0));
    bool done = true, exists = false, other_owner = false;
    std::thread([&] { // another thread has an event of its own
        Identy other(name.c_str(), false);
        done = other.is_done();
        exists = other.exists();
        other_owner = Identy(name.c_str(), true).owner();
    })
        .join();
    EXPECT_FALSE(done);
    EXPECT_TRUE(exists && other_owner);
    ChildResult child = run_shared(L"identy " + widen(name));
    EXPECT_EQ("0", child.value("done")) << child.output;
    EXPECT_EQ("1", child.value("exists")) << child.output;
}

// A name that does not fit with its suffix is refused, not cut: no event of
// the shortened name is made.
TEST(Identy, OverlongAndNullNamesAreRefused) {
    std::string const ids =
        "_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetCurrentThreadId());
    std::string fits(259 - ids.size(), 'i');
    std::string const tag = narrow(unique(L"zem")).substr(0, 10);
    fits.replace(0, tag.size(), tag);
    Identy longest(fits.c_str(), true);
    EXPECT_TRUE(longest.owner());
    std::string const name = fits + "j";
    for (char const *refused_name : {name.c_str(), static_cast<char const *>(nullptr)}) {
        Identy refused(refused_name, true);
        EXPECT_FALSE(refused.owner());
        EXPECT_TRUE(refused.exists());
        EXPECT_FALSE(refused.want());
        refused.done();
        EXPECT_FALSE(refused.is_done());
    }
    EXPECT_FALSE(longest.is_done());
    Handle handle(OpenEventA(SYNCHRONIZE, FALSE, (name + ids).substr(0, 259).c_str()));
    EXPECT_FALSE(handle.valid());
}

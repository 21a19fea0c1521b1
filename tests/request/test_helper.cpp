// The helper dispatcher as a separate process on real pipes: what it serves,
// pipelined and split frames, hostile clients that are dropped or refused
// while a well-formed client is still answered within 2 s, a load of threads
// and processes, and starting the helper through "DispPath".
#include "ipc/Pipe.h"
#include "policy/Policy.h"
#include "request/RequestHandler.h"
#include "request/Requests.h"
#include "request/Wire.h"
#include "serialize/HandleStream.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <atomic>
#include <functional>
#include <future>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

std::wstring const kExe = L"zem.vfs.dispatcher_wow64.exe";
auto const pipe_of = [](DWORD pid) {
    return "\\\\.\\pipe\\zem.vfs.dispatcher_" + std::to_string(pid);
};

HANDLE connect_to(std::string const &name) {
    Pipe pipe;
    for (int i = 0; i < 150 && !pipe.connect(name.c_str(), false); ++i)
        if (!WaitNamedPipeA(name.c_str(), 100))
            Sleep(20); // the helper has not created the pipe yet
    return pipe.detach();
}

// Helpers started by this process, directly or through the library.
std::vector<DWORD> my_helpers() {
    std::vector<DWORD> found;
    Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W e = {};
    e.dwSize = sizeof e;
    for (BOOL ok = Process32FirstW(snap.get(), &e); ok; ok = Process32NextW(snap.get(), &e))
        if (e.th32ParentProcessID == GetCurrentProcessId() && kExe == e.szExeFile)
            found.push_back(e.th32ProcessID);
    return found;
}

HANDLE start(std::wstring const &exe, std::wstring const &args, DWORD *pid = nullptr) {
    std::wstring line = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(pi.hThread);
    *(pid ? pid : &pi.dwThreadId) = pi.dwProcessId;
    return pi.hProcess;
}

void end_process(DWORD pid) {
    Handle p(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    TerminateProcess(p.get(), 9);
    WaitForSingleObject(p.get(), 10000);
}

// Writes raw bytes; true when the helper then closes the connection.
bool dropped(HANDLE h, std::string const &bytes) {
    DWORD n = 0;
    char buf[64];
    bool gone = !WriteFile(h, bytes.data(), DWORD(bytes.size()), &n, nullptr) ||
                !ReadFile(h, buf, sizeof buf, &n, nullptr) || n == 0;
    CloseHandle(h);
    return gone;
}

// One helper, in a folder whose name holds a blank, serves every test.
class Helper : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempFolder(L"zem helper");
        copy_child(L"zem.vfs.dispatcher_wow64", folder_->path(), kExe);
        DWORD pid = 0;
        process_ =
            start(folder_->file(kExe), L"/helper " + std::to_wstring(GetCurrentProcessId()), &pid);
        pipe_ = pipe_of(pid);
    }
    static void TearDownTestSuite() {
        for (DWORD pid : my_helpers())
            end_process(pid);
        CloseHandle(process_);
        delete folder_;
    }
    static HandleStream *client() { return new HandleStream(connect_to(pipe_)); }
    // What `f` returns on a fresh connection, or -2 when the helper did not
    // answer within 2 s (the helper is then ended: a stuck helper fails the
    // test instead of hanging it).
    static int within_2s(std::function<int(Stream &)> const &f) {
        std::unique_ptr<HandleStream> c(client());
        auto answer = std::async(std::launch::async, [&] { return f(*c); });
        if (answer.wait_for(std::chrono::seconds(2)) == std::future_status::ready)
            return answer.get();
        TerminateProcess(process_, 9);
        return -2;
    }
    static int sent(Request &r, Stream &s) { return r.send_and_release(s) ? r.error() : -1; }
    static bool served() {
        return within_2s([](Stream &s) {
                   Request r("run_command", -1);
                   return sent(r, s);
               }) == 3;
    }
    static TempFolder *folder_;
    static HANDLE process_;
    static std::string pipe_;
};
TempFolder *Helper::folder_;
HANDLE Helper::process_;
std::string Helper::pipe_;

} // namespace

TEST_F(Helper, AnswersEachRequestAndNoNotification) {
    std::unique_ptr<HandleStream> s(client());
    PropertyRequest set, get, all;
    set.add("colour", "blue"), set.add("size", "3");
    get.remove("size"), get.query("size"), get.query("colour"), all.query(nullptr);
    EXPECT_EQ(nullptr, NotifyRequest("reload_policy").send(*s, true));
    Request unserved("global_hook", -1);
    LogRequest log("a record\n[forged]", 7);
    SelfRequest self("token");
    ServiceRequest service("zem_no_such_service");
    CommandRequest command("cmd.exe /c exit", -1, nullptr); // never run for a client
    std::pair<Request *, int> const cases[] = {{&unserved, 3}, {&log, 0}, {&self, 0},
                                               {&service, 0},  {&set, 0}, {&get, 0}};
    for (auto const &c : cases)
        EXPECT_EQ(c.second, sent(*c.first, *s)) << c.first->name();
    EXPECT_EQ(-1, sent(command, *s));
    EXPECT_EQ(3, command.error());
    EXPECT_EQ(nullptr, get.get("size"));
    EXPECT_STREQ("blue", get.get("colour"));
    EXPECT_EQ(0, sent(all, *std::unique_ptr<HandleStream>(client())));
    EXPECT_STREQ("blue", all.get("colour"));
}

TEST_F(Helper, PipelinedAndSplitFramesAreAnsweredInOrder) {
    std::unique_ptr<HandleStream> s(client());
    std::string bytes = frame_of(Request("a", 101)) + frame_of(Request("print_log", 102));
    ASSERT_TRUE(s->write_(bytes.data(), bytes.size()));
    for (char ch : frame_of(Request("split", 103)))
        ASSERT_TRUE(s->write_(&ch, 1));
    for (int i = 0; i < 3; ++i) {
        std::unique_ptr<Variable, void (*)(Variable *)> v(s->load(), Variable::release);
        EXPECT_EQ(resp(101 + i, i == 1 ? 0 : 3), frame_of(*v));
    }
}

TEST_F(Helper, HostileClientsAreDroppedOrRefusedAndOthersServed) {
    std::string const head = "v:Request:" + i4(1) + text("x");
    HANDLE silent = connect_to(pipe_); // holds nobody up
    for (std::string const &bytes : {
             std::string("hello, dispatcher\n"), resp(1, 0), head + u8(0x7FFFFFFF),
             head + u8(0x100000001ull) + text("a") + text("b"), head + u8(0x100000000ull),
             head + u8(~0ull),
             head + u8(1) + text("log") + "s::" + std::string(2 << 20, 'a'), // past the limit
         }) {
        SCOPED_TRACE(bytes.substr(0, 24));
        EXPECT_TRUE(dropped(connect_to(pipe_), bytes));
        EXPECT_TRUE(served());
    }
    CloseHandle(silent);
    // A property name holding a zero byte is refused; the store stays whole.
    std::string bytes = "v:Request:" + i4(9) + text("property_request") + u8(2) +
                        text("+acc_good") + text("2") + std::string("s:3:+\0z", 7) + text("1");
    std::unique_ptr<HandleStream> s(client());
    ASSERT_TRUE(s->write_(bytes.data(), bytes.size()));
    std::unique_ptr<Variable, void (*)(Variable *)> answer(s->load(), Variable::release);
    EXPECT_EQ(resp(9, ERROR_INVALID_DATA), frame_of(*answer));
    PropertyRequest all;
    all.add("acc_good", "2"), all.query(nullptr);
    EXPECT_EQ(0, sent(all, *std::unique_ptr<HandleStream>(client())));
    EXPECT_STREQ("2", all.get("acc_good"));
    EXPECT_EQ(nullptr, all.get(""));
    EXPECT_TRUE(served());
}

TEST_F(Helper, LoadPolicyTakesOnlyWholeTreesFromDiskFiles) {
    PolicyGroup tree("root");
    tree.add(new PolicyGroup("child"));
    std::string const whole = frame_of(tree), dir = narrow(folder_->path()) + "\\";
    std::string const pipe = "\\\\.\\pipe\\zem_policy_" + std::to_string(GetCurrentProcessId());
    Handle server1(CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 4, 0, 0, 0, nullptr));
    Handle server2(CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 4, 0, 0, 0, nullptr));
    struct {
        std::string path, content;
        int error;
    } const cases[] = {
        {dir + "whole", whole, 0},
        {dir + "head", whole.substr(0, whole.find("I:8:")), ERROR_INVALID_DATA},
        {dir + "cut", whole.substr(0, whole.size() - 4), ERROR_INVALID_DATA},
        {dir + "trailing", whole + "n:", ERROR_INVALID_DATA},
        {dir + "empty", "", ERROR_INVALID_DATA},
        {dir + "missing", "-", ERROR_INVALID_DATA},
        {pipe, "-", ERROR_INVALID_DATA},
        {pipe, "-", ERROR_INVALID_DATA}, // both loop threads would wait on the pipe
        {"\\\\.\\NUL", "-", ERROR_INVALID_DATA},
    };
    for (auto const &c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(c.content == "-" || write_file(widen(c.path), c.content));
        EXPECT_EQ(c.error, within_2s([&c](Stream &s) {
                      PolicyRequest r(c.path.c_str());
                      return sent(r, s);
                  }));
        EXPECT_TRUE(served());
    }
}

TEST_F(Helper, LoadFromThreadsAndProcesses) {
    int const kThreads = 6, kRequests = 150;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    std::vector<ChildResult> children(2);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&good] {
            std::unique_ptr<HandleStream> s(client());
            for (int i = 0; i < kRequests; ++i) {
                LogRequest r("load", 7);
                good += sent(r, *s) == 0;
            }
        });
    for (auto &child : children)
        threads.emplace_back([&child] {
            child = run_child(program_folder() + L"child_client.exe",
                              L"load " + widen(pipe_) + L" " + std::to_wstring(kRequests));
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(kThreads * kRequests, good.load());
    for (auto const &child : children)
        EXPECT_EQ(std::to_string(kRequests), child.value("ok")) << child.output;
}

TEST_F(Helper, EndsWithTheProcessItServes) {
    DWORD owner_pid = 0, helper_pid = 0, code = 9;
    Handle owner(start(program_folder() + L"child_client.exe", L"wait", &owner_pid));
    Handle helper(
        start(folder_->file(kExe), L"/helper " + std::to_wstring(owner_pid), &helper_pid));
    CloseHandle(connect_to(pipe_of(helper_pid)));
    TerminateProcess(owner.get(), 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(helper.get(), 20000));
    EXPECT_TRUE(GetExitCodeProcess(helper.get(), &code) && code == 0);
}

// After the shared helper has gone: nothing is started without `start`; with
// it, the helper named by "DispPath" in each form is started once, found again
// and replaced once it has ended.
TEST(HelperStart, FromDispPathOnlyWhenAsked) {
    TempFolder folder(L"zem disp");
    ASSERT_TRUE(copy_child(L"zem.vfs.dispatcher_wow64", folder.path(), kExe));
    RegistryScope registry;
    DWORD last = 0;
    for (std::string form : {"", "\\", "/"}) {
        SCOPED_TRACE(form);
        ASSERT_TRUE(registry.set(HKEY_LOCAL_MACHINE, "Software\\Tavrin Labs\\Quillon", "DispPath",
                                 narrow(folder.path()) + form));
        Pipe none, pipe, again;
        EXPECT_FALSE(ResuestHandlerManager::get_helper_pipe(none, false));
        EXPECT_TRUE(my_helpers().empty());
        ASSERT_TRUE(ResuestHandlerManager::get_helper_pipe(pipe, true));
        ASSERT_TRUE(ResuestHandlerManager::get_helper_pipe(again, true));
        std::vector<DWORD> helpers = my_helpers();
        ASSERT_EQ(1u, helpers.size());
        EXPECT_NE(last, helpers[0]);
        HandleStream s(pipe.detach());
        EXPECT_TRUE(Request("x", -1).send_and_release(s));
        end_process(last = helpers[0]);
    }
}

// The helper dispatcher as a separate process on real pipes: what it serves,
// pipelined and split frames, hostile clients that are dropped or refused
// while a well-formed client is still answered within 2 s, a load of client
// threads, the end of its owner, and starting it through "DispPath".
#include "ipc/Pipe.h"
#include "policy/Policy.h"
#include "request/RequestHandler.h"
#include "request/Requests.h"
#include "request/Wire.h"
#include "serialize/HandleStream.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>

using namespace zem::vfs;
using namespace zem::vfs::test;
using namespace std::string_literals;

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

// Starts the helper in `folder` for the process `owner`.
HANDLE start(std::wstring const &folder, DWORD owner, DWORD &pid) {
    std::wstring line = L"\"" + folder + L"\\" + kExe + L"\" /helper " + std::to_wstring(owner);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(pi.hThread);
    pid = pi.dwProcessId;
    return pi.hProcess;
}

DWORD server_of(Pipe const &pipe) {
    ULONG pid = 0;
    GetNamedPipeServerProcessId(pipe.handle(), &pid);
    return pid;
}

// One helper, in a folder whose name holds a blank, serves every test.
class Helper : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempFolder(L"zem helper");
        copy_child(L"zem.vfs.dispatcher_wow64", folder_->path(), kExe);
        DWORD pid = 0;
        process_ = start(folder_->path(), GetCurrentProcessId(), pid);
        pipe_ = pipe_of(pid);
    }
    static void TearDownTestSuite() {
        TerminateProcess(process_, 0);
        WaitForSingleObject(process_, 10000);
        CloseHandle(process_);
        delete folder_;
    }
    static HandleStream *client() { return new HandleStream(connect_to(pipe_)); }
    static int sent(Request &r, Stream &s) { return r.send_and_release(s) ? r.error() : -1; }
    // Writes `bytes` on a fresh connection: the error of the response that
    // comes back, -1 when the helper drops the connection, -2 when nothing
    // happens within 2 s (the helper is then ended, so a stuck helper fails
    // the test instead of hanging it).
    static int answer(std::string const &bytes) {
        std::unique_ptr<HandleStream> c(client());
        auto got = std::async(std::launch::async, [&] {
            std::unique_ptr<Variable, void (*)(Variable *)> v(
                c->write_(bytes.data(), bytes.size()) ? c->load() : nullptr, Variable::release);
            return dynamic_cast<Response *>(v.get()) ? static_cast<Response &>(*v).error() : -1;
        });
        if (got.wait_for(std::chrono::seconds(2)) == std::future_status::ready)
            return got.get();
        TerminateProcess(process_, 9);
        return -2;
    }
    static TempFolder *folder_;
    static HANDLE process_;
    static std::string pipe_;
};
TempFolder *Helper::folder_;
HANDLE Helper::process_;
std::string Helper::pipe_;

} // namespace

TEST_F(Helper, AnswersEachRequestButNoNotification) {
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
    // Pipelined frames and a frame that arrives a byte at a time.
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
    PolicyGroup tree("root");
    tree.add(new PolicyGroup("child"));
    std::string const whole = frame_of(tree), dir = narrow(folder_->path()) + "\\";
    std::string const pipe = "\\\\.\\pipe\\zem_policy_" + std::to_string(GetCurrentProcessId());
    Handle server1(CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 4, 0, 0, 0, nullptr));
    Handle server2(CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 4, 0, 0, 0, nullptr));
    std::pair<char const *, std::string> const files[] = {
        {"whole", whole},
        {"cut", whole.substr(0, whole.size() - 4)},
        {"trailing", whole + "n:"},
        {"head", whole.substr(0, whole.find("I:8:"))},
        {"empty", ""}};
    for (auto const &file : files)
        ASSERT_TRUE(write_file(widen(dir + file.first), file.second));
    auto policy = [](std::string const &path) { return frame_of(PolicyRequest(path.c_str())); };
    std::string const head = "v:Request:" + i4(1) + text("x"), bad = "+\0z"s;
    HANDLE silent = connect_to(pipe_); // holds nobody up
    std::pair<std::string, int> const cases[] = {
        {"hello, dispatcher\n", -1},
        {resp(1, 0), -1},
        {head + u8(0x7FFFFFFF), -1},
        {head + u8(0x100000001ull) + text("a") + text("b"), -1},
        {head + u8(0x100000000ull), -1},
        {head + u8(~0ull), -1},
        {head + u8(1) + text("log") + "s::" + std::string(2 << 20, 'a'), -1}, // past the limit
        {"v:Request:" + i4(9) + text("property_request") + u8(2) + text("+acc_good") + text("2") +
             "s:3:" + bad + text("1"),
         ERROR_INVALID_DATA}, // a name holding a zero byte
        {policy(dir + "whole"), 0},
        {policy(dir + "cut"), ERROR_INVALID_DATA},
        {policy(dir + "head"), ERROR_INVALID_DATA},
        {policy(dir + "trailing"), ERROR_INVALID_DATA},
        {policy(dir + "empty"), ERROR_INVALID_DATA},
        {policy(dir + "missing"), ERROR_INVALID_DATA},
        {policy(pipe), ERROR_INVALID_DATA},
        {policy(pipe), ERROR_INVALID_DATA}, // both loop threads would wait on the pipe
        {policy("\\\\.\\NUL"), ERROR_INVALID_DATA},
    };
    for (auto const &c : cases) {
        SCOPED_TRACE(c.first.substr(0, 40));
        EXPECT_EQ(c.second, answer(c.first));
        EXPECT_EQ(3, answer(frame_of(Request("run_command", 2))));
    }
    CloseHandle(silent);
    PropertyRequest all; // the store stayed whole
    all.add("acc_good", "2"), all.query(nullptr);
    EXPECT_EQ(0, sent(all, *std::unique_ptr<HandleStream>(client())));
    EXPECT_STREQ("2", all.get("acc_good"));
    EXPECT_EQ(nullptr, all.get(""));
}

TEST_F(Helper, LoadFromThreads) {
    int const kThreads = 8, kRequests = 100;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&good, t] {
            std::unique_ptr<HandleStream> s(client());
            std::string key = "thread" + std::to_string(t);
            for (int i = 0; i < kRequests; ++i) {
                PropertyRequest p;
                p.add(key.c_str(), std::to_string(i).c_str()), p.query(key.c_str());
                LogRequest log("load", 7);
                Request unserved("unserved", -1);
                good += sent(log, *s) == 0 && sent(unserved, *s) == 3 && sent(p, *s) == 0 &&
                        std::to_string(i) == p.get(key.c_str());
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(kThreads * kRequests, good.load());
}

TEST_F(Helper, EndsWithTheProcessItServes) {
    DWORD pid = 0, owner_pid = 0, code = 9;
    Handle owner(start(folder_->path(), GetCurrentProcessId(), owner_pid));
    Handle helper(start(folder_->path(), owner_pid, pid));
    CloseHandle(connect_to(pipe_of(pid)));
    TerminateProcess(owner.get(), 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(helper.get(), 20000));
    EXPECT_TRUE(GetExitCodeProcess(helper.get(), &code) && code == 0);
}

// After the shared helper has gone: nothing is started without `start`; with
// it, the helper named by "DispPath" in each form is started once, found
// again, and replaced once it has ended.
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
        ASSERT_TRUE(ResuestHandlerManager::get_helper_pipe(pipe, true));
        ASSERT_TRUE(ResuestHandlerManager::get_helper_pipe(again, true));
        EXPECT_EQ(server_of(pipe), server_of(again));
        EXPECT_NE(last, server_of(pipe));
        last = server_of(pipe);
        HandleStream s(pipe.detach());
        EXPECT_TRUE(Request("x", -1).send_and_release(s));
        Handle helper(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, last));
        TerminateProcess(helper.get(), 0);
        WaitForSingleObject(helper.get(), 10000);
    }
}

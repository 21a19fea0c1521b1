// The helper dispatcher as a separate process on real pipes: each request it
// serves, error 3 for the others, notifications, pipelined and split frames,
// hostile clients, and a load of threads and processes at once.
#include "request/DuplexBuf.h"
#include "request/HelperTest.h"
#include "request/Processes.h"

#include "policy/Policy.h"
#include "request/Requests.h"
#include "serialize/HandleStream.h"
#include "serialize/Stream.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

bool write_all(HANDLE h, std::string const &bytes) {
    DWORD n = 0;
    return WriteFile(h, bytes.data(), DWORD(bytes.size()), &n, nullptr) && n == bytes.size();
}

// True when the helper closed this connection: a read ends with an error or
// nothing instead of data. The deadline guards against a helper that hangs.
bool dropped(HANDLE h) {
    char buffer[64];
    DWORD n = 0;
    BOOL ok = ReadFile(h, buffer, sizeof buffer, &n, nullptr);
    return !ok || n == 0;
}

class HelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.ok());
        helper_.reset(new RunningHelper(folder_));
        ASSERT_TRUE(helper_->ready());
        deadline_.reset(new Deadline(helper_->pid(), 120000));
    }
    void TearDown() override {
        deadline_.reset();
        helper_.reset();
        kill_my_helpers();
    }

    HelperFolder folder_;
    std::unique_ptr<RunningHelper> helper_;
    std::unique_ptr<Deadline> deadline_;
};

} // namespace

TEST_F(HelperTest, UnservedNamesGetError3) {
    auto stream = helper_->client();
    ASSERT_TRUE(stream);
    for (char const *name : {"run_command", "global_hook", "hook_help", "listen_mode",
                             "start_param", "", "no such request"}) {
        Request r(name, -1);
        Response *resp = r.send(*stream, true);
        ASSERT_NE(nullptr, resp) << name;
        EXPECT_EQ(r.id(), resp->id());
        EXPECT_EQ(3, resp->error()) << name;
        resp->release();
    }
    // The command request reads no pid from error 3 and gives null.
    CommandRequest cmd("cmd.exe /c exit", -1, nullptr);
    EXPECT_EQ(nullptr, cmd.send(*stream, true));
    EXPECT_EQ(3, cmd.error());
    EXPECT_EQ(0, cmd.get_pid());
    EXPECT_TRUE(stream->good());
}

TEST_F(HelperTest, PropertyStore) {
    auto stream = helper_->client();
    ASSERT_TRUE(stream);
    PropertyRequest set;
    set.add("colour", "blue");
    set.add("size", "3");
    set.add("empty", "");
    Response *resp = set.send(*stream, true);
    ASSERT_NE(nullptr, resp);
    EXPECT_EQ(0, set.error());
    EXPECT_TRUE(set.properties().empty());
    resp->release();

    PropertyRequest one;
    one.query("colour");
    one.query("missing");
    ASSERT_TRUE(one.send_and_release(*stream));
    EXPECT_STREQ("blue", one.get("colour"));
    EXPECT_EQ(nullptr, one.get("missing"));
    EXPECT_EQ(1u, one.properties().size());

    PropertyRequest change;
    change.remove("size");
    change.add("colour", "red");
    change.query(nullptr);
    ASSERT_TRUE(change.send_and_release(*stream));
    EXPECT_EQ(2u, change.properties().size());
    EXPECT_STREQ("red", change.get("colour"));
    EXPECT_STREQ("", change.get("empty"));
    EXPECT_EQ(nullptr, change.get("size"));

    // Another connection sees the same store.
    auto other = helper_->client();
    ASSERT_TRUE(other);
    PropertyRequest all;
    all.query("");
    ASSERT_TRUE(all.send_and_release(*other));
    EXPECT_STREQ("red", all.get("colour"));
}

TEST_F(HelperTest, ServiceQueryAnswersError4AndAnId) {
    auto stream = helper_->client();
    ASSERT_TRUE(stream);
    ServiceRequest r("zem_no_such_service");
    ASSERT_TRUE(r.send_and_release(*stream));
    EXPECT_EQ(0, r.error());
    EXPECT_EQ(0, r.service_id());
    ServiceRequest none(nullptr);
    ASSERT_TRUE(none.send_and_release(*stream));
    EXPECT_EQ(0, none.service_id());
}

TEST_F(HelperTest, RegisterProcessAndLogAnswerSuccess) {
    auto stream = helper_->client();
    ASSERT_TRUE(stream);
    SelfRequest self("token-text");
    ASSERT_TRUE(self.send_and_release(*stream));
    EXPECT_EQ(0, self.error());
    LogRequest log("a record from the test", 7);
    ASSERT_TRUE(log.send_and_release(*stream));
    EXPECT_EQ(0, log.error());
}

TEST_F(HelperTest, LoadPolicyFromAFileAndClear) {
    auto stream = helper_->client();
    ASSERT_TRUE(stream);
    std::string path = folder_.path() + "\\policy.bin";
    {
        PolicyGroup group("root");
        HandleStream out(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(group.serialize(out));
    }
    PolicyRequest load(path.c_str());
    ASSERT_TRUE(load.send_and_release(*stream));
    EXPECT_EQ(0, load.error());

    PolicyRequest by_load;
    by_load.load(path.c_str());
    ASSERT_TRUE(by_load.send_and_release(*stream));
    EXPECT_EQ(0, by_load.error());

    PolicyRequest missing((folder_.path() + "\\missing.bin").c_str());
    ASSERT_TRUE(missing.send_and_release(*stream));
    EXPECT_NE(0, missing.error());

    std::string junk = folder_.path() + "\\junk.bin";
    HANDLE f = CreateFileA(junk.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    write_all(f, "v:Response:" + i4(1) + i4(0));
    CloseHandle(f);
    PolicyRequest wrong(junk.c_str());
    ASSERT_TRUE(wrong.send_and_release(*stream));
    EXPECT_NE(0, wrong.error());

    PolicyRequest clear;
    clear.clear();
    ASSERT_TRUE(clear.send_and_release(*stream));
    EXPECT_EQ(0, clear.error());

    PolicyRequest nothing;
    ASSERT_TRUE(nothing.send_and_release(*stream));
    EXPECT_NE(0, nothing.error());
}

TEST_F(HelperTest, NotificationsAreNotAnswered) {
    auto stream = helper_->client();
    ASSERT_TRUE(stream);
    NotifyRequest note(NotifyRequest::reload_policy);
    EXPECT_EQ(nullptr, note.send(*stream, true));
    Request next("run_command", -1);
    Response *resp = next.send(*stream, true);
    ASSERT_NE(nullptr, resp);
    EXPECT_EQ(next.id(), resp->id()); // not an answer to the notification
    resp->release();
}

TEST_F(HelperTest, PipelinedAndSplitFramesAreAnsweredInOrder) {
    HANDLE h = connect_to(helper_->pipe());
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HandleStream stream(h);
    Request a("run_command", 101), b("print_log", 102), c("nothing", 103);
    b.set_param("log", "pipelined");
    b.set_param("level", "7");
    ASSERT_TRUE(write_all(h, frame_of(a) + frame_of(b) + frame_of(c)));
    int expected_error[] = {3, 0, 3};
    for (int i = 0; i < 3; ++i) {
        Variable *v = stream.load();
        Response *r = dynamic_cast<Response *>(v);
        ASSERT_NE(nullptr, r);
        EXPECT_EQ(101 + i, r->id());
        EXPECT_EQ(expected_error[i], r->error());
        r->release();
    }
    // One byte per write.
    std::string bytes = frame_of(Request("split", 104));
    for (char ch : bytes)
        ASSERT_TRUE(write_all(h, std::string(1, ch)));
    Variable *v = stream.load();
    Response *r = dynamic_cast<Response *>(v);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(104, r->id());
    r->release();
}

TEST_F(HelperTest, HostileClientsAreDroppedAndOthersServed) {
    auto good = helper_->client();
    ASSERT_TRUE(good);
    auto still_served = [&] {
        Request r("run_command", -1);
        Response *resp = r.send(*good, true);
        bool ok = resp != nullptr && resp->id() == r.id() && resp->error() == 3;
        Variable::release(resp);
        return ok;
    };

    // Not a frame at all.
    HANDLE junk = connect_to(helper_->pipe());
    ASSERT_TRUE(write_all(junk, "hello, dispatcher\n"));
    EXPECT_TRUE(dropped(junk));
    CloseHandle(junk);
    EXPECT_TRUE(still_served());

    // A frame of another type.
    HANDLE other = connect_to(helper_->pipe());
    ASSERT_TRUE(write_all(other, "v:Response:" + i4(1) + i4(0)));
    EXPECT_TRUE(dropped(other));
    CloseHandle(other);

    // A parameter count no request may have.
    HANDLE huge = connect_to(helper_->pipe());
    ASSERT_TRUE(write_all(huge, "v:Request:" + i4(1) + text("x") + u8(0x7FFFFFFF)));
    EXPECT_TRUE(dropped(huge));
    CloseHandle(huge);
    EXPECT_TRUE(still_served());

    // A text that never ends: the helper stops reading at its frame limit.
    HANDLE endless = connect_to(helper_->pipe());
    Usage before = usage_of(helper_->pid());
    std::string head = "v:Request:" + i4(1) + text("print_log") + u8(1) + text("log") + "s::";
    ASSERT_TRUE(write_all(endless, head));
    std::string block(64 * 1024, 'a');
    int blocks = 0;
    for (; blocks < 64; ++blocks) // at most 4 MiB
        if (!write_all(endless, block))
            break;
    EXPECT_LT(blocks, 64);
    CloseHandle(endless);
    Usage after = usage_of(helper_->pid());
    if (before.private_bytes != 0) {
        EXPECT_LT(after.private_bytes, before.private_bytes + 16 * 1024 * 1024);
    }
    EXPECT_TRUE(still_served());

    // A client that connects and never writes does not hold anybody up.
    HANDLE silent = connect_to(helper_->pipe());
    ASSERT_NE(INVALID_HANDLE_VALUE, silent);
    EXPECT_TRUE(still_served());
    auto another = helper_->client();
    ASSERT_TRUE(another);
    Request r("print_log", -1);
    EXPECT_TRUE(r.send_and_release(*another));
    CloseHandle(silent);
    EXPECT_TRUE(still_served());
}

TEST_F(HelperTest, ClientProcessesThatMisbehave) {
    Child half, garbage, idle;
    ASSERT_TRUE(half.start("child_client", "half " + helper_->pipe()));
    ASSERT_TRUE(garbage.start("child_client", "garbage " + helper_->pipe()));
    ASSERT_TRUE(idle.start("child_client", "idle " + helper_->pipe()));
    EXPECT_EQ(7, half.wait(30000));
    EXPECT_EQ(0, garbage.wait(30000));
    EXPECT_EQ("1", garbage.value("dropped"));
    for (int i = 0; i < 500 && idle.value("connected") != "1"; ++i)
        Sleep(10);
    EXPECT_EQ("1", idle.value("connected"));

    Child good;
    ASSERT_TRUE(good.start("child_client", "load " + helper_->pipe() + " 30"));
    EXPECT_EQ(0, good.wait(60000)) << good.output();
    EXPECT_EQ("30", good.value("ok"));
    idle.kill();
    auto stream = helper_->client();
    ASSERT_TRUE(stream);
    EXPECT_TRUE(Request("x", -1).send_and_release(*stream));
}

// 8 threads of this process and 2 client processes, 1,000 requests each, at
// the same time; then the helper's memory and handles are compared with what
// it used before.
TEST_F(HelperTest, LoadFromThreadsAndProcesses) {
    const int kThreads = 8, kRequests = 1000;
    // A first round warms the helper up (its heap, its pipe instances).
    {
        auto warm = helper_->client();
        ASSERT_TRUE(warm);
        for (int i = 0; i < 50; ++i)
            ASSERT_TRUE(Request("warm", -1).send_and_release(*warm));
    }
    Sleep(300);
    Usage before = usage_of(helper_->pid());

    for (int round = 0; round < 2; ++round) {
        std::atomic<int> good{0}, bad{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                HANDLE h = connect_to(helper_->pipe(), 20000);
                if (h == INVALID_HANDLE_VALUE) {
                    bad += kRequests;
                    return;
                }
                HandleStream stream(h);
                for (int i = 0; i < kRequests; ++i) {
                    Request r(i % 2 ? "print_log" : "unserved", -1);
                    r.set_param("log", "load");
                    r.set_param("level", "7");
                    r.set_param("thread", std::to_string(t).c_str());
                    Response *resp = r.send(stream, true);
                    if (resp != nullptr && resp->id() == r.id() && resp->error() == (i % 2 ? 0 : 3))
                        ++good;
                    else
                        ++bad;
                    Variable::release(resp);
                }
                DWORD extra = 0;
                PeekNamedPipe(h, nullptr, 0, nullptr, &extra, nullptr);
                if (extra != 0)
                    ++bad;
            });
        Child p1, p2;
        ASSERT_TRUE(p1.start("child_client", "load " + helper_->pipe() + " 1000"));
        ASSERT_TRUE(p2.start("child_client", "load " + helper_->pipe() + " 1000"));
        for (auto &t : threads)
            t.join();
        EXPECT_EQ(0, p1.wait(120000)) << p1.output();
        EXPECT_EQ(0, p2.wait(120000)) << p2.output();
        EXPECT_EQ("1000", p1.value("ok"));
        EXPECT_EQ("1000", p2.value("ok"));
        EXPECT_EQ(kThreads * kRequests, good.load()) << "round " << round;
        EXPECT_EQ(0, bad.load());
    }

    // Every client has gone: the connections are closed again.
    Usage after;
    for (int i = 0; i < 50; ++i) {
        Sleep(100);
        after = usage_of(helper_->pid());
        if (after.handles <= before.handles)
            break;
    }
    std::printf("helper before: %llu private bytes, %llu working set, %lu handles; "
                "after: %llu, %llu, %lu\n",
                (unsigned long long)before.private_bytes, (unsigned long long)before.working_set,
                before.handles, (unsigned long long)after.private_bytes,
                (unsigned long long)after.working_set, after.handles);
    EXPECT_NE(0u, after.handles); // the count is known
    EXPECT_LE(after.handles, before.handles);
    if (before.private_bytes != 0) {
        EXPECT_LT(after.private_bytes, before.private_bytes + 2 * 1024 * 1024);
    }
    auto stream = helper_->client();
    ASSERT_TRUE(stream);
    EXPECT_TRUE(Request("x", -1).send_and_release(*stream));
}

TEST_F(HelperTest, HelperEndsWithTheProcessItServes) {
    // A second helper that serves a child process: when that child ends, so
    // does its helper.
    Child owner;
    ASSERT_TRUE(owner.start("child_client", "wait x"));
    Child helper;
    char args[32];
    std::snprintf(args, sizeof args, "/helper %lu", owner.pid());
    ASSERT_TRUE(helper.start(folder_.exe(), args));
    HANDLE h = connect_to(helper_pipe(helper.pid()));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    owner.kill();
    EXPECT_EQ(0, helper.wait(20000));

    Child orphan;
    ASSERT_TRUE(orphan.start(folder_.exe(), "/helper 4000000000"));
    EXPECT_NE(0, orphan.wait(20000));
    Child wrong;
    ASSERT_TRUE(wrong.start(folder_.exe(), "/other 12"));
    EXPECT_EQ(1, wrong.wait(20000));
}

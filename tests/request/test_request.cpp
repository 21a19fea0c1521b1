// Requests and responses on the wire: the worked frames byte for byte, ids,
// parameters, loading hostile frames, send() with notifications arriving
// first, and the notification queue.
#include "request/NotifyRequest.h"
#include "request/Request.h"
#include "request/DuplexBuf.h"
#include "request/Processes.h"
#include "serialize/Stream.h"
#include "support/MemoryStreamBuf.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

using namespace zem::vfs;
using zem::vfs::test::DuplexBuf;
using zem::vfs::test::frame_of;
using zem::vfs::test::hex;
using zem::vfs::test::i4;
using zem::vfs::test::MemoryStreamBuf;
using zem::vfs::test::response_frame;
using zem::vfs::test::text;
using zem::vfs::test::u8;

namespace {

// Loads one object from bytes; the caller releases it.
Variable *load_from(std::string const &bytes, int *error = nullptr) {
    MemoryStreamBuf buf(bytes);
    Stream s(buf);
    Variable *v = s.load();
    if (error)
        *error = s.error();
    return v;
}

// A buffer that delivers `prefix` and then the same byte forever.
class EndlessBuf : public StreamBuf {
public:
    EndlessBuf(std::string prefix, char fill) : prefix_(std::move(prefix)), fill_(fill) {}
    int error() const override { return 0; }
    uint64 put(void const *, uint64 size) override { return size; }
    bool sync() override { return true; }
    uint64 get(void *data, uint64 size) override {
        char *p = static_cast<char *>(data);
        for (uint64 i = 0; i < size; ++i)
            p[i] = pos_ < prefix_.size() ? prefix_[pos_++] : fill_;
        delivered_ += size;
        return size;
    }
    uint64 peek(void *data, uint64 size) override {
        char *p = static_cast<char *>(data);
        for (uint64 i = 0; i < size; ++i)
            p[i] = pos_ + i < prefix_.size() ? prefix_[pos_ + i] : fill_;
        return size;
    }
    void close() override {}
    uint64 delivered() const { return delivered_; }

private:
    std::string prefix_;
    char fill_;
    std::size_t pos_ = 0;
    uint64 delivered_ = 0;
};

} // namespace

// ---------------------------------------------------------------------------
// Wire layout
// ---------------------------------------------------------------------------

TEST(RequestWire, WorkedRequestIs56Bytes) {
    Request r("print_log", 3);
    r.set_param("log", "hi");
    std::string bytes = frame_of(r);
    ASSERT_EQ(56u, bytes.size());
    EXPECT_EQ("76 3A 52 65 71 75 65 73 74 3A "
              "69 3A 34 3A 03 00 00 00 "
              "73 3A 3A 70 72 69 6E 74 5F 6C 6F 67 00 "
              "49 3A 38 3A 01 00 00 00 00 00 00 00 "
              "73 3A 3A 6C 6F 67 00 "
              "73 3A 3A 68 69 00",
              hex(bytes));
}

TEST(RequestWire, WorkedResponseIs27Bytes) {
    Response r(3);
    std::string bytes = frame_of(r);
    ASSERT_EQ(27u, bytes.size());
    EXPECT_EQ("76 3A 52 65 73 70 6F 6E 73 65 3A "
              "69 3A 34 3A 03 00 00 00 "
              "69 3A 34 3A 00 00 00 00",
              hex(bytes));
}

TEST(RequestWire, NoParametersEndWithAZeroCount) {
    Request r("x", 1);
    std::string bytes = frame_of(r);
    EXPECT_EQ(u8(0), bytes.substr(bytes.size() - 12));
}

TEST(RequestWire, ParametersTravelInUnsignedByteOrder) {
    Request r("x", 1);
    for (char const *key : {"b", "\xE9", "ab", "a", "B", ""})
        r.set_param(key, "v");
    std::string expected = "v:Request:" + i4(1) + text("x") + u8(6);
    for (char const *key : {"", "B", "a", "ab", "b", "\xE9"})
        expected += text(key) + text("v");
    EXPECT_EQ(hex(expected), hex(frame_of(r)));
}

TEST(RequestWire, RequestAndResponseLoadBack) {
    Request r("print_log", 77);
    r.set_param("log", "hello");
    r.set_param("level", "7");
    Variable *v = load_from(frame_of(r));
    ASSERT_NE(nullptr, v);
    EXPECT_STREQ("Request", v->distinguish());
    Request *back = dynamic_cast<Request *>(v);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(77, back->id());
    EXPECT_STREQ("print_log", back->name());
    EXPECT_EQ(r.params(), back->params());
    EXPECT_FALSE(back->is_notify());
    v->release();

    Response resp(9);
    resp.error(4);
    v = load_from(frame_of(resp));
    Response *rb = dynamic_cast<Response *>(v);
    ASSERT_NE(nullptr, rb);
    EXPECT_EQ(9, rb->id());
    EXPECT_EQ(4, rb->error());
    v->release();
}

TEST(RequestWire, PrototypesAreRegistered) {
    Variable *v = Variable::new_variable("Request");
    ASSERT_NE(nullptr, v);
    Request *r = dynamic_cast<Request *>(v);
    ASSERT_NE(nullptr, r);
    EXPECT_STREQ("", r->name());
    EXPECT_EQ(0, r->id());
    EXPECT_TRUE(r->params().empty());
    v->release();
    v = Variable::new_variable("NotifyRequest");
    ASSERT_NE(nullptr, v);
    EXPECT_NE(nullptr, dynamic_cast<NotifyRequest *>(v));
    v->release();
    v = Variable::new_variable("Response");
    ASSERT_NE(nullptr, v);
    EXPECT_NE(nullptr, dynamic_cast<Response *>(v));
    v->release();
}

// ---------------------------------------------------------------------------
// Loading what a peer sent
// ---------------------------------------------------------------------------

TEST(RequestLoad, CountWrittenAsEightBytesIsReadAsItsLow32Bits) {
    std::string frame =
        "v:Request:" + i4(5) + text("n") + u8(0x100000001ull) + text("k") + text("v");
    Variable *v = load_from(frame);
    Request *r = dynamic_cast<Request *>(v);
    ASSERT_NE(nullptr, r);
    EXPECT_STREQ("v", r->get_param("k"));
    v->release();
}

TEST(RequestLoad, LaterDuplicateKeyReplacesTheEarlierValue) {
    std::string frame =
        "v:Request:" + i4(5) + text("n") + u8(2) + text("k") + text("1") + text("k") + text("2");
    Variable *v = load_from(frame);
    Request *r = dynamic_cast<Request *>(v);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(1u, r->params().size());
    EXPECT_STREQ("2", r->get_param("k"));
    v->release();
}

TEST(RequestLoad, NegativeCountMeansNoParameters) {
    std::string frame = "v:Request:" + i4(5) + text("n") + i4(-4);
    Variable *v = load_from(frame);
    Request *r = dynamic_cast<Request *>(v);
    ASSERT_NE(nullptr, r);
    EXPECT_TRUE(r->params().empty());
    v->release();
}

TEST(RequestLoad, HugeParameterCountFailsAtOnce) {
    // Only the head is there: a reader that trusted the count would loop
    // two billion times or reserve room for it.
    std::string frame = "v:Request:" + i4(5) + text("n") + u8(0x7FFFFFFF);
    MemoryStreamBuf buf(frame + text("k") + text("v"));
    Stream s(buf);
    EXPECT_EQ(nullptr, s.load());
    EXPECT_LT(buf.gets(), 100u);
}

TEST(RequestLoad, CountAtTheLimitIsRead) {
    std::string frame = "v:Request:" + i4(5) + text("n") + u8(Request::max_params);
    for (int i = 0; i < Request::max_params; ++i) {
        std::string k = std::to_string(i);
        frame += text(k) + text("");
    }
    Variable *v = load_from(frame);
    Request *r = dynamic_cast<Request *>(v);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(std::size_t(Request::max_params), r->params().size());
    v->release();
    std::string over = "v:Request:" + i4(5) + text("n") + u8(Request::max_params + 1);
    EXPECT_EQ(nullptr, load_from(over));
}

TEST(RequestLoad, EndlessTextFailsTheStream) {
    EndlessBuf buf("v:Request:" + i4(5) + text("n") + u8(1) + "s::", 'a');
    Stream s(buf);
    EXPECT_EQ(nullptr, s.load());
    EXPECT_EQ(Stream::error_malformed, s.error());
    EXPECT_LT(buf.delivered(), 2 * uint64(Stream::max_string));
}

TEST(RequestLoad, TextOfAllParametersIsBounded) {
    // Each value stays under the per-text limit, together they exceed it.
    std::string big(Stream::max_string / 2 + 16, 'x');
    std::string frame = "v:Request:" + i4(5) + text("n") + u8(3);
    frame += text("a") + text(big) + text("b") + text(big) + text("c") + text("small");
    int error = 0;
    EXPECT_EQ(nullptr, load_from(frame, &error));
}

TEST(RequestLoad, TruncatedOnAPipeFails) {
    Request r("print_log", 3);
    r.set_param("log", "hi");
    std::string bytes = frame_of(r);
    for (std::size_t cut : {std::size_t(12), std::size_t(30), bytes.size() - 1}) {
        DuplexBuf buf(bytes.substr(0, cut));
        Stream s(buf);
        EXPECT_EQ(nullptr, s.load()) << cut;
        EXPECT_FALSE(s.good());
    }
}

// ---------------------------------------------------------------------------
// Ids and parameters
// ---------------------------------------------------------------------------

TEST(RequestIds, FreshIdsAreConsecutiveAndOthersKept) {
    Request a("a", -1), b("b", -1);
    EXPECT_EQ(a.id() + 1, b.id());
    EXPECT_GE(a.id(), 1);
    Request c("c", 42);
    EXPECT_EQ(42, c.id());
    Request d("d", 0);
    EXPECT_EQ(0, d.id());
    c.init_local();
    EXPECT_EQ(0, c.id());
    c.id(-5);
    EXPECT_EQ(-5, c.id());
}

TEST(RequestIds, ThreadsNeverShareAnId) {
    std::vector<std::vector<int>> ids(8);
    std::vector<std::thread> threads;
    for (auto &list : ids)
        threads.emplace_back([&list] {
            for (int i = 0; i < 5000; ++i)
                list.push_back(Request("x", -1).id());
        });
    for (auto &t : threads)
        t.join();
    std::set<int> all;
    for (auto const &list : ids)
        all.insert(list.begin(), list.end());
    EXPECT_EQ(40000u, all.size());
}

TEST(RequestParams, TextValues) {
    Request r("x", 1);
    EXPECT_EQ(nullptr, r.get_param("k"));
    EXPECT_FALSE(r.is_param_present("k"));
    r.set_param("k", "one");
    r.set_param("k", "two");
    EXPECT_STREQ("two", r.get_param("k"));
    r.set_param("empty", "");
    EXPECT_TRUE(r.is_param_present("empty"));
    r.set_param("k", static_cast<char const *>(nullptr));
    EXPECT_FALSE(r.is_param_present("k"));
    r.set_param(nullptr, "ignored");
    EXPECT_EQ(nullptr, r.get_param(nullptr));
    EXPECT_EQ(1u, r.params().size());
}

TEST(RequestParams, NumericValues) {
    Request r("x", 1);
    r.set_param("pid", uint64(1234));
    EXPECT_STREQ("1234", r.get_param("pid"));
    r.set_param("pid", uint64(0));
    EXPECT_FALSE(r.is_param_present("pid"));
    EXPECT_EQ(7, r.get_param_as_int("pid", 7));
    r.set_param("all", ~uint64(0));
    EXPECT_STREQ("-1", r.get_param("all"));
    r.set_param("big", uint64(1) << 40);
    EXPECT_STREQ("1099511627776", r.get_param("big"));
}

TEST(RequestParams, IntConversionFollowsAtoi) {
    Request r("x", 1);
    struct Case {
        char const *text;
        int value;
    } cases[] = {{"42", 42},
                 {"  -17abc", -17},
                 {"+5", 5},
                 {"abc", 0},
                 {"", 0},
                 {"2147483647", 2147483647},
                 {"99999999999", 2147483647},
                 {"-2147483648", -2147483647 - 1},
                 {"-99999999999", -2147483647 - 1}};
    for (auto const &c : cases) {
        r.set_param("n", c.text);
        EXPECT_EQ(c.value, r.get_param_as_int("n", 7)) << c.text;
    }
}

TEST(RequestParams, BoolConversion) {
    Request r("x", 1);
    EXPECT_TRUE(r.get_param_as_bool("b", true));
    EXPECT_FALSE(r.get_param_as_bool("b", false));
    for (char const *yes : {"TRUE", "true", "True", "1"}) {
        r.set_param("b", yes);
        EXPECT_TRUE(r.get_param_as_bool("b", false)) << yes;
    }
    for (char const *no : {"yes", "0", "", "truex", "11", " 1"}) {
        r.set_param("b", no);
        EXPECT_FALSE(r.get_param_as_bool("b", true)) << no;
    }
}

TEST(RequestCopy, CopiesAndClonesKeepEverything) {
    Request r("n", 8);
    r.set_param("a", "1");
    Request copy(r);
    EXPECT_EQ(8, copy.id());
    EXPECT_STREQ("n", copy.name());
    EXPECT_EQ(r.params(), copy.params());
    Request other("o", 1);
    other = r;
    EXPECT_STREQ("n", other.name());
    Variable *v = r.clone();
    EXPECT_EQ(frame_of(r), frame_of(*v));
    v->release();
}

// ---------------------------------------------------------------------------
// send
// ---------------------------------------------------------------------------

TEST(RequestSend, WritesOneFrameInOnePieceAndReadsTheResponse) {
    Request r("print_log", 3);
    r.set_param("log", "hi");
    DuplexBuf buf(response_frame(3, 0));
    Stream s(buf);
    Response *resp = r.send(s, true);
    ASSERT_NE(nullptr, resp);
    EXPECT_EQ(3, resp->id());
    EXPECT_EQ(0, resp->error());
    resp->release();
    EXPECT_EQ(frame_of(r), buf.written());
    EXPECT_EQ(1, buf.puts());
    EXPECT_EQ("", buf.unread());
}

TEST(RequestSend, NotificationBeforeTheResponseIsQueued) {
    while (NotifyRequest *n = NotifyRequest::pop_notify())
        n->release();
    NotifyRequest note(NotifyRequest::detach_hook);
    Request r("print_log", 11);
    DuplexBuf buf(frame_of(note) + frame_of(NotifyRequest("second")) + response_frame(11, 3));
    Stream s(buf);
    Response *resp = r.send(s, false);
    ASSERT_NE(nullptr, resp);
    EXPECT_EQ(11, resp->id());
    EXPECT_EQ(3, r.error());
    resp->release();
    NotifyRequest *first = NotifyRequest::pop_notify();
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ("detach_hook", first->notify());
    EXPECT_EQ(note.id(), first->id());
    first->release();
    NotifyRequest *second = NotifyRequest::pop_notify();
    ASSERT_NE(nullptr, second);
    EXPECT_STREQ("second", second->notify());
    second->release();
    EXPECT_EQ(nullptr, NotifyRequest::pop_notify());
}

TEST(RequestSend, NotificationIsWrittenAndNothingRead) {
    NotifyRequest note(NotifyRequest::reload_policy);
    DuplexBuf buf(response_frame(note.id(), 0));
    Stream s(buf);
    EXPECT_EQ(nullptr, note.send(s, true));
    EXPECT_FALSE(note.send_and_release(s));
    EXPECT_EQ(0, buf.gets());
    EXPECT_EQ(frame_of(note) + frame_of(note), buf.written());
}

TEST(RequestSend, AnythingButAResponseGivesNull) {
    Request other("other", 5);
    std::string const answers[] = {
        frame_of(other),       // a plain request
        "n:",                  // no object
        "v:B:" + u8(0),        // an unregistered type
        "v:Response:" + i4(1), // truncated
        "garbage!",            // no frame at all
        "",                    // nothing: the pipe closed
    };
    for (auto const &answer : answers) {
        Request r("x", 1);
        DuplexBuf buf(answer);
        Stream s(buf);
        EXPECT_EQ(nullptr, r.send(s, true)) << hex(answer);
        EXPECT_FALSE(Request("x", 1).send_and_release(s));
    }
}

TEST(RequestSend, FailedWriteReadsNothing) {
    MemoryStreamBuf buf(response_frame(1, 0));
    buf.set_fail_writes(true);
    Stream s(buf);
    Request r("x", 1);
    EXPECT_EQ(nullptr, r.send(s, true));
    EXPECT_EQ(0u, buf.gets());
}

TEST(RequestSend, SendAndReleaseTellsWhetherAResponseCame) {
    DuplexBuf buf(response_frame(1, 0));
    Stream s(buf);
    EXPECT_TRUE(Request("x", 1).send_and_release(s));
    EXPECT_FALSE(Request("x", 2).send_and_release(s));
}

// ---------------------------------------------------------------------------
// Notifications and their queue
// ---------------------------------------------------------------------------

TEST(Notify, FrameAndLoadBack) {
    NotifyRequest note(NotifyRequest::reload_policy);
    EXPECT_STREQ("NotifyRequest", note.distinguish());
    EXPECT_STREQ("notify_request", note.name());
    EXPECT_TRUE(note.is_notify());
    std::string expected = "v:NotifyRequest:" + i4(note.id()) + text("notify_request") + u8(1) +
                           text("notify") + text("reload_policy");
    EXPECT_EQ(hex(expected), hex(frame_of(note)));
    Variable *v = load_from(expected);
    NotifyRequest *back = dynamic_cast<NotifyRequest *>(v);
    ASSERT_NE(nullptr, back);
    EXPECT_TRUE(back->is_notify());
    EXPECT_STREQ("reload_policy", back->notify());
    Variable *copy = back->clone();
    EXPECT_NE(nullptr, dynamic_cast<NotifyRequest *>(copy));
    copy->release();
    v->release();
    EXPECT_EQ(nullptr, NotifyRequest(nullptr).notify());
    EXPECT_STREQ("detach_hook", NotifyRequest::detach_hook);
}

TEST(Notify, QueueIsFirstInFirstOut) {
    while (NotifyRequest *n = NotifyRequest::pop_notify())
        n->release();
    EXPECT_EQ(nullptr, NotifyRequest::pop_notify());
    NotifyRequest::push_notify(nullptr);
    EXPECT_EQ(nullptr, NotifyRequest::pop_notify());
    for (char const *t : {"1", "2", "3"})
        NotifyRequest::push_notify(new NotifyRequest(t));
    for (char const *t : {"1", "2", "3"}) {
        NotifyRequest *n = NotifyRequest::pop_notify();
        ASSERT_NE(nullptr, n);
        EXPECT_STREQ(t, n->notify());
        n->release();
    }
    EXPECT_EQ(nullptr, NotifyRequest::pop_notify());
}

TEST(Notify, EachQueuedNotificationIsPoppedOnce) {
    while (NotifyRequest *n = NotifyRequest::pop_notify())
        n->release();
    std::atomic<int> popped{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i)
                NotifyRequest::push_notify(new NotifyRequest("n"));
        });
    std::vector<std::thread> consumers;
    for (int t = 0; t < 3; ++t)
        consumers.emplace_back([&] {
            for (;;) {
                NotifyRequest *n = NotifyRequest::pop_notify();
                if (n != nullptr) {
                    ++popped;
                    n->release();
                } else if (done) {
                    return;
                } else {
                    Sleep(0);
                }
            }
        });
    for (auto &t : threads)
        t.join();
    done = true;
    for (auto &t : consumers)
        t.join();
    EXPECT_EQ(8000, popped.load());
}

TEST(RequestIds, FirstIdOfAProcessIsOne) {
    zem::vfs::test::Child child;
    ASSERT_TRUE(child.start("child_ids", ""));
    ASSERT_EQ(0, child.wait(60000));
    EXPECT_EQ("1", child.value("first"));
    EXPECT_EQ("2", child.value("second"));
}

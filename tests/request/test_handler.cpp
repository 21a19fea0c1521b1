// Handler dispatch inside one process: the registry and its chains, error 3,
// notifications that get no answer, and a synchronous server over a real
// pipe answering Request::send.
#include "ipc/Pipe.h"
#include "request/DuplexBuf.h"
#include "request/RequestHandler.h"
#include "request/Requests.h"
#include "serialize/HandleStream.h"
#include "serialize/Stream.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>

using namespace zem::vfs;
using zem::vfs::test::DuplexBuf;
using zem::vfs::test::frame_of;
using zem::vfs::test::i4;
using zem::vfs::test::response_frame;

namespace {

// Answers with a fixed error and remembers what it saw.
class FixedHandler : public RequestHandler {
public:
    FixedHandler(char const *name, int error) : RequestHandler(name), error_(error) {}
    bool handler(ResuestHandlerManager &, Pipe *pipe, Stream &stream, Request &request,
                 Response &response) override {
        ++calls;
        last_pipe = pipe;
        last_id = request.id();
        response.error(error_);
        return response.serialize(stream);
    }
    int calls = 0;
    Pipe *last_pipe = nullptr;
    int last_id = 0;

private:
    int error_;
};

// Serves only requests whose "who" is "me"; passes the others down.
class PickyHandler : public RequestHandler {
public:
    explicit PickyHandler(char const *name) : RequestHandler(name) {}
    bool handler(ResuestHandlerManager &m, Pipe *pipe, Stream &stream, Request &request,
                 Response &response) override {
        char const *who = request.get_param("who");
        if (who == nullptr || std::string(who) != "me")
            return RequestHandler::handler(m, pipe, stream, request, response);
        response.error(42);
        return response.serialize(stream);
    }
};

// What a server writes for one request.
std::string dispatch(Request &r, Pipe *pipe = nullptr, bool *result = nullptr) {
    DuplexBuf buf;
    Stream s(buf);
    ResuestHandlerManager m;
    bool ok = m.handle_request(pipe, s, r);
    if (result)
        *result = ok;
    return buf.written();
}

} // namespace

TEST(Dispatch, UnservedNameIsAnsweredWithError3) {
    Request r("run_command", 31);
    bool ok = false;
    EXPECT_EQ(response_frame(31, 3), dispatch(r, nullptr, &ok));
    EXPECT_TRUE(ok);
    CommandRequest cmd("calc", -1, nullptr);
    EXPECT_EQ(response_frame(cmd.id(), 3), dispatch(cmd));
}

TEST(Dispatch, RegisteredHandlerAnswersWithTheRequestsIdAndSeesThePipe) {
    FixedHandler h("test_fixed", 0);
    Request r("test_fixed", 77);
    Pipe pipe;
    EXPECT_EQ(response_frame(77, 0), dispatch(r, &pipe));
    EXPECT_EQ(1, h.calls);
    EXPECT_EQ(&pipe, h.last_pipe);
    EXPECT_EQ(77, h.last_id);
}

TEST(Dispatch, SecondHandlerDisplacesTheFirstAndFallsBackOnIt) {
    FixedHandler first("test_chain", 7);
    PickyHandler second("test_chain");
    EXPECT_EQ(&first, second.previous());
    EXPECT_EQ(nullptr, first.previous());
    Request mine("test_chain", 1);
    mine.set_param("who", "me");
    EXPECT_EQ(response_frame(1, 42), dispatch(mine));
    Request other("test_chain", 2);
    EXPECT_EQ(response_frame(2, 7), dispatch(other));
    EXPECT_EQ(1, first.calls);
}

TEST(Dispatch, ChainWithoutAServingHandlerEndsInError3) {
    PickyHandler only("test_picky_only");
    Request r("test_picky_only", 5);
    EXPECT_EQ(response_frame(5, 3), dispatch(r));
}

TEST(Dispatch, AddHandlerReturnsWhatItDisplaced) {
    FixedHandler a("test_add_a", 1);
    FixedHandler b("test_add_b", 2);
    EXPECT_EQ(&a, ResuestHandlerManager::add_handler("test_add_a", &b));
    EXPECT_EQ(nullptr, ResuestHandlerManager::add_handler("test_add_a", &b));
    EXPECT_EQ(nullptr, ResuestHandlerManager::add_handler(nullptr, &b));
    EXPECT_EQ(nullptr, ResuestHandlerManager::add_handler("test_add_c", nullptr));
    Request r("test_add_a", 9);
    EXPECT_EQ(response_frame(9, 2), dispatch(r));
}

TEST(Dispatch, DestroyedHandlerHandsItsPlaceBack) {
    FixedHandler base("test_scope", 1);
    {
        FixedHandler newer("test_scope", 2);
        Request r("test_scope", 3);
        EXPECT_EQ(response_frame(3, 2), dispatch(r));
    }
    Request r("test_scope", 4);
    EXPECT_EQ(response_frame(4, 1), dispatch(r));
    { FixedHandler gone("test_scope_gone", 5); }
    Request g("test_scope_gone", 6);
    EXPECT_EQ(response_frame(6, 3), dispatch(g));
}

TEST(Dispatch, DestroyedMiddleOfAChainIsUnlinked) {
    FixedHandler oldest("test_middle", 1);
    std::unique_ptr<FixedHandler> middle(new FixedHandler("test_middle", 2));
    PickyHandler newest("test_middle");
    EXPECT_EQ(middle.get(), newest.previous());
    middle.reset();
    EXPECT_EQ(&oldest, newest.previous());
    Request r("test_middle", 8);
    EXPECT_EQ(response_frame(8, 1), dispatch(r));
}

TEST(Dispatch, CopiesShareThePreviousHandlerAndAreNotRegistered) {
    FixedHandler first("test_copy", 1);
    PickyHandler second("test_copy");
    PickyHandler copy(second);
    EXPECT_EQ(&first, copy.previous());
    Request r("test_copy", 2);
    r.set_param("who", "me");
    EXPECT_EQ(response_frame(2, 42), dispatch(r));
    // Assigning a handler whose previous is the target itself makes no loop.
    PickyHandler third("test_copy");
    second = third;
    EXPECT_EQ(&first, second.previous());
}

TEST(Dispatch, NotificationsGetNoAnswer) {
    NotifyRequest note(NotifyRequest::reload_policy);
    bool ok = false;
    EXPECT_EQ("", dispatch(note, nullptr, &ok));
    EXPECT_TRUE(ok);
    Request plain("notify_request", 4);
    EXPECT_EQ("", dispatch(plain));
}

TEST(Dispatch, OwnNotificationHandlerKeepsTheLibrarysAsPrevious) {
    FixedHandler mine("notify_request", 0);
    ASSERT_NE(nullptr, mine.previous());
    NotifyRequest note("x");
    EXPECT_EQ(response_frame(note.id(), 0), dispatch(note));
    EXPECT_EQ(1, mine.calls);
}

// A synchronous server on a real pipe: each request is loaded and dispatched;
// "test_notify_first" is preceded by a notification.
class NotifyFirstHandler : public RequestHandler {
public:
    NotifyFirstHandler() : RequestHandler("test_notify_first") {}
    bool handler(ResuestHandlerManager &, Pipe *, Stream &stream, Request &,
                 Response &response) override {
        NotifyRequest note(NotifyRequest::detach_hook);
        note.serialize(stream);
        response.error(0);
        return response.serialize(stream);
    }
};

TEST(Dispatch, ServerOnARealPipe) {
    NotifyFirstHandler notify_first;
    FixedHandler fixed("test_pipe_fixed", 0);
    char name[96];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\zem_test_dispatch_%lu", GetCurrentProcessId());
    std::atomic<int> served{0};
    std::thread server([&] {
        Pipe pipe;
        if (!pipe.bind(name))
            return;
        HANDLE copy = INVALID_HANDLE_VALUE;
        DuplicateHandle(GetCurrentProcess(), pipe.handle(), GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        HandleStream stream(copy);
        ResuestHandlerManager m;
        for (;;) {
            Variable *v = stream.load();
            Request *r = dynamic_cast<Request *>(v);
            if (r == nullptr) {
                Variable::release(v);
                break;
            }
            m.handle_request(&pipe, stream, *r);
            r->release();
            ++served;
        }
    });
    Pipe client;
    for (int i = 0; i < 300 && !client.connect(name, false); ++i)
        Sleep(10);
    ASSERT_EQ(3, client.state());
    {
        HandleStream stream(client.detach());
        while (NotifyRequest *n = NotifyRequest::pop_notify())
            n->release();

        Request unserved("run_command", -1);
        Response *resp = unserved.send(stream, true);
        ASSERT_NE(nullptr, resp);
        EXPECT_EQ(unserved.id(), resp->id());
        EXPECT_EQ(3, resp->error());
        EXPECT_EQ(3, unserved.error());
        resp->release();

        Request first("test_notify_first", -1);
        resp = first.send(stream, true);
        ASSERT_NE(nullptr, resp);
        EXPECT_EQ(first.id(), resp->id());
        resp->release();
        NotifyRequest *n = NotifyRequest::pop_notify();
        ASSERT_NE(nullptr, n);
        EXPECT_STREQ("detach_hook", n->notify());
        n->release();

        NotifyRequest one_way("x");
        EXPECT_EQ(nullptr, one_way.send(stream, true));
        for (int i = 0; i < 50; ++i) {
            Request r("test_pipe_fixed", -1);
            ASSERT_TRUE(r.send_and_release(stream));
        }
    }
    server.join();
    EXPECT_EQ(53, served.load());
    EXPECT_EQ(50, fixed.calls);
}

// Requests and responses inside one process: the frames byte for byte,
// loading what a hostile or cut peer sent, send() and its answers, the
// catalogue's parameters and readers, handler dispatch and the notification
// queue.
#include "request/NotifyRequest.h"
#include "request/Request.h"
#include "request/RequestHandler.h"
#include "request/Requests.h"
#include "serialize/Stream.h"
#include "request/Wire.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <memory>

using namespace zem::vfs;
using namespace zem::vfs::test;

namespace {

std::string params_of(Request const &r) {
    std::string out;
    for (auto const &p : r.params())
        out += p.first + "=" + p.second + ";";
    return out;
}

// Loads one object from `bytes` and describes it: "-" for null, else
// "<type> id=<id> name=<name> <params>" or "Response id=<id> error=<e>".
std::string load_desc(std::string const &bytes, bool peekable = true) {
    MemoryStreamBuf buf(bytes);
    buf.set_peekable(peekable);
    Stream s(buf);
    Variable *v = s.load();
    std::string out = "-";
    if (Request *r = dynamic_cast<Request *>(v))
        out = std::string(v->distinguish()) + " id=" + std::to_string(r->id()) +
              " name=" + r->name() + " " + params_of(*r);
    else if (Response *p = dynamic_cast<Response *>(v))
        out = "Response id=" + std::to_string(p->id()) + " error=" + std::to_string(p->error());
    Variable::release(v);
    return out;
}

} // namespace

TEST(RequestWire, FramesByteForByte) {
    Request worked("print_log", 3), ordered("x", 1);
    worked.set_param("log", "hi");
    std::string ordered_params;
    for (char const *key : {"", "B", "a", "ab", "b", "\xE9"})
        ordered.set_param(key, "v"), ordered_params += text(key) + text("v");
    NotifyRequest note(NotifyRequest::reload_policy);
    struct {
        Variable const &object;
        std::string bytes, loaded;
    } const cases[] = {
        {worked,
         "76 3A 52 65 71 75 65 73 74 3A 69 3A 34 3A 03 00 00 00 73 3A 3A 70 72 69 6E 74 5F 6C 6F "
         "67 00 49 3A 38 3A 01 00 00 00 00 00 00 00 73 3A 3A 6C 6F 67 00 73 3A 3A 68 69 00",
         "Request id=3 name=print_log log=hi;"},
        {Response(3),
         "76 3A 52 65 73 70 6F 6E 73 65 3A 69 3A 34 3A 03 00 00 00 69 3A 34 3A 00 00 00 00",
         "Response id=3 error=0"},
        {Request("x", 1), hex("v:Request:" + i4(1) + text("x") + u8(0)), "Request id=1 name=x "},
        {ordered, hex("v:Request:" + i4(1) + text("x") + u8(6) + ordered_params),
         "Request id=1 name=x =v;B=v;a=v;ab=v;b=v;\xE9=v;"},
        {note,
         hex("v:NotifyRequest:" + i4(note.id()) + text("notify_request") + u8(1) + text("notify") +
             text("reload_policy")),
         "NotifyRequest id=" + std::to_string(note.id()) +
             " name=notify_request notify=reload_policy;"},
    };
    for (auto const &c : cases) {
        SCOPED_TRACE(c.loaded);
        EXPECT_EQ(c.bytes, hex(frame_of(c.object)));
        EXPECT_EQ(c.loaded, load_desc(frame_of(c.object)));
    }
}

TEST(RequestLoad, WhatAPeerSent) {
    std::string const head = "v:Request:" + i4(7) + text("n");
    struct {
        std::string bytes, loaded;
    } const cases[] = {
        {head + u8(2) + text("k") + text("1") + text("k") + text("2"), "Request id=7 name=n k=2;"},
        {head + std::string("i:2:\x01\x00", 6) + text("a") + "s:1:b", "Request id=7 name=n a=b;"},
        {head + u8(0), "Request id=7 name=n "},
        {"v:Request:" + i4(1) + text("x") + u8(Request::max_params + 1), "-"},
        {"v:Request:" + i4(1) + text("x") + u8(0x100000001ull) + text("a") + text("b"), "-"},
        {"v:Request:" + i4(1) + text("x") + u8(0x100000000ull), "-"},
        {"v:Request:" + i4(1) + text("x") + u8(~0ull), "-"},
        {"v:Request:" + i4(1) + text("x") + i4(-1), "-"},
        {"v:Request:", "-"},
        {"v:Request:" + text("n") + u8(0), "-"},      // id missing
        {"v:Request:" + i4(1) + u8(0) + u8(0), "-"},  // name missing
        {head + u8(1) + text("k") + i4(2), "-"},      // value of another kind
        {"v:Response:" + i4(3) + "\x03", "-"},        // cut error field
        {"v:Response:" + i4(4) + "v:Response:", "-"}, // error field missing
        {"v:Response:" + i4(4) + i4(-9), "Response id=4 error=-9"},
    };
    for (auto const &c : cases) {
        SCOPED_TRACE(hex(c.bytes));
        EXPECT_EQ(c.loaded, load_desc(c.bytes));
        EXPECT_EQ(c.loaded, load_desc(c.bytes, false));
    }
    // Every cut of a whole frame is refused, whatever the buffer looks like.
    Request log("print_log", 3); // 70 bytes
    log.set_param("log", "hi");
    log.set_param("level", "6");
    for (std::string whole : {frame_of(log), resp(3, 0)}) {
        for (std::size_t cut = 10; cut < whole.size(); ++cut) {
            SCOPED_TRACE(cut);
            EXPECT_EQ("-", load_desc(whole.substr(0, cut)));
            EXPECT_EQ("-", load_desc(whole.substr(0, cut), false));
        }
    }
}

TEST(RequestLoad, EveryParameterUpToTheLimit) {
    std::string bytes = "v:Request:" + i4(1) + text("x") + u8(Request::max_params);
    for (int i = 0; i < Request::max_params; ++i)
        bytes += text(std::to_string(i)) + text("");
    std::string desc = load_desc(bytes); // "id=", "name=" and one "=" per parameter
    EXPECT_EQ(Request::max_params + 2, std::count(desc.begin(), desc.end(), '='));
}

TEST(RequestSend, Answers) {
    std::string const n = frame_of(NotifyRequest("first")), r5 = resp(5, 0);
    struct {
        std::string answer;
        bool closed, answered;
        int error, queued;
    } const cases[] = {
        {r5, true, true, 0, 0},
        {resp(5, 3), true, true, 3, 0},
        {n + n + r5, true, true, 0, 2},
        {n + r5, false, true, 0, 1},
        {resp(6, 0), true, false, Request::error_foreign_response, 0},
        {frame_of(Request("p", 5)) + r5, true, false, 0, 0},
        {"n:" + r5, true, false, 0, 0},
        {n, true, false, 0, 1},
        {r5.substr(0, 20), false, false, 0, 0},
    };
    for (auto const &c : cases) {
        SCOPED_TRACE(hex(c.answer));
        Request r("p", 5);
        PeerBuf peer(c.answer, c.closed);
        Stream s(peer);
        Response *got = r.send(s, true);
        EXPECT_EQ(c.answered, got != nullptr);
        EXPECT_EQ(c.error, r.error());
        EXPECT_EQ(frame_of(r), peer.out_);
        int queued = 0;
        for (NotifyRequest *q; (q = NotifyRequest::pop_notify()) != nullptr; ++queued)
            EXPECT_STREQ("first", q->notify()), q->release();
        EXPECT_EQ(c.queued, queued);
        Variable::release(got);
    }
    PeerBuf peer(r5, true); // a notification is written and nothing read
    Stream s(peer);
    EXPECT_EQ(nullptr, NotifyRequest("n").send(s, true));
    EXPECT_EQ(r5, peer.unread());
    MemoryStreamBuf broken(r5); // nor after a failed write
    broken.set_fail_writes(true);
    Stream bs(broken);
    EXPECT_FALSE(Request("p", 5).send_and_release(bs));
    EXPECT_EQ(0u, broken.gets());
}

TEST(RequestParams, SetGetAndConvert) {
    Request r("x", 0), a("a", -1), b("b", -1);
    EXPECT_EQ(a.id() + 1, b.id());
    r.set_param("pid", uint64(0));
    r.set_param("all", ~uint64(0));
    r.set_param("big", uint64(1) << 40);
    r.set_param("gone", "1");
    r.set_param("gone", static_cast<char const *>(nullptr));
    EXPECT_EQ("all=-1;big=1099511627776;", params_of(r));
    EXPECT_EQ(7, r.get_param_as_int("pid", 7));
    EXPECT_TRUE(r.get_param_as_bool("pid", true));
    struct {
        char const *value;
        int as_int;
        bool as_bool;
    } const cases[] = {
        {"TRUE", 0, true},
        {"1", 1, true},
        {"yes", 0, false},
        {"0", 0, false},
        {" -42x", -42, false},
        {"+7", 7, false},
        {"", 0, false},
        {"True", 0, true},
        {"99999999999", 2147483647, false},
        {"-99999999999", -2147483647 - 1, false},
    };
    for (auto const &c : cases) {
        SCOPED_TRACE(c.value);
        r.set_param("k", c.value);
        EXPECT_STREQ(c.value, r.get_param("k"));
        EXPECT_EQ(c.as_int, r.get_param_as_int("k", 5));
        EXPECT_EQ(c.as_bool, r.get_param_as_bool("k", !c.as_bool));
    }
    Request copy(r);
    EXPECT_EQ(params_of(r), params_of(copy));
}

TEST(Catalogue, NamesAndParameters) {
    PolicyRequest cleared, loaded;
    cleared.clear();
    loaded.load("p2");
    PropertyRequest props;
    props.add("k", "v"), props.add("", "v"), props.add("n", nullptr);
    props.remove("r"), props.remove(""), props.query("q"), props.query("");
    struct {
        Request const &r;
        char const *name, *params;
    } const cases[] = {
        {CommandRequest("c", -1, nullptr), "run_command", "cmd=c;"},
        {CommandRequest("c", 2, "d"), "run_command", "cmd=c;directory=d;session=2;"},
        {GlobalHookRequest(5, "dom", nullptr), "global_hook", "domain=dom;sid=5;"},
        {GlobalHookRequest("p.exe"), "global_hook", "process_name=p.exe;"},
        {GlobalHookRequest(9), "global_hook", "pid=9;"},
        {HookHelpRequest(8), "hook_help", "pid=8;"},
        {ListenModeRequest(), "listen_mode", ""},
        {LogRequest("t", 0), "print_log", "log=t;"},
        {LogRequest("t", -3), "print_log", "level=-3;log=t;"},
        {NotifyRequest(nullptr), "notify_request", ""},
        {PolicyRequest("p"), "load_policy", "path=p;"},
        {cleared, "load_policy", "clear=;"},
        {loaded, "load_policy", "load=p2;"},
        {props, "property_request", "*=;+k=v;-r=;?q=;"},
        {ServiceRequest("svc"), "query_service", "service=svc;"},
        {StartParamRequest(0, nullptr, "u"), "start_param", "sid=0;user=u;"},
    };
    for (auto const &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(c.name, c.r.name());
        EXPECT_EQ(c.params, params_of(c.r));
    }
    EXPECT_EQ("pid=" + std::to_string(GetCurrentProcessId()) + ";token=t;",
              params_of(SelfRequest("t")));
    EXPECT_STREQ("load_policy", req_name<PolicyRequest>());
}

TEST(Catalogue, ValuesAfterTheResponse) {
    auto pairs = [](int n) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += text("k" + std::to_string(i)) + text(std::to_string(i));
        return out + text("");
    };
    std::string const ab = text("a") + text("1") + text("b") + text("2") + text("");
    auto cmd = [] { return new CommandRequest("c", -1, nullptr); };
    auto svc = [] { return new ServiceRequest("s"); };
    auto prop = [] { return new PropertyRequest(); };
    struct {
        std::function<Request *()> make;
        std::string after; // bytes after the response frame
        int error;
        char const *result; // "<error> <value> <bytes left unread>", "-" for no response
    } const cases[] = {
        {cmd, i4(1234), 4, "4 1234 0"},
        {cmd, "", 0, "0 0 0"},
        {cmd, "", 3, "-"},
        {svc, i4(77), 4, "0 77 0"},
        {svc, text("x"), 4, "0 0 3"}, // a value of another kind stays
        {svc, "", 5, "5 0 0"},
        {[] { return new ListenModeRequest(); }, std::string("i:8:\x10\0\0\0\0\0\0\0", 12), 4,
         "0 16 0"},
        {prop, ab, 4, "0 a=1;b=2; 0"},
        {prop, ab, 0, "-"},
        {prop, text("a") + text("1"), 4, "-"},
        {prop, pairs(Request::max_params), 4, "0 65536 0"},
        {prop, pairs(Request::max_params + 1), 4, "-"},
        {[] { return new LogRequest("t"); }, "", 9, "9  0"},
    };
    for (auto const &c : cases) {
        SCOPED_TRACE(c.result);
        std::unique_ptr<Request> r(c.make());
        PeerBuf peer(resp(r->id(), c.error) + c.after, false);
        Stream s(peer);
        Response *got = r->send(s, true);
        std::string result = "-";
        if (got != nullptr) {
            result = std::to_string(r->error()) + " ";
            if (auto *x = dynamic_cast<CommandRequest *>(r.get()))
                result += std::to_string(x->get_pid());
            if (auto *x = dynamic_cast<ServiceRequest *>(r.get()))
                result += std::to_string(x->service_id());
            if (auto *x = dynamic_cast<ListenModeRequest *>(r.get()))
                result += std::to_string(reinterpret_cast<uintptr_t>(x->getEvent()));
            if (auto *x = dynamic_cast<PropertyRequest *>(r.get())) {
                bool many = x->properties().size() > 2;
                for (auto const &p : x->properties())
                    result += many ? "" : p.first + "=" + p.second + ";";
                result += many ? std::to_string(x->properties().size()) : "";
            }
            result += " " + std::to_string(peer.unread().size());
        }
        EXPECT_EQ(c.result, result);
        Variable::release(got);
    }
}

namespace {

// Answers with a fixed error, or passes requests whose "who" is not "me" down.
class Fixed : public RequestHandler {
public:
    Fixed(char const *name, int error, bool picky)
        : RequestHandler(name), error_(error), picky_(picky) {}
    bool handler(ResuestHandlerManager &m, Pipe *p, Stream &s, Request &q, Response &r) override {
        if (picky_ && !q.get_param_as_bool("me", false))
            return RequestHandler::handler(m, p, s, q, r);
        r.error(error_);
        return r.serialize(s);
    }
    int error_;
    bool picky_;
};

std::string served(char const *name, bool me = false) {
    Request r(name, 12);
    if (me)
        r.set_param("me", "1");
    MemoryStreamBuf out;
    Stream s(out);
    ResuestHandlerManager().handle_request(nullptr, s, r);
    return out.bytes();
}

} // namespace

TEST(Dispatch, RegistryChainsAndAnswers) {
    EXPECT_EQ(resp(12, 3), served("test_unserved"));
    EXPECT_EQ("", served("notify_request"));
    {
        Fixed first("test_chain", 21, false);
        EXPECT_EQ(resp(12, 21), served("test_chain"));
        {
            Fixed second("test_chain", 22, true);
            EXPECT_EQ(&first, second.previous());
            EXPECT_EQ(resp(12, 22), served("test_chain", true));
            EXPECT_EQ(resp(12, 21), served("test_chain"));
            Fixed third("test_chain", 23, true);
            EXPECT_EQ(&second, third.previous());
            EXPECT_EQ(nullptr, ResuestHandlerManager::add_handler("test_chain", &third));
            EXPECT_EQ(resp(12, 23), served("test_chain", true));
            EXPECT_EQ(resp(12, 21), served("test_chain"));
        }
        EXPECT_EQ(resp(12, 21), served("test_chain", true));
    }
    EXPECT_EQ(resp(12, 3), served("test_chain"));
    Fixed lonely("test_lonely", 1, false);
    { Fixed copy(lonely); }
    EXPECT_EQ(resp(12, 1), served("test_lonely"));
}

TEST(Notify, QueueIsFirstInFirstOut) {
    EXPECT_EQ(nullptr, NotifyRequest::pop_notify());
    for (char const *text : {"a", "b", "c"})
        NotifyRequest::push_notify(new NotifyRequest(text));
    for (char const *text : {"a", "b", "c"}) {
        NotifyRequest *n = NotifyRequest::pop_notify();
        ASSERT_NE(nullptr, n);
        EXPECT_STREQ(text, n->notify());
        n->release();
    }
    EXPECT_EQ(nullptr, NotifyRequest::pop_notify());
}

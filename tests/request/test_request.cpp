// The request protocol in memory, and the helper dispatcher as a process on real pipes.
#include "ipc/Pipe.h"
#include "policy/Policy.h"
#include "request/NotifyRequest.h"
#include "request/RequestHandler.h"
#include "request/Requests.h"
#include "serialize/HandleStream.h"
#include "support/ChildProcess.h"
#include "support/MemoryStreamBuf.h"

#include "dispatcher/Handlers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <memory>

using namespace zem::vfs;
using namespace zem::vfs::test;
using namespace std::string_literals;

namespace {

// Frame pieces as the Stream writes them, and an in-memory peer: written bytes go to `out_`,
// reads come from the given text, a byte at a time if need be, and simply end with it.
auto const i4 = [](int v) { return "i:4:" + std::string(reinterpret_cast<char *>(&v), 4); };
auto const u8 = [](uint64 v) { return "I:8:" + std::string(reinterpret_cast<char *>(&v), 8); };
auto const text = [](std::string const &t) { return "s::" + t + std::string(1, '\0'); };
auto const resp = [](int id, int error) { return "v:Response:" + i4(id) + i4(error); };

inline std::string frame_of(Variable const &v) {
    MemoryStreamBuf buf;
    Stream s(buf);
    v.serialize(s);
    return buf.bytes();
}

struct PeerBuf : MemoryStreamBuf {
    explicit PeerBuf(std::string in) : MemoryStreamBuf(std::move(in)) { set_peekable(false); }
    uint64 put(void const *d, uint64 n) override {
        out_.append(static_cast<char const *>(d), std::size_t(n));
        return n;
    }
    std::string out_;
};

typedef std::unique_ptr<Variable, void (*)(Variable *)> Held; // a loaded object, released

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
    Held v(s.load(), Variable::release);
    if (Request *r = dynamic_cast<Request *>(v.get()))
        return std::string(v->distinguish()) + " id=" + std::to_string(r->id()) +
               " name=" + r->name() + " " + params_of(*r);
    if (Response *p = dynamic_cast<Response *>(v.get()))
        return "Response id=" + std::to_string(p->id()) + " error=" + std::to_string(p->error());
    return "-";
}

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

int const kIdleMs = 1500; // idle connections of the shared helper time out after this long

HANDLE start(std::wstring const &folder, DWORD owner, DWORD &pid, std::wstring const &more = L"") {
    std::wstring line =
        L"\"" + folder + L"\\" + kExe + L"\" /helper " + std::to_wstring(owner) + more;
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
        process_ = start(folder_->path(), GetCurrentProcessId(), pid,
                         L" /idle-ms " + std::to_wstring(kIdleMs));
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
    // Writes `bytes` on a fresh connection: the error answered, -1 when the helper drops the
    // connection, -2 (and the helper ended) when nothing happens within 2 s.
    static int answer(std::string const &bytes) {
        auto got = std::async(std::launch::async, [&] {
            std::unique_ptr<HandleStream> c(client());
            Held v(c->write_(bytes.data(), bytes.size()) ? c->load() : nullptr, Variable::release);
            return dynamic_cast<Response *>(v.get()) ? static_cast<Response &>(*v).error() : -1;
        });
        if (got.wait_for(std::chrono::seconds(2)) == std::future_status::ready)
            return got.get();
        TerminateProcess(process_, 9);
        return -2;
    }
    static inline TempFolder *folder_;
    static inline HANDLE process_;
    static inline std::string pipe_;
};

TEST(RequestWire, FramesByteForByte) {
    Request worked("print_log", 3), ordered("x", 1);
    worked.set_param("log", "hi");
    std::string ordered_params;
    for (char const *key : {"", "B", "a", "ab", "b", "\xE9"})
        ordered.set_param(key, "v"), ordered_params += text(key) + text("v");
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
         "Request id=1 name=x =v;B=v;a=v;ab=v;b=v;\xE9=v;"}};
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
        {"v:Request:" + i4(1) + text("x") + u8(Request::max_params + 1), "-"},
        {"v:Request:" + i4(1) + text("x") + u8(0x100000001ull) + text("a") + text("b"), "-"},
        {"v:Request:" + i4(1) + text("x") + u8(0x100000000ull), "-"},
        {"v:Request:" + i4(1) + text("x") + i4(-1), "-"},
        {"v:Request:" + text("n") + u8(0), "-"},           // id missing
        {"v:Request:" + i4(1) + u8(0) + u8(0), "-"},       // name missing
        {"v:Request:" + i4(1) + "s:3:a\0b"s + u8(0), "-"}, // a name holding a zero byte
        {head + u8(1) + text("k") + i4(2), "-"},           // value of another kind
        {"v:Response:" + i4(4) + "v:Response:", "-"},      // error field missing
        {"v:Response:" + i4(4) + i4(-9), "Response id=4 error=-9"}};
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
    std::string bytes = "v:Request:" + i4(1) + text("x") + u8(Request::max_params);
    for (int i = 0; i < Request::max_params; ++i)
        bytes += text(std::to_string(i)) + text("");
    std::string desc = load_desc(bytes); // "id=", "name=" and one "=" per parameter
    EXPECT_EQ(Request::max_params + 2, std::count(desc.begin(), desc.end(), '='));
    for (uint64 v : {Stream::max_string - 2, Stream::max_string - 1}) // with "n" and "k": the bound
        EXPECT_EQ(v == Stream::max_string - 2,
                  load_desc(head + u8(1) + text("k") + "s:" + std::to_string(v) + ":" +
                            std::string(std::size_t(v), 'v')) != "-");
}

TEST(RequestSend, Answers) {
    std::string const n = frame_of(NotifyRequest("one")), n2 = frame_of(NotifyRequest("two"));
    std::string const r5 = resp(5, 0);
    struct {
        std::string answer;
        bool answered;
        int error;
        char const *queued;
        bool piped; // from a pipe that holds another frame after the answer, else from memory
    } const cases[] = {{r5, true, 0, "", true},
                       {resp(5, 3), true, 3, "", true},
                       {n + n2 + r5, true, 0, "one two ", true},
                       {resp(6, 0), false, Request::error_foreign_response, "", true},
                       {frame_of(Request("p", 5)) + r5, false, 0, "", true},
                       {"n:" + r5, false, 0, "", true},
                       {n2, false, 0, "two ", false},
                       {r5.substr(0, 20), false, 0, "", false}};
    std::string const name = "\\\\.\\pipe\\zem_send_" + std::to_string(GetCurrentProcessId());
    for (auto const &c : cases) {
        SCOPED_TRACE(hex(c.answer) + (c.piped ? " piped" : ""));
        Request r("p", 5);
        PeerBuf peer(c.answer);
        Stream memory(peer);
        HandleStream server(
            c.piped ? CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 4096, 4096, 0, 0)
                    : INVALID_HANDLE_VALUE);
        HandleStream client(c.piped ? CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, 0,
                                                  OPEN_EXISTING, 0, 0)
                                    : INVALID_HANDLE_VALUE);
        std::string const next = resp(7, 0), sent = frame_of(r);
        server.write_((c.answer + next).data(), c.answer.size() + next.size());
        Stream &s = c.piped ? static_cast<Stream &>(client) : memory;
        Response *got = r.send(s, true);
        EXPECT_EQ(c.answered, got != nullptr);
        EXPECT_EQ(c.error, r.error());
        std::string out(sent.size(), '?');
        if (c.piped)
            server.read_(&out[0], out.size());
        EXPECT_EQ(sent, c.piped ? out : peer.out_);
        if (c.piped && c.answered) { // one read took all; what follows waits for the next
            EXPECT_EQ(next.size(), client.held());
            Held after(client.load(), Variable::release);
            EXPECT_EQ(next, after ? frame_of(*after) : "");
        }
        std::string queued; // first in, first out
        for (NotifyRequest *q; (q = NotifyRequest::pop_notify()) != nullptr; q->release())
            queued += q->notify() + std::string(" ");
        EXPECT_EQ(c.queued, queued);
        Variable::release(got);
    }
    PeerBuf peer(r5); // a notification is written and nothing read
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
    std::string got; // each value read as an int (fallback 5) and as a bool (fallback false)
    for (char const *v :
         {"TRUE", "1", "tru", "0", " -42x", "+7", "", "True", "99999999999", "-99999999999"}) {
        r.set_param("k", v);
        got += std::to_string(r.get_param_as_int("k", 5)) +
               (r.get_param_as_bool("k", false) ? "T " : "F ");
    }
    EXPECT_EQ("0T 1T 0F 0F -42F 7F 0F 0T 2147483647F -2147483648F ", got);
}

TEST(Catalogue, NamesAndParameters) {
    PolicyRequest cleared, loaded("p");
    cleared.clear(), loaded.load("p2");
    PropertyRequest props;
    props.add("k", "v"), props.add("", "v"), props.add("n", nullptr);
    props.remove("r"), props.remove(""), props.query("q"), props.query("");
    struct {
        Request const &r;
        char const *name, *params;
    } const cases[] = {{CommandRequest("c", -1, nullptr), "run_command", "cmd=c;"},
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
                       {loaded, "load_policy", "load=p2;path=p;"},
                       {props, "property_request", "*=;+k=v;-r=;?q=;"},
                       {ServiceRequest("svc"), "query_service", "service=svc;"},
                       {StartParamRequest(0, nullptr, "u"), "start_param", "sid=0;user=u;"}};
    for (auto const &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(c.name, c.r.name());
        EXPECT_EQ(c.params, params_of(c.r));
    }
    EXPECT_EQ("pid=" + std::to_string(GetCurrentProcessId()) + ";token=t;",
              params_of(SelfRequest("t")));
}

TEST(Catalogue, ValuesAfterTheResponse) {
    auto pairs = [](int n) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += text("k" + std::to_string(i)) + text(std::to_string(i));
        return out + text("");
    };
    auto cmd = [] { return new CommandRequest("c", -1, nullptr); };
    auto svc = [] { return new ServiceRequest("s"); };
    auto prop = [] { return new PropertyRequest(); };
    struct {
        std::function<Request *()> make;
        std::string after; // bytes after the response frame
        int error;
        char const *result; // "<error> <value> <bytes left unread>", "-" for no response
    } const cases[] = {{cmd, i4(1234), 4, "4 1234 0"},
                       {cmd, "", 0, "0 0 0"},
                       {cmd, "", 3, "-"},
                       {svc, i4(77), 4, "0 77 0"},
                       {svc, text("x"), 4, "0 0 3"}, // a value of another kind stays
                       {svc, "", 5, "5 0 0"},
                       {[] { return new ListenModeRequest(); },
                        std::string("i:8:\x10\0\0\0\0\0\0\0", 12), 4, "0 16 0"},
                       {prop, pairs(2), 4, "0 2:1 0"},
                       {prop, pairs(2), 0, "-"},
                       {prop, text("k1") + text("1"), 4, "-"}, // cut before the empty key
                       {prop, pairs(Request::max_params), 4, "0 65536:1 0"},
                       {prop, pairs(Request::max_params + 1), 4, "-"},
                       {[] { return new LogRequest("t"); }, "", 9, "9  0"}};
    for (auto const &c : cases) {
        SCOPED_TRACE(c.result);
        std::unique_ptr<Request> r(c.make());
        PeerBuf peer(resp(r->id(), c.error) + c.after);
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
            if (auto *x = dynamic_cast<PropertyRequest *>(r.get()))
                result += std::to_string(x->properties().size()) + ":" + x->get("k1");
            result += " " + std::to_string(peer.unread().size());
        }
        EXPECT_EQ(c.result, result);
        Variable::release(got);
    }
}

// Answers with a fixed error; a picky one passes requests without "me" down.
struct Fixed : RequestHandler {
    Fixed(char const *name, int error, bool picky)
        : RequestHandler(name), error_(error), picky_(picky) {}
    bool handler(ResuestHandlerManager &m, Pipe *p, Stream &s, Request &q, Response &r) override {
        if (picky_ && !q.is_param_present("me"))
            return RequestHandler::handler(m, p, s, q, r);
        return r.error(error_), r.serialize(s);
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

TEST(Dispatch, RegistryChainsAndAnswers) {
    EXPECT_EQ(resp(12, 3), served("test_unserved") + served("notify_request"));
    {
        Fixed first("test_chain", 21, false);
        {
            Fixed second("test_chain", 22, true), third("test_chain", 23, true);
            EXPECT_TRUE(third.previous() == &second && second.previous() == &first);
            EXPECT_EQ(nullptr, ResuestHandlerManager::add_handler("test_chain", &third));
            EXPECT_EQ(resp(12, 23) + resp(12, 21),
                      served("test_chain", true) + served("test_chain"));
        }
        EXPECT_EQ(resp(12, 21), served("test_chain", true));
    }
    EXPECT_EQ(resp(12, 3), served("test_chain"));
    Fixed lonely("test_lonely", 1, false);
    { Fixed copy(lonely); } // not registered, so its end unregisters nothing
    EXPECT_EQ(resp(12, 1), served("test_lonely"));
}

typedef std::vector<std::pair<std::string, std::string>> Params;

std::string req(char const *name, Params const &params) {
    Request r(name, 9);
    for (auto const &p : params)
        r.set_param(p.first.c_str(), p.second.c_str());
    return frame_of(r);
}

// The answer of the helper's handlers to one frame, "drop" when it ends the connection.
std::string ask(HelperRequests &requests, std::string const &frame) {
    std::string answer;
    return requests.handle_frame(nullptr, frame.data(), frame.size(), answer) ? answer : "drop";
}

// The helper's requests served in process, the stores living across the rows.
TEST(HelperRequests, AnswersByteForByte) {
    TempFolder folder(L"zem handlers");
    PolicyGroup tree("root");
    tree.add(new PolicyGroup("child"));
    std::string const whole = frame_of(tree);
    auto policy = [&](char const *key, char const *file, std::string const &content) {
        EXPECT_TRUE(write_file(folder.path() + L"\\" + widen(file), content));
        return req("load_policy", {{key, folder.narrow_file(file)}});
    };
    std::string const colour = text("colour") + text("blue"), end = text("");
    std::string const zero = "v:Request:" + i4(9) + text("property_request") + u8(1);
    std::string const pipe = "\\\\.\\pipe\\zem_policy_" + std::to_string(GetCurrentProcessId());
    Handle server(CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 4, 0, 0, 0, nullptr));
    struct {
        std::string frame, answer;
    } const cases[] = {
        {req("property_request", {{"+colour", "blue"}, {"+size", "3"}, {"+", "x"}}),
         resp(9, 4) + end},
        {req("property_request", {{"-size", ""}, {"?size", ""}, {"?colour", ""}, {"?", ""}}),
         resp(9, 4) + colour + end},
        {zero + "s:3:+\0z"s + text("1"), resp(9, ERROR_INVALID_DATA)},    // a zero byte in a name
        {zero + text("+bad") + "s:3:v\0z"s, resp(9, ERROR_INVALID_DATA)}, // or in a value
        {req("property_request", {{"*", ""}}), resp(9, 4) + colour + end},
        {req("print_log", {{"log", "a\nb"}, {"level", "99"}}), resp(9, 0)},
        {req("register_process", {{"pid", "5"}, {"token", "t"}}), resp(9, 0)},
        {req("query_service", {{"service", "zem_no_such_service"}}), resp(9, 4) + i4(0)},
        {req("global_hook", {}), resp(9, 3)},
        {req("run_command", {{"cmd", "cmd.exe /c exit"}}), resp(9, 3)},
        {frame_of(NotifyRequest("n")), ""},
        {req("load_policy", {}), resp(9, ERROR_INVALID_PARAMETER)},
        {req("load_policy", {{"path", ""}}), resp(9, ERROR_INVALID_PARAMETER)},
        {policy("path", "whole", whole), resp(9, 0)},
        {policy("load", "loaded", whole), resp(9, 0)},
        {policy("path", "cut", whole.substr(0, whole.size() - 4)), resp(9, ERROR_INVALID_DATA)},
        {policy("path", "trailing", whole + "n:"), resp(9, ERROR_INVALID_DATA)},
        {policy("path", "empty", ""), resp(9, ERROR_INVALID_DATA)},
        {req("load_policy", {{"path", folder.narrow_file("missing")}}),
         resp(9, ERROR_INVALID_DATA)},
        {req("load_policy", {{"path", "\\\\.\\NUL"}}), resp(9, ERROR_INVALID_DATA)},
        {req("load_policy", {{"path", pipe}}), resp(9, ERROR_INVALID_DATA)}, // never waits on it
        {req("load_policy", {{"clear", ""}, {"path", folder.narrow_file("cut")}}), resp(9, 0)},
        {resp(9, 0), "drop"},
        {req("x", {}) + "n:", "drop"},
        {req("x", {}).substr(0, 20), "drop"}};
    HelperRequests requests;
    for (auto const &c : cases) {
        SCOPED_TRACE(c.frame.substr(0, 60));
        EXPECT_EQ(c.answer, ask(requests, c.frame));
    }
}

// The property store holds at most 4096 names and 1 MiB of names and values: what would pass
// either bound is not stored, a name already there may still change, what leaves makes room.
TEST(HelperRequests, PropertyStoreIsBounded) {
    Params many{{"?k4095", ""}, {"?k4096", ""}};
    for (int i = 0; i <= 4096; ++i)
        many.emplace_back("+k" + std::to_string(10000 + i).substr(1), "v");
    std::string const full((1 << 20) - 1, 'x'), nothing = resp(9, 4) + text(""); // "a" and it
    std::pair<Params, std::string> const cases[] = {
        {many, resp(9, 4) + text("k4095") + text("v") + text("")},
        {{{"+k0000", "w"}, {"+k9999", "w"}, {"?k0000", ""}, {"?k9999", ""}},
         resp(9, 4) + text("k0000") + text("w") + text("")},
        {{{"+a", full}, {"+b", ""}, {"?b", ""}}, nothing}, // on an empty store from here on
        {{{"-a", ""}}, nothing},
        {{{"+b", ""}, {"?b", ""}}, resp(9, 4) + text("b") + text("") + text("")}};
    std::unique_ptr<HelperRequests> requests(new HelperRequests());
    for (auto const &c : cases) {
        SCOPED_TRACE(c.first.front().first);
        if (c.first.front().first == "+a")
            requests.reset(), requests.reset(new HelperRequests());
        EXPECT_EQ(c.second, ask(*requests, req("property_request", c.first)));
    }
}

// Pipelined frames with a notification among them, and a frame that arrives a byte at a time.
TEST_F(Helper, AnswersEachRequestButNoNotification) {
    std::unique_ptr<HandleStream> s(client());
    std::string bytes = frame_of(Request("a", 101)) + frame_of(NotifyRequest("reload_policy")) +
                        frame_of(Request("print_log", 102));
    ASSERT_TRUE(s->write_(bytes.data(), bytes.size()));
    for (char ch : frame_of(Request("split", 103)))
        ASSERT_TRUE(s->write_(&ch, 1));
    for (int i = 0; i < 3; ++i) {
        Held v(s->load(), Variable::release);
        EXPECT_EQ(resp(101 + i, i == 1 ? 0 : 3), frame_of(*v));
    }
}

TEST_F(Helper, HostileClientsAreDroppedOrRefusedAndOthersServed) {
    std::string const head = "v:Request:" + i4(1) + text("x");
    std::pair<std::string, int> const cases[] = {
        {"hello, dispatcher\n", -1},
        {head + u8(0x7FFFFFFF), -1},
        {head + u8(1) + text("log") + "s::" + std::string(2 << 20, 'a'), -1}}; // past the limit
    HANDLE silent = connect_to(pipe_);                                         // holds nobody up
    for (auto const &c : cases) {
        SCOPED_TRACE(c.first.substr(0, 40));
        EXPECT_EQ(c.second, answer(c.first));
        EXPECT_EQ(3, answer(frame_of(Request("run_command", 2))));
    }
    CloseHandle(silent);
}

// 200 connections that never write: a new client is still answered, and the idle ones are
// dropped within the time-out (those beyond 16 from one process sooner, when newer ones arrive).
TEST_F(Helper, IdleClientsLockNobodyOut) {
    std::vector<HANDLE> idle(200, INVALID_HANDLE_VALUE);
    ULONGLONG const start = GetTickCount64(); // a helper that stays busy fails, not hangs
    for (HANDLE &h : idle)
        while ((h = CreateFileA(pipe_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0,
                                0)) == INVALID_HANDLE_VALUE &&
               GetTickCount64() - start < 3000)
            WaitNamedPipeA(pipe_.c_str(), 50);
    ULONGLONG const connected = GetTickCount64();
    auto alive = [&idle] {
        return std::count_if(idle.begin(), idle.end(),
                             [](HANDLE h) { return PeekNamedPipe(h, 0, 0, 0, 0, 0) != FALSE; });
    };
    EXPECT_EQ(0, std::count(idle.begin(), idle.end(), INVALID_HANDLE_VALUE));
    EXPECT_EQ(0, answer(frame_of(LogRequest("after the idle ones", 7)))); // within 2 s
    while (alive() > 0 && GetTickCount64() - connected < kIdleMs + 1000u)
        Sleep(20); // no event tells of a pipe the server has closed
    EXPECT_LE(alive(), 0);
    for (HANDLE h : idle)
        CloseHandle(h);
}

TEST_F(Helper, LoadFromThreads) {
    int const kThreads = 8, kRequests = 60;
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
                good += sent(log, *s) == 0 && sent(p, *s) == 0 &&
                        std::to_string(i) == p.get(key.c_str());
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(kThreads * kRequests, good.load());
}

TEST_F(Helper, EndsWithTheProcessItServes) {
    DWORD pid = 0, owner_pid = 0;
    Handle owner(start(folder_->path(), GetCurrentProcessId(), owner_pid));
    Handle helper(start(folder_->path(), owner_pid, pid));
    CloseHandle(connect_to(pipe_of(pid)));
    TerminateProcess(owner.get(), 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(helper.get(), 20000));
}

// After the shared helper has gone: nothing is started without `start`; with it, the helper named
// by "DispPath" in each form is started once, found again, and replaced once it has ended.
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
        EXPECT_TRUE(server_of(pipe) == server_of(again) && server_of(pipe) != last);
        last = server_of(pipe);
        HandleStream s(pipe.detach());
        EXPECT_TRUE(Request("x", -1).send_and_release(s));
        Handle helper(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, last));
        TerminateProcess(helper.get(), 0);
        WaitForSingleObject(helper.get(), 10000);
    }
}

} // namespace

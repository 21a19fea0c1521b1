// The request catalogue: names, the parameters each constructor fills, and
// the four readers of values sent after a response with error 4.
#include "request/DuplexBuf.h"
#include "request/Requests.h"
#include "serialize/Stream.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

using namespace zem::vfs;
using zem::vfs::test::DuplexBuf;
using zem::vfs::test::frame_of;
using zem::vfs::test::i4;
using zem::vfs::test::response_frame;
using zem::vfs::test::text;

namespace {

// Sends `r` to a peer that answers with `answer`; true when send returned a
// response. `unread` receives what the request left in the stream.
bool answered(Request &r, std::string const &answer, std::string *unread = nullptr) {
    DuplexBuf buf(answer);
    Stream s(buf);
    Response *resp = r.send(s, true);
    if (unread)
        *unread = buf.unread();
    if (resp == nullptr)
        return false;
    EXPECT_EQ(r.id(), resp->id());
    resp->release();
    return true;
}

Request::Params params(std::initializer_list<std::pair<char const *, char const *>> list) {
    Request::Params p;
    for (auto const &kv : list)
        p[kv.first] = kv.second;
    return p;
}

} // namespace

TEST(Catalogue, Names) {
    EXPECT_STREQ("run_command", req_name<CommandRequest>());
    EXPECT_STREQ("global_hook", req_name<GlobalHookRequest>());
    EXPECT_STREQ("hook_help", req_name<HookHelpRequest>());
    EXPECT_STREQ("listen_mode", req_name<ListenModeRequest>());
    EXPECT_STREQ("print_log", req_name<LogRequest>());
    EXPECT_STREQ("notify_request", req_name<NotifyRequest>());
    EXPECT_STREQ("load_policy", req_name<PolicyRequest>());
    EXPECT_STREQ("property_request", req_name<PropertyRequest>());
    EXPECT_STREQ("register_process", req_name<SelfRequest>());
    EXPECT_STREQ("query_service", req_name<ServiceRequest>());
    EXPECT_STREQ("start_param", req_name<StartParamRequest>());
    EXPECT_STREQ("print_log", LogRequest("x").name());
    EXPECT_STREQ("notify_request", NotifyRequest("x").name());
}

TEST(Catalogue, EveryTypeTakesAFreshIdAndTravelsAsARequest) {
    LogRequest a("x");
    PropertyRequest b;
    EXPECT_EQ(a.id() + 1, b.id());
    EXPECT_STREQ("Request", b.distinguish());
    EXPECT_EQ(0, std::string(frame_of(b)).find("v:Request:"));
    Variable *copy = a.clone();
    EXPECT_STREQ("Request", copy->distinguish());
    EXPECT_EQ(nullptr, dynamic_cast<LogRequest *>(copy));
    EXPECT_EQ(frame_of(a), frame_of(*copy));
    copy->release();
}

TEST(Catalogue, CommandParameters) {
    EXPECT_EQ(params({{"cmd", "notepad"}}), CommandRequest("notepad", -1, nullptr).params());
    EXPECT_EQ(params({{"cmd", "notepad"}, {"session", "2"}, {"directory", "C:\\"}}),
              CommandRequest("notepad", 2, "C:\\").params());
    EXPECT_EQ(params({{"session", "0"}}), CommandRequest(nullptr, 0, nullptr).params());
}

TEST(Catalogue, HookAndStartParameters) {
    EXPECT_EQ(params({{"sid", "3"}, {"domain", "D"}, {"user", "U"}}),
              GlobalHookRequest(3, "D", "U").params());
    EXPECT_EQ(params({{"sid", "-1"}}), GlobalHookRequest(-1, nullptr, nullptr).params());
    EXPECT_EQ(params({{"process_name", "a.exe"}}), GlobalHookRequest("a.exe").params());
    EXPECT_EQ(params({{"pid", "0"}}), GlobalHookRequest(0).params());
    EXPECT_EQ(params({{"pid", "77"}}), HookHelpRequest(77).params());
    EXPECT_EQ(params({{"sid", "1"}, {"user", "U"}}), StartParamRequest(1, nullptr, "U").params());
    EXPECT_TRUE(ListenModeRequest().params().empty());
}

TEST(Catalogue, LogParameters) {
    EXPECT_EQ(params({{"log", "text"}}), LogRequest("text").params());
    EXPECT_EQ(params({{"log", "text"}}), LogRequest("text", 0).params());
    EXPECT_EQ(params({{"log", "text"}, {"level", "-3"}}), LogRequest("text", -3).params());
    EXPECT_EQ(params({{"log", "text"}, {"level", "7"}}), LogRequest("text", 7).params());
    EXPECT_TRUE(LogRequest(nullptr).params().empty());
}

TEST(Catalogue, PolicyParameters) {
    EXPECT_TRUE(PolicyRequest().params().empty());
    PolicyRequest p("C:\\p.bin");
    p.clear();
    p.load("C:\\q.bin");
    EXPECT_EQ(params({{"path", "C:\\p.bin"}, {"clear", ""}, {"load", "C:\\q.bin"}}), p.params());
}

TEST(Catalogue, PropertyParameters) {
    PropertyRequest p;
    p.add("", "v");
    p.add(nullptr, "v");
    p.add("k", nullptr);
    p.remove("");
    p.remove(nullptr);
    EXPECT_TRUE(p.params().empty());
    p.add("k", "v");
    p.remove("gone");
    p.query("one");
    EXPECT_EQ(params({{"+k", "v"}, {"-gone", ""}, {"?one", ""}}), p.params());
    PropertyRequest all;
    all.query("");
    EXPECT_EQ(params({{"*", ""}}), all.params());
    PropertyRequest all2;
    all2.query(nullptr);
    EXPECT_EQ(params({{"*", ""}}), all2.params());
}

TEST(Catalogue, SelfAndServiceParameters) {
    std::string pid = std::to_string(GetCurrentProcessId());
    EXPECT_EQ(params({{"pid", pid.c_str()}}), SelfRequest().params());
    EXPECT_EQ(params({{"pid", pid.c_str()}, {"token", "T"}}), SelfRequest("T").params());
    EXPECT_EQ(params({{"service", "svc"}}), ServiceRequest("svc").params());
}

TEST(CatalogueAnswers, CommandReadsThePidAndKeepsError4) {
    CommandRequest r("x", -1, nullptr);
    unsigned int pid = 1234;
    std::string value = "I:4:" + std::string(reinterpret_cast<char const *>(&pid), 4);
    ASSERT_TRUE(answered(r, response_frame(r.id(), 4) + value));
    EXPECT_EQ(1234, r.get_pid());
    EXPECT_EQ(4, r.error());

    CommandRequest ok("x", -1, nullptr);
    EXPECT_TRUE(answered(ok, response_frame(ok.id(), 0)));
    EXPECT_EQ(0, ok.get_pid());
    CommandRequest refused("x", -1, nullptr);
    EXPECT_FALSE(answered(refused, response_frame(refused.id(), 3)));
    EXPECT_EQ(3, refused.error());
}

TEST(CatalogueAnswers, ListenModeReadsTheEvent) {
    ListenModeRequest r;
    long long event = 0x1234;
    std::string value = "i:8:" + std::string(reinterpret_cast<char const *>(&event), 8);
    ASSERT_TRUE(answered(r, response_frame(r.id(), 4) + value));
    EXPECT_EQ(reinterpret_cast<void *>(0x1234), r.getEvent());
    EXPECT_EQ(0, r.error());
    ListenModeRequest other;
    EXPECT_TRUE(answered(other, response_frame(other.id(), 5)));
    EXPECT_EQ(nullptr, other.getEvent());
    EXPECT_EQ(5, other.error());
}

TEST(CatalogueAnswers, ServiceReadsTheIdOrKeepsZeroWhenTheValueIsMissing) {
    ServiceRequest r("svc");
    ASSERT_TRUE(answered(r, response_frame(r.id(), 4) + i4(4242)));
    EXPECT_EQ(4242, r.service_id());
    EXPECT_EQ(0, r.error());

    // The value is of another kind: the tag does not match, nothing is read.
    ServiceRequest missing("svc");
    std::string unread;
    ASSERT_TRUE(answered(missing, response_frame(missing.id(), 4) + text("no"), &unread));
    EXPECT_EQ(0, missing.service_id());
    EXPECT_EQ(0, missing.error());
    EXPECT_EQ(std::string("no") + '\0', unread.substr(1));

    ServiceRequest other("svc");
    EXPECT_TRUE(answered(other, response_frame(other.id(), 3)));
    EXPECT_EQ(3, other.error());
}

TEST(CatalogueAnswers, PropertyReadsPairsUntilTheEmptyKey) {
    PropertyRequest r;
    r.query("a");
    std::string pairs = text("a") + text("1") + text("b") + text("2") + text("") + text("after");
    std::string unread;
    ASSERT_TRUE(answered(r, response_frame(r.id(), 4) + pairs, &unread));
    EXPECT_STREQ("1", r.get("a"));
    EXPECT_STREQ("2", r.get("b"));
    EXPECT_EQ(nullptr, r.get("c"));
    EXPECT_EQ(nullptr, r.get(nullptr));
    EXPECT_EQ(0, r.error());
    EXPECT_EQ(text("after"), unread);

    PropertyRequest zero;
    EXPECT_FALSE(answered(zero, response_frame(zero.id(), 0)));
    EXPECT_EQ(0, zero.error());
    PropertyRequest none;
    EXPECT_TRUE(answered(none, response_frame(none.id(), 4) + text("")));
    EXPECT_TRUE(none.properties().empty());
}

TEST(CatalogueAnswers, PropertyPairsCutShortByAClosedPipe) {
    PropertyRequest r;
    EXPECT_FALSE(answered(r, response_frame(r.id(), 4) + text("a") + text("1") + "s::b"));
    PropertyRequest s;
    EXPECT_FALSE(answered(s, response_frame(s.id(), 4)));
}

TEST(CatalogueAnswers, OtherTypesReturnTheResponseWhateverItsError) {
    LogRequest r("x");
    EXPECT_TRUE(answered(r, response_frame(r.id(), 17)));
    EXPECT_EQ(17, r.error());
}

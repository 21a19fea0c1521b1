// Proxy objects from HttpSession::get_proxy: direct connections, HTTP CONNECT
// through the scripted proxy and squid (Basic and Digest), SOCKS 4 and 5
// through dante and the scripted SOCKS servers.
#include "support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>

using namespace httptest;

namespace {

class HttpProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(port("http"), 0) << "peers not running: ZEM_HTTP_PEERS names no ports file "
                                      "(tests/http/peers.sh up <dir> starts them)";
        proxy_log();
        socks_log();
    }
    std::unique_ptr<NetProxy> make(int type, int proxy_port, char const *user = nullptr,
                                   char const *password = nullptr) {
        return std::unique_ptr<NetProxy>(
            session.get_proxy(type, "127.0.0.1", proxy_port, user, password));
    }
    unsigned short http() const { return static_cast<unsigned short>(port("http")); }
    std::string echo_of(std::string const &host_header) const {
        return "GET /echo HTTP/1.1\r\nHost: " + host_header + "\r\n\r\n";
    }

    HttpSession session;
};

bool has(std::string const &text, std::string const &part) {
    return text.find(part) != std::string::npos;
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out += static_cast<char>(v);
    }
    return out;
}

} // namespace

TEST_F(HttpProxyTest, FactoryTypes) {
    EXPECT_EQ(make(1, 1)->type(), 1);
    EXPECT_EQ(make(2, 1)->type(), 2);
    EXPECT_EQ(make(0, 1)->type(), 0);
    EXPECT_EQ(make(3, 1)->type(), 0);
    EXPECT_EQ(make(-1, 1)->type(), 0);
    std::unique_ptr<NetProxy> direct(session.get_proxy(0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(direct->type(), 0);
}

TEST_F(HttpProxyTest, DirectConnections) {
    auto direct = make(0, 0);
    EXPECT_TRUE(has(get_through(direct->connect("127.0.0.1", http()), "d"), echo_of("d")));
    EXPECT_TRUE(has(get_through(direct->connect("localhost", http()), "l"), echo_of("l")));
    EXPECT_EQ(direct->connect("127.0.0.1", static_cast<unsigned short>(closed_port())), kAllBits);
    EXPECT_EQ(direct->connect("127.0.0.1", 0), kAllBits);
    EXPECT_EQ(direct->connect("", http()), kAllBits);
    EXPECT_EQ(direct->connect(nullptr, http()), kAllBits);
}

TEST_F(HttpProxyTest, ConnectTunnel) {
    auto proxy = make(1, port("proxy"));
    uint64 s = proxy->connect("ok.test", 81);
    ASSERT_NE(s, kAllBits);
    EXPECT_TRUE(has(get_through(s, "ok.test:81"), echo_of("ok.test:81")));
    std::vector<std::string> log = proxy_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "CONNECT ok.test:81 HTTP/1.0\r\n\r\n");
}

TEST_F(HttpProxyTest, RefusedWithoutSecondAttempt) {
    for (char const *host :
         {"forbidden.test", "noreason.test", "nochallenge.test", "longline.test"}) {
        auto proxy = make(1, port("proxy"), "alice", "secret");
        EXPECT_EQ(proxy->connect(host, 81), kAllBits) << host;
        EXPECT_EQ(proxy_log().size(), 1u) << host;
    }
    EXPECT_EQ(make(1, closed_port())->connect("ok.test", 81), kAllBits);
    std::unique_ptr<NetProxy> nameless(session.get_proxy(1, nullptr, port("proxy"), "a", "b"));
    EXPECT_EQ(nameless->connect("ok.test", 81), kAllBits);
}

TEST_F(HttpProxyTest, DigestAfter407ThenTunnel) {
    auto proxy = make(1, port("proxy"), "alice", "secret");
    uint64 s = proxy->connect("digest.test", 81);
    ASSERT_NE(s, kAllBits);
    EXPECT_TRUE(has(get_through(s, "digest.test:81"), echo_of("digest.test:81")));
    std::vector<std::string> log = proxy_log();
    ASSERT_EQ(log.size(), 2u); // two TCP connections to the proxy
    EXPECT_EQ(log[0], "CONNECT digest.test:81 HTTP/1.0\r\n\r\n");
    std::string const value = authorization_of(log[1]);
    EXPECT_EQ(log[1], "CONNECT digest.test:81 HTTP/1.0\r\nProxy-Authorization: " + value +
                          "\r\nHost: digest.test\r\n\r\n");

    auto fields = digest_fields(value);
    std::vector<std::string> names;
    std::map<std::string, std::string> f;
    for (auto const &field : fields) {
        names.push_back(field.first);
        f[field.first] = field.second;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"username", "nc", "algorithm", "cnonce", "nonce",
                                               "opaque", "qop", "realm", "response", "uri"}));
    EXPECT_EQ(value.rfind("Digest username=\"alice\",nc=00000001,algorithm=\"MD5\",cnonce=\"", 0),
              0u);
    EXPECT_EQ(f["algorithm"], "MD5");
    EXPECT_EQ(f["nonce"], "n0nce-1");
    EXPECT_EQ(f["opaque"], "op4que");
    EXPECT_EQ(f["qop"], "auth");
    EXPECT_EQ(f["realm"], "zem");
    EXPECT_EQ(f["uri"], "digest.test:81");
    std::string const ha1 = md5("alice:zem:secret");
    std::string const ha2 = md5("CONNECT:digest.test:81");
    EXPECT_EQ(f["response"], md5(ha1 + ":n0nce-1:00000001:" + f["cnonce"] + ":auth:" + ha2));

    // The object keeps its credentials: the next connect sends them at once,
    // with the next nonce count and the same client nonce.
    s = proxy->connect("digest.test", 81);
    ASSERT_NE(s, kAllBits);
    close_socket(s);
    log = proxy_log();
    ASSERT_EQ(log.size(), 1u);
    auto again = digest_fields(authorization_of(log[0]));
    std::map<std::string, std::string> g(again.begin(), again.end());
    EXPECT_EQ(g["nc"], "00000002");
    EXPECT_EQ(g["cnonce"], f["cnonce"]);
    EXPECT_EQ(g["response"], md5(ha1 + ":n0nce-1:00000002:" + f["cnonce"] + ":auth:" + ha2));
}

TEST_F(HttpProxyTest, DigestRefusedTwiceFails) {
    auto proxy = make(1, port("proxy"), "alice", "secret");
    EXPECT_EQ(proxy->connect("digest-twice.test", 81), kAllBits);
    std::vector<std::string> log = proxy_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(authorization_of(log[0]), "");
    EXPECT_EQ(authorization_of(log[1]).substr(0, 7), "Digest ");
    // Wrong credentials end the same way.
    auto wrong = make(1, port("proxy"), "alice", "wrong");
    EXPECT_EQ(wrong->connect("digest.test", 81), kAllBits);
    EXPECT_EQ(proxy_log().size(), 2u);
    // Later connects of a refused object send credentials once and stop.
    EXPECT_EQ(wrong->connect("digest.test", 81), kAllBits);
    EXPECT_EQ(proxy_log().size(), 1u);
}

TEST_F(HttpProxyTest, BasicAfter407And401) {
    for (char const *host : {"basic.test", "unauthorized.test", "lower.test"}) {
        auto proxy = make(1, port("proxy"), "alice", "secret");
        uint64 s = proxy->connect(host, 443);
        ASSERT_NE(s, kAllBits) << host;
        close_socket(s);
        std::vector<std::string> log = proxy_log();
        ASSERT_EQ(log.size(), 2u) << host;
        EXPECT_EQ(log[1], "CONNECT " + std::string(host) +
                              ":443 HTTP/1.0\r\nProxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n"
                              "Host: " +
                              host + "\r\n\r\n");
    }
}

TEST_F(HttpProxyTest, FirstBasicOrDigestChallengeWins) {
    // Negotiate first, then Digest, then Basic: the Digest challenge is used.
    auto proxy = make(1, port("proxy"), "alice", "secret");
    uint64 s = proxy->connect("multi.test", 81);
    ASSERT_NE(s, kAllBits);
    close_socket(s);
    std::vector<std::string> log = proxy_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(authorization_of(log[1]).substr(0, 7), "Digest ");
}

TEST_F(HttpProxyTest, CredentialsAreMaskedInTheLog) {
    LogCapture capture;
    auto basic = make(1, port("proxy"), "alice", "secret");
    close_socket(basic->connect("basic.test", 81));
    auto digest = make(1, port("proxy"), "alice", "secret");
    close_socket(digest->connect("digest.test", 81));
    std::string const text = capture.text();
    EXPECT_TRUE(has(text, "] HTTP Proxy connect: CONNECT basic.test:81 HTTP/1.0\r\n\r\n")) << text;
    EXPECT_TRUE(has(text, "] HTTP Proxy connect: CONNECT basic.test:81 HTTP/1.0\r\n"
                          "Proxy-Authorization: Basic ********\r\nHost: basic.test\r\n\r\n"))
        << text;
    EXPECT_TRUE(has(text, "] HTTP Proxy connect: CONNECT digest.test:81 HTTP/1.0\r\n"
                          "Proxy-Authorization: Digest ********\r\nHost: digest.test\r\n\r\n"))
        << text;
    EXPECT_FALSE(has(text, "YWxpY2U6c2VjcmV0"));
    EXPECT_FALSE(has(text, "response="));
    EXPECT_FALSE(has(text, "username="));
    EXPECT_EQ(proxy_log().size(), 4u);
}

TEST_F(HttpProxyTest, LineBreaksNeverReachTheProxy) {
    auto proxy = make(1, port("proxy"), "alice", "secret");
    EXPECT_EQ(proxy->connect("ok.test:1 HTTP/1.0\r\nX-Injected: 1\r\n", 81), kAllBits);
    EXPECT_TRUE(proxy_log().empty());
    // A user name with a line break cannot go into the Digest value.
    auto injected = make(1, port("proxy"), "al\r\nX-Injected: 1", "secret");
    EXPECT_EQ(injected->connect("digest.test", 81), kAllBits);
    std::vector<std::string> log = proxy_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_FALSE(has(log[0], "X-Injected"));
}

TEST_F(HttpProxyTest, LongTargetsAreSentWhole) {
    std::string const host(5000, 'h');
    auto proxy = make(1, port("proxy"));
    uint64 s = proxy->connect(host.c_str(), 81);
    ASSERT_NE(s, kAllBits);
    close_socket(s);
    std::vector<std::string> log = proxy_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "CONNECT " + host + ":81 HTTP/1.0\r\n\r\n");
}

// --- squid ---------------------------------------------------------------

TEST_F(HttpProxyTest, SquidBasic) {
    auto proxy = make(1, port("squid_basic"), "alice", "secret");
    std::string const target = "127.0.0.1:" + std::to_string(http());
    EXPECT_TRUE(has(get_through(proxy->connect("127.0.0.1", http()), target), echo_of(target)));
    // Known credentials go out at once on the next connect.
    EXPECT_TRUE(has(get_through(proxy->connect("127.0.0.1", http()), target), echo_of(target)));
    EXPECT_EQ(make(1, port("squid_basic"), "alice", "wrong")->connect("127.0.0.1", http()),
              kAllBits);
    EXPECT_EQ(make(1, port("squid_basic"))->connect("127.0.0.1", http()), kAllBits);
}

TEST_F(HttpProxyTest, SquidDigest) {
    auto proxy = make(1, port("squid_digest"), "alice", "secret");
    std::string const target = "127.0.0.1:" + std::to_string(http());
    EXPECT_TRUE(has(get_through(proxy->connect("127.0.0.1", http()), target), echo_of(target)));
    // nc 00000002 with the same nonce and client nonce: squid takes it.
    EXPECT_TRUE(has(get_through(proxy->connect("127.0.0.1", http()), target), echo_of(target)));
    EXPECT_EQ(make(1, port("squid_digest"), "alice", "wrong")->connect("127.0.0.1", http()),
              kAllBits);
    EXPECT_EQ(make(1, port("squid_digest"), "bob", "secret")->connect("127.0.0.1", http()),
              kAllBits);
}

// --- SOCKS ---------------------------------------------------------------

TEST_F(HttpProxyTest, DanteWithoutAuthentication) {
    auto socks = make(2, port("dante"));
    EXPECT_TRUE(has(get_through(socks->connect("127.0.0.1", http()), "s4"), echo_of("s4")));
    // A name is resolved here; the proxy only sees the address.
    EXPECT_TRUE(has(get_through(socks->connect("localhost", http()), "s4"), echo_of("s4")));
    EXPECT_EQ(socks->connect("", http()), kAllBits);
    // Dante refuses the closed target port: SOCKS 4 and SOCKS 5 both fail.
    EXPECT_EQ(socks->connect("127.0.0.1", static_cast<unsigned short>(closed_port())), kAllBits);
}

TEST_F(HttpProxyTest, DanteWithUserNameAndPassword) {
    // SOCKS 4 carries no password: dante refuses it, SOCKS 5 follows.
    auto socks = make(2, port("dante_auth"), "alice", "secret");
    EXPECT_TRUE(has(get_through(socks->connect("127.0.0.1", http()), "s5"), echo_of("s5")));
    EXPECT_EQ(make(2, port("dante_auth"), "alice", "wrong")->connect("127.0.0.1", http()),
              kAllBits);
    EXPECT_EQ(make(2, port("dante_auth"))->connect("127.0.0.1", http()), kAllBits);
    EXPECT_EQ(make(2, closed_port(), "alice", "secret")->connect("127.0.0.1", http()), kAllBits);
}

TEST_F(HttpProxyTest, SocksFiveOnlyServerBytes) {
    auto socks = make(2, port("socks5"), "alice", "secret");
    EXPECT_TRUE(has(get_through(socks->connect("127.0.0.1", http()), "s"), echo_of("s")));
    std::string const p = bytes({http() >> 8, http() & 0xFF});
    std::vector<std::string> log = socks_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "v4 " + bytes({4, 1}) + p + bytes({127, 0, 0, 1, 0}));
    EXPECT_EQ(log[1], "greeting " + bytes({5, 2, 0, 2}));
    EXPECT_EQ(log[2], "auth " + bytes({1, 5}) + "alice" + bytes({6}) + "secret");
    EXPECT_EQ(log[3], "connect " + bytes({5, 1, 0, 1, 127, 0, 0, 1}) + p);
}

TEST_F(HttpProxyTest, SocksReplyIsReadToItsLengthOnly) {
    // The server sends its reply (with a 10-character bound name) and the
    // first tunnel bytes in one segment; those bytes stay for the caller.
    auto socks = make(2, port("socks5"), "alice", "secret");
    uint64 s = socks->connect("127.0.0.1", 7);
    ASSERT_NE(s, kAllBits);
    EXPECT_EQ(recv_some(s, 7), "BANNER\n");
    close_socket(s);
}

TEST_F(HttpProxyTest, SocksMethodRefused) {
    auto socks = make(2, port("socks5ff"), "alice", "secret");
    EXPECT_EQ(socks->connect("127.0.0.1", http()), kAllBits);
    // The server records the close once it sees it.
    std::vector<std::string> log = socks_log();
    for (int i = 0; i < 50 && log.size() < 3; ++i) {
        Sleep(100);
        std::vector<std::string> more = socks_log();
        log.insert(log.end(), more.begin(), more.end());
    }
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1], "greeting " + bytes({5, 2, 0, 2}));
    EXPECT_EQ(log[2], "closed"); // the client closed its socket
}

TEST_F(HttpProxyTest, SocksCredentialsTooLongAreRefused) {
    std::string const user(256, 'u');
    auto socks = make(2, port("socks5"), user.c_str(), "secret");
    EXPECT_EQ(socks->connect("127.0.0.1", http()), kAllBits);
    std::vector<std::string> log = socks_log();
    ASSERT_EQ(log.size(), 2u); // the SOCKS 4 attempt and the greeting; no truncated name
    EXPECT_EQ(log[1], "greeting " + bytes({5, 2, 0, 2}));
    std::string const longest(255, 'u');
    auto fits = make(2, port("socks5"), longest.c_str(), "");
    EXPECT_EQ(fits->connect("127.0.0.1", http()), kAllBits); // refused by the server
    log = socks_log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2], "auth " + bytes({1, 255}) + longest + bytes({0}));
}

// HttpSession: the request texts as the server receives them, URLs, errors
// and their log records, the KX-FROM report, the gateway tunnel, TLS, and
// the proxy settings of the current user.
#include "support.h"

#include <gtest/gtest.h>

using namespace httptest;

namespace {

class HttpSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(port("http"), 0) << "peers not running: ZEM_HTTP_PEERS names no ports file "
                                      "(tests/http/peers.sh up <dir> starts them)";
        proxy_log();
        socks_log();
    }
    // The request as the scripted server received it.
    std::string echo(HttpStream *stream) {
        StreamHolder s(stream);
        return s ? read_body(s.get()) : std::string("<no stream>");
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(port("http")); }

    HttpSession session;
};

} // namespace

TEST_F(HttpSessionTest, GetRequestText) {
    EXPECT_EQ(echo(session.get(url(port("http"), "/echo").c_str())),
              "GET /echo HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    // Two header lines go after Host, then one empty line.
    EXPECT_EQ(echo(session.get(url(port("http"), "/echo").c_str(), L"X-A: 1\r\nX-B: 2")),
              "GET /echo HTTP/1.1\r\nHost: " + host() + "\r\nX-A: 1\r\nX-B: 2\r\n\r\n");
    // An empty header text adds nothing (no stray empty line).
    EXPECT_EQ(echo(session.get(url(port("http"), "/echo").c_str(), L"")),
              "GET /echo HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    // The session sends no cookie by itself.
    StreamHolder cookie(session.get(
        url(port("http"), raw_path("HTTP/1.1 200 OK\r\nSet-Cookie: s=1\r\n\r\n")).c_str()));
    ASSERT_TRUE(cookie);
    EXPECT_EQ(echo(session.get(url(port("http"), "/echo").c_str())),
              "GET /echo HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    EXPECT_EQ(echo(session.get(url(port("http"), "/echo").c_str(), session.make_cookie().c_str())),
              "GET /echo HTTP/1.1\r\nHost: " + host() + "\r\nCookie: s=1;\r\n\r\n");
}

TEST_F(HttpSessionTest, UrlForms) {
    std::string const p = std::to_string(port("http"));
    // A scheme in capitals, a path with a query, no scheme at all.
    EXPECT_EQ(echo(session.get(widen("HTTP://127.0.0.1:" + p + "/a?b=1&c=%20").c_str())),
              "GET /a?b=1&c=%20 HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    EXPECT_EQ(echo(session.get(widen("127.0.0.1:" + p + "/x/y").c_str())),
              "GET /x/y HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    // No path: "/".
    EXPECT_EQ(echo(session.get(widen("http://127.0.0.1:" + p).c_str())),
              "GET / HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    // Leading blanks and a "+" before the port digits are read as atoi does.
    EXPECT_EQ(echo(session.get(widen("http://127.0.0.1: +" + p + "/z").c_str())),
              "GET /z HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
}

TEST_F(HttpSessionTest, UrlsWithoutHostOrPortFail) {
    LogCapture log;
    EXPECT_EQ(session.get(L"http://127.0.0.1:abc/echo"), nullptr);
    EXPECT_EQ(session.get(L"http:///echo"), nullptr);
    EXPECT_EQ(session.get(L""), nullptr);
    EXPECT_EQ(session.get(nullptr), nullptr);
    EXPECT_EQ(session.post(L"http://:80/", "x", 1), nullptr);
    EXPECT_EQ(session.get_ip(L"http:///"), nullptr);
    EXPECT_EQ(session.connect(L"http:///", nullptr, "r"), nullptr);
    EXPECT_EQ(session.error(), 0);
    std::string text = log.text();
    EXPECT_NE(text.find("] svr or port error, server127.0.0.1 port: 0\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("] svr or port error, server port: 80\n"), std::string::npos) << text;
}

TEST_F(HttpSessionTest, ConnectionFailures) {
    int const closed = closed_port();
    LogCapture log;
    EXPECT_EQ(session.get(url(closed, "/").c_str()), nullptr);
    EXPECT_EQ(session.error(), 0);
    EXPECT_NE(log.text().find("] connect 127.0.0.1 port: " + std::to_string(closed) + "failed\n"),
              std::string::npos)
        << log.text();
    EXPECT_EQ(session.connect("127.0.0.1", static_cast<unsigned short>(closed)), kAllBits);
    EXPECT_EQ(session.connect(nullptr, 80), kAllBits);
    EXPECT_EQ(session.connect(url(closed, "").c_str(), nullptr, "r"), nullptr);
    EXPECT_NE(log.text().find("] connect failed: server:127.0.0.1 port: " + std::to_string(closed) +
                              " error: 0\n"),
              std::string::npos)
        << log.text();
}

TEST_F(HttpSessionTest, PostRequestText) {
    // size 0 sends the head alone, whatever `data` holds.
    EXPECT_EQ(echo(session.post(url(port("http"), "/echo").c_str(), "ignored", 0)),
              "POST /echo HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    EXPECT_EQ(echo(session.post(url(port("http"), "/echo").c_str(), nullptr, 0)),
              "POST /echo HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    // The length comes from the caller's headers.
    EXPECT_EQ(
        echo(session.post(url(port("http"), "/echo").c_str(), "a=1&b=2", 7, L"Content-Length: 7")),
        "POST /echo HTTP/1.1\r\nHost: " + host() + "\r\nContent-Length: 7\r\n\r\na=1&b=2");
    std::string big(300000, 'q');
    big[1234] = '\0';
    std::wstring length = L"Content-Length: " + std::to_wstring(big.size());
    std::string got = echo(
        session.post(url(port("http"), "/echo").c_str(), big.data(), big.size(), length.c_str()));
    ASSERT_GE(got.size(), big.size());
    EXPECT_EQ(got.substr(got.size() - big.size()), big);
    // A refused status fails the post like a get.
    EXPECT_EQ(session.post(url(port("http"), raw_path("HTTP/1.1 500 Oops\r\n\r\n")).c_str(), "x", 1,
                           L"Content-Length: 1"),
              nullptr);
    EXPECT_EQ(session.error(), 500);
}

TEST_F(HttpSessionTest, GetIpReportsTheLocalAddress) {
    EXPECT_EQ(echo(session.get_ip(url(port("http"), "/echo?ip").c_str())),
              "GET /echo?ip HTTP/1.1\r\nHost: " + host() + "\r\nKX-FROM: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(echo(session.get_ip(url(port("http"), "/echo").c_str(), L"X-A: 1\r\nX-B: 2")),
              "GET /echo HTTP/1.1\r\nHost: " + host() +
                  "\r\nKX-FROM: 127.0.0.1\r\nX-A: 1\r\nX-B: 2\r\n\r\n");
    // A long path does not meet a fixed buffer.
    std::string const path = "/echo?" + std::string(3000, 'p');
    std::string const text = echo(session.get_ip(url(port("http"), path).c_str()));
    EXPECT_EQ(text,
              "GET " + path + " HTTP/1.1\r\nHost: " + host() + "\r\nKX-FROM: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(session.get_ip(url(port("http"), raw_path("HTTP/1.1 403 No\r\n\r\n")).c_str()),
              nullptr);
    EXPECT_EQ(session.error(), 403);
}

TEST_F(HttpSessionTest, LongRequestsAreSentWhole) {
    std::string const path = "/echo?" + std::string(6000, 'x');
    std::wstring const headers = L"X-Big: " + std::wstring(5000, L'h');
    EXPECT_EQ(echo(session.get(url(port("http"), path).c_str(), headers.c_str())),
              "GET " + path + " HTTP/1.1\r\nHost: " + host() +
                  "\r\nX-Big: " + std::string(5000, 'h') + "\r\n\r\n");
}

TEST_F(HttpSessionTest, LocationAndCookieQueries) {
    EXPECT_NE(session.query_location(), nullptr);
    EXPECT_STREQ(session.query_location(), L"");
    EXPECT_EQ(session.make_cookie(), L"");
    EXPECT_EQ(session.query_cookie(L"a"), nullptr);
    StreamHolder first(session.get(
        url(port("http"), raw_path("HTTP/1.1 302 Found\r\nLocation: /one\r\nSet-Cookie: b=2\r\n"
                                   "Set-Cookie: a=1\r\n\r\n"))
            .c_str()));
    ASSERT_TRUE(first);
    EXPECT_EQ(session.make_cookie(), L"Cookie: a=1;b=2;");
    StreamHolder second(session.get(
        url(port("http"), raw_path("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")).c_str()));
    ASSERT_TRUE(second);
    EXPECT_STREQ(session.query_location(), L"/one"); // never cleared
    StreamHolder third(session.get(
        url(port("http"), raw_path("HTTP/1.1 200 OK\r\nLocation: /two\r\n\r\n")).c_str()));
    EXPECT_STREQ(session.query_location(), L"/two");
}

TEST_F(HttpSessionTest, TunnelRequestText) {
    std::string const gateway = "127.0.0.1";
    std::string const expected =
        "CONNECT " + host() + " HTTP/1.1\r\nHost: " + gateway + "\r\nX-VPN-Request: req-1\r\n\r\n";
    StreamHolder s(session.connect(url(port("http"), "").c_str(), nullptr, "req-1"));
    ASSERT_TRUE(s);
    // The scripted gateway sends the request back as the first tunnel data.
    EXPECT_EQ(read_exactly(s.get(), expected.size()), expected);
    ASSERT_EQ(s->write("ping", 4), 4);
    EXPECT_EQ(read_exactly(s.get(), 4), "ping");
    // The gateway's headers are dropped: its Set-Cookie is not taken.
    EXPECT_EQ(session.query_cookie(L"tunnel"), nullptr);
}

TEST_F(HttpSessionTest, TunnelCarriesCookiesHeadersAndTarget) {
    StreamHolder cookie(session.get(
        url(port("http"), raw_path("HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\n\r\n")).c_str()));
    ASSERT_TRUE(cookie);
    std::string const expected = "CONNECT 10.1.2.3:443 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                 "X-VPN-Request: r\r\nCookie: a=1;\r\nX-A: 1\r\n\r\n";
    StreamHolder s(
        session.connect(url(port("http"), "/ignored").c_str(), "10.1.2.3:443", "r", L"X-A: 1"));
    ASSERT_TRUE(s);
    EXPECT_EQ(read_exactly(s.get(), expected.size()), expected);

    // A null request gives an empty X-VPN-Request value.
    std::string const empty = "CONNECT t:1 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-VPN-Request: "
                              "\r\nCookie: a=1;\r\n\r\n";
    StreamHolder e(session.connect(url(port("http"), "").c_str(), "t:1", nullptr));
    ASSERT_TRUE(e);
    EXPECT_EQ(read_exactly(e.get(), empty.size()), empty);

    // Long targets and request values do not meet a fixed buffer.
    std::string const target(5000, 't');
    std::string const request(3000, 'r');
    std::string const longer = "CONNECT " + target +
                               " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                               "X-VPN-Request: " +
                               request + "\r\nCookie: a=1;\r\n\r\n";
    StreamHolder l(session.connect(url(port("http"), "").c_str(), target.c_str(), request.c_str()));
    ASSERT_TRUE(l);
    EXPECT_EQ(read_exactly(l.get(), longer.size()), longer);
}

TEST_F(HttpSessionTest, TunnelRefusals) {
    auto status = [](std::string const &answer) { return "status-" + hex(answer); };
    EXPECT_EQ(session.connect(url(port("http"), "").c_str(),
                              status("HTTP/1.1 403 Forbidden\r\n\r\n").c_str(), "r"),
              nullptr);
    EXPECT_EQ(session.error(), 403);
    EXPECT_EQ(
        session.connect(url(port("http"), "").c_str(), status("HTTP/1.1\r\n\r\n").c_str(), "r"),
        nullptr);
    EXPECT_EQ(session.error(), 403); // a status line without a blank leaves it
    // No status line at all.
    EXPECT_EQ(session.connect(url(port("http"), "").c_str(), status("").c_str(), "r"), nullptr);
    StreamHolder ok(session.connect(url(port("http"), "").c_str(),
                                    status("HTTP/1.1 200 Go\r\nX: 1\r\n\r\nDATA").c_str(), "r"));
    ASSERT_TRUE(ok);
    EXPECT_EQ(read_body(ok.get()), "DATA");
}

TEST_F(HttpSessionTest, TlsToSelfSignedServer) {
    // openssl s_server with a certificate made for this run: not verified.
    StreamHolder s(session.get(url(port("tls"), "/", true).c_str()));
    ASSERT_TRUE(s);
    EXPECT_NE(read_body(s.get()).find("<HTML>"), std::string::npos);

    std::string const tls_host = "127.0.0.1:" + std::to_string(port("https"));
    EXPECT_EQ(echo(session.get(url(port("https"), "/a?b=1", true).c_str(), L"X-A: 1")),
              "GET /a?b=1 HTTP/1.1\r\nHost: " + tls_host + "\r\nX-A: 1\r\n\r\n");
    EXPECT_EQ(echo(session.get_ip(url(port("https"), "/echo", true).c_str())),
              "GET /echo HTTP/1.1\r\nHost: " + tls_host + "\r\nKX-FROM: 127.0.0.1\r\n\r\n");
    StreamHolder chunked(session.get(url(port("https"), "/chunked/20000/777", true).c_str()));
    ASSERT_TRUE(chunked);
    bool failed = true;
    EXPECT_EQ(read_body(chunked.get(), &failed).size(), 20000u);
    EXPECT_FALSE(failed);
}

TEST_F(HttpSessionTest, TlsSendsTheServerName) {
    std::wstring const named = widen("https://localhost:" + std::to_string(port("https")) + "/sni");
    EXPECT_EQ(echo(session.get(named.c_str())), "localhost");
    // Never for an address literal.
    EXPECT_EQ(echo(session.get(url(port("https"), "/sni", true).c_str())), "");
}

TEST_F(HttpSessionTest, TlsHandshakeFailureIsARequestNotSent) {
    // The plain server answers the TLS hello with plain text.
    EXPECT_EQ(session.get(url(port("http"), "/echo", true).c_str()), nullptr);
    EXPECT_EQ(session.get_ip(url(port("http"), "/echo", true).c_str()), nullptr);
    EXPECT_EQ(session.post(url(port("http"), "/echo", true).c_str(), "x", 1), nullptr);
    EXPECT_EQ(session.error(), 0);
    EXPECT_EQ(session.connect(url(port("http"), "", true).c_str(), nullptr, "r"), nullptr);
}

TEST_F(HttpSessionTest, TunnelOverTls) {
    std::string const expected = "CONNECT gw:1 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-VPN-Request: "
                                 "tls\r\n\r\n";
    StreamHolder s(session.connect(url(port("https"), "").c_str(), "gw:1", "tls"));
    EXPECT_EQ(s.get(), nullptr); // http scheme on a TLS server: no answer line
    StreamHolder t(session.connect(url(port("https"), "", true).c_str(), "gw:1", "tls"));
    ASSERT_TRUE(t);
    EXPECT_EQ(read_exactly(t.get(), expected.size()), expected);
}

// --- the current user's proxy settings -------------------------------------

TEST_F(HttpSessionTest, NoProxyWhenNotEnabled) {
    {
        ProxySettings settings; // key present, EnableProxy absent
        settings.set_dword(L"ProxyType", 1);
        settings.set_text(L"ProxyServer", "127.0.0.1");
        settings.set_dword(L"ProxyPort", static_cast<unsigned>(port("proxy")));
        EXPECT_EQ(echo(session.get(url(port("http"), "/echo").c_str())),
                  "GET /echo HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
        settings.set_dword(L"EnableProxy", 0);
        EXPECT_NE(echo(session.get(url(port("http"), "/echo").c_str())), "<no stream>");
        settings.set_text(L"EnableProxy", "1x");
        EXPECT_NE(echo(session.get(url(port("http"), "/echo").c_str())), "<no stream>");
    }
    EXPECT_TRUE(proxy_log().empty());
}

TEST_F(HttpSessionTest, HttpProxyFromTheRegistry) {
    ProxySettings settings;
    settings.enable(1, port("proxy"));
    // A URL without port or path: CONNECT to port 80, the Host without port.
    EXPECT_EQ(echo(session.get(L"http://127.0.0.5")), "GET / HTTP/1.1\r\nHost: 127.0.0.5\r\n\r\n");
    std::vector<std::string> log = proxy_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "CONNECT 127.0.0.5:80 HTTP/1.0\r\n\r\n");

    // TLS inside the tunnel, on 8443 and on the default port.
    EXPECT_EQ(echo(session.get(L"https://127.0.0.6:8443/a?b=1")),
              "GET /a?b=1 HTTP/1.1\r\nHost: 127.0.0.6:8443\r\n\r\n");
    EXPECT_EQ(echo(session.get(L"HTTPS://127.0.0.6/a?b=1")),
              "GET /a?b=1 HTTP/1.1\r\nHost: 127.0.0.6\r\n\r\n");
    log = proxy_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "CONNECT 127.0.0.6:8443 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(log[1], "CONNECT 127.0.0.6:443 HTTP/1.0\r\n\r\n");

    // KX-FROM is the local end of the connection to the proxy.
    EXPECT_EQ(echo(session.get_ip(L"http://127.0.0.7:81/ip")),
              "GET /ip HTTP/1.1\r\nHost: 127.0.0.7:81\r\nKX-FROM: 127.0.0.1\r\n\r\n");
    // The bare socket goes through the proxy too.
    uint64 s = session.connect("127.0.0.8", 82);
    ASSERT_NE(s, kAllBits);
    EXPECT_NE(get_through(s, "h").find("GET /echo HTTP/1.1\r\nHost: h\r\n\r\n"), std::string::npos);
    // So does the gateway tunnel.
    StreamHolder t(session.connect(L"http://127.0.0.9:83", "gw:1", "vpn"));
    ASSERT_TRUE(t);
    log = proxy_log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2], "CONNECT 127.0.0.9:83 HTTP/1.0\r\n\r\n");
}

TEST_F(HttpSessionTest, ProxySettingsAsText) {
    ProxySettings settings;
    settings.set_text(L"EnableProxy", "1");
    settings.set_text(L"ProxyType", " 1");
    settings.set_text(L"ProxyServer", "127.0.0.1");
    settings.set_text(L"ProxyPort", std::to_string(port("proxy")));
    EXPECT_EQ(echo(session.get(L"http://127.0.0.5:8080/t")),
              "GET /t HTTP/1.1\r\nHost: 127.0.0.5:8080\r\n\r\n");
    EXPECT_EQ(proxy_log().size(), 1u);
}

TEST_F(HttpSessionTest, ProxyTypeThreeIsDirect) {
    ProxySettings settings;
    settings.enable(3, port("proxy"));
    EXPECT_EQ(echo(session.get(url(port("http"), "/echo").c_str())),
              "GET /echo HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    EXPECT_TRUE(proxy_log().empty());
}

TEST_F(HttpSessionTest, EnabledProxyWithoutPortIsUnusable) {
    ProxySettings settings;
    settings.set_dword(L"EnableProxy", 1);
    settings.set_dword(L"ProxyType", 1);
    settings.set_text(L"ProxyServer", "127.0.0.1");
    // Never a silent direct connection instead.
    EXPECT_EQ(session.get(url(port("http"), "/echo").c_str()), nullptr);
    EXPECT_EQ(session.connect("127.0.0.1", static_cast<unsigned short>(port("http"))), kAllBits);
    settings.set_text(L"ProxyPort", "80 80");
    EXPECT_EQ(session.get(url(port("http"), "/echo").c_str()), nullptr);
    EXPECT_TRUE(proxy_log().empty());
}

TEST_F(HttpSessionTest, SquidDigestFromTheRegistry) {
    ProxySettings settings;
    settings.enable(1, port("squid_digest"));
    settings.set_text(L"ProxyUser", "alice");
    settings.set_text(L"ProxyPassword", "secret");
    // Every request makes a new proxy object: each meets the challenge anew.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(echo(session.get(url(port("http"), "/echo").c_str())),
                  "GET /echo HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    }
    settings.set_text(L"ProxyPassword", "wrong");
    EXPECT_EQ(session.get(url(port("http"), "/echo").c_str()), nullptr);
}

TEST_F(HttpSessionTest, SocksFromTheRegistry) {
    ProxySettings settings;
    settings.enable(2, port("dante_auth"));
    settings.set_dword(L"ProxyUser", 42); // a number is taken as its text: "42"
    settings.set_text(L"ProxyPassword", "secret");
    EXPECT_EQ(session.get(url(port("http"), "/echo").c_str()), nullptr);
    settings.set_text(L"ProxyUser", "alice");
    EXPECT_EQ(echo(session.get(url(port("http"), "/echo").c_str())),
              "GET /echo HTTP/1.1\r\nHost: " + host() + "\r\n\r\n");
    EXPECT_EQ(echo(session.get_ip(url(port("http"), "/echo").c_str())),
              "GET /echo HTTP/1.1\r\nHost: " + host() + "\r\nKX-FROM: 127.0.0.1\r\n\r\n");
}

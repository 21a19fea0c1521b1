// The HTTP client against scripted plain and TLS servers and the real peers of peers.sh.
#include "../../common/http/HttpSession.h"
#include "../../common/http/NetProxy.h"
#include "../../common/log/Log.h"
#include "support/ChildProcess.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <winsock2.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

using namespace zem::vfs;
using namespace zem::vfs::http;
using namespace zem::vfs::test;
using namespace std::string_literals; // "a\0b"s keeps its zero byte

namespace {

uint64 const kNone = static_cast<uint64>(-1);

// A peer's port from the list ("0" when it is not there); no name: its folder.
std::string peers(std::string const &name = "") {
    std::string const path = std::getenv("ZEM_HTTP_PEERS") ? std::getenv("ZEM_HTTP_PEERS") : "";
    std::ifstream in(path);
    for (std::string line; !name.empty() && std::getline(in, line);)
        if (line.rfind(name + "=", 0) == 0)
            return line.substr(name.size() + 1);
    return name.empty() ? path.substr(0, path.find_last_of("/\\") + 1) : "0";
}
std::wstring url(int port, std::string const &path, bool tls = false) {
    return widen((tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port) + path);
}
void close_socket(uint64 s) {
    if (s != kNone)
        closesocket(SOCKET(s));
}
// Everything until the other end closes; the socket is closed then.
std::string recv_all(uint64 s) {
    std::string out;
    char block[4096];
    for (int n; s != kNone && (n = recv(SOCKET(s), block, sizeof block, 0)) > 0;)
        out.append(block, static_cast<std::size_t>(n));
    return close_socket(s), out;
}

// A scripted server. Each connection gets the next answer (the last repeats; empty: closed at
// once; "<|>" splits writes 30 ms apart), then is read until `heads` request heads and the last
// one's body came (0: until the client closes; -1: one block); heard(n) waits for n of them.
class Peer {
public:
    explicit Peer(std::vector<std::string> answers, int heads = 1, bool tls = false)
        : answers_(std::move(answers)), heads_(heads), tls_(tls) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr *>(&address), size);
        listen(listener_, 16);
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
        SSL_CTX_use_certificate_file(ctx_, (peers() + "cert.pem").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(ctx_, (peers() + "key.pem").c_str(), SSL_FILETYPE_PEM);
        thread_ = std::thread([this] { serve(); });
    }
    ~Peer() { closesocket(listener_), thread_.join(), SSL_CTX_free(ctx_); }
    std::vector<std::string> heard(std::size_t n) {
        std::unique_lock<std::mutex> hold(mutex_);
        done_.wait_for(hold, std::chrono::seconds(20), [&] { return heard_.size() >= n; });
        return heard_;
    }
    std::string heard_at(std::size_t i) { return heard(i + 1).at(i); }
    int port = 0;

private:
    void serve() {
        for (std::size_t i = 0;; ++i) {
            SOCKET s = accept(listener_, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                return;
            DWORD const timeout = 20000;
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char const *>(&timeout), 4);
            SSL *ssl = tls_ ? SSL_new(ctx_) : nullptr;
            if (ssl != nullptr && SSL_set_fd(ssl, int(s)) > 0)
                SSL_accept(ssl);
            std::string const &answer = answers_[std::min(i, answers_.size() - 1)];
            std::string got;
            for (std::size_t at = 0, end; !answer.empty() && at <= answer.size(); at = end + 3) {
                end = std::min(answer.find("<|>", at), answer.size());
                ssl ? SSL_write(ssl, &answer[at], int(end - at))
                    : send(s, &answer[at], int(end - at), 0);
                if (end < answer.size())
                    Sleep(30);
            }
            char block[4096];
            for (int n; !answer.empty() && !complete(got) &&
                        (n = ssl ? SSL_read(ssl, block, sizeof block)
                                 : recv(s, block, sizeof block, 0)) > 0;)
                got.append(block, static_cast<std::size_t>(n));
            if (ssl != nullptr)
                SSL_shutdown(ssl), SSL_free(ssl);
            closesocket(s);
            std::lock_guard<std::mutex> hold(mutex_);
            heard_.push_back(got);
            done_.notify_all();
        }
    }
    bool complete(std::string const &got) const {
        std::size_t end = 0, length = 0;
        for (int i = 0; i < heads_; ++i) {
            std::size_t const found = got.find("\r\n\r\n", end);
            if (found == std::string::npos)
                return false;
            std::size_t const at = got.find("Content-Length: ", end);
            length = at < found ? std::stoul(got.substr(at + 16)) : 0;
            end = found + 4;
        }
        return heads_ < 0 ? !got.empty() : heads_ > 0 && got.size() >= end + length;
    }

    std::vector<std::string> answers_;
    int heads_;
    bool tls_;
    SOCKET listener_ = socket(AF_INET, SOCK_STREAM, 0);
    SSL_CTX *ctx_ = SSL_CTX_new(TLS_server_method());
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::vector<std::string> heard_;
};

std::string const kOk = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
std::string const kTunnel = "HTTP/1.0 200 Connection established\r\n\r\nTUNNEL";

struct Release {
    void operator()(HttpStream *s) const { HttpStream::release(s); }
};
using Stream = std::unique_ptr<HttpStream, Release>;

// The body the way a caller reads it; "<fail>" marks a failed chunk size.
std::string read_body(HttpStream *s) {
    std::string body;
    char block[8192];
    bool const chunked = s->query_trunked();
    for (uint64 n = chunked ? s->query_size() : s->content_size(); n != 0;
         n = chunked ? s->query_size() : 0) {
        if (n == kNone && chunked)
            return body + "<fail>";
        for (int64 got; n > 0 && (got = s->read(block, std::min<uint64>(n, sizeof block))) > 0;
             n -= uint64(got))
            body.append(block, std::size_t(got));
        if (n > 0 && chunked)
            return body + "<short>";
    }
    return body;
}

std::unique_ptr<NetProxy> proxy(HttpSession &session, int type, int port, char const *user = "",
                                char const *password = "") {
    return std::unique_ptr<NetProxy>(session.get_proxy(type, "127.0.0.1", port, user, password));
}

struct Http : ::testing::Test {
    HttpSession session;
};

} // namespace

// Response heads and bodies byte for byte, plain and TLS, hostile ones too.
TEST_F(Http, ResponseHeads) {
    // clang-format off
    std::string const te = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", ok = "HTTP/1.1 200 OK\r\n";
    std::string const long_line = "X-Long: " + std::string(4087, 'a'), piece = "Location: http://piece/" + std::string(882, 'b');
    std::string const x4096 = std::string(4091 + 4095, 'x'), a10k(10000, 'a'), z26(26, 'z');
    struct Case { std::string answer; bool ok; int error; uint64 length; bool chunked; std::string location, body; } const cases[] = {
        {"HTTP/1.1 302 Found\r\nLocation: http://x.invalid/n?x=1\r\nContent-Length: 0\r\n\r\n", true, 0, 0, false, "http://x.invalid/n?x=1", ""},
        {"HTTP/1.1 204 No Content\r\n\r\n", false, 204, 0, false, "", ""}, {"HTTP/1.0 404 Not Found\r\n\r\n", false, 404, 0, false, "", ""},
        {"HTTP/1.1 301 Moved\r\nLocation: /x\r\n\r\n", false, 301, 0, false, "", ""}, // head not read
        {"HTTP/1.1\r\n\r\n", false, 0, 0, false, "", ""}, {"", false, 0, 0, false, "", ""},
        {"\r\nHTTP/1.1 200 OK\r\n\r\n", false, 0, 0, false, "", ""}, {"HTTP/1.1 abc Strange\r\n\r\n", false, 0, 0, false, "", ""},
        {ok + "Content-Length:  10\r\n\r\n0123456789", true, 0, 10, false, "", "0123456789"}, {ok + "Content-Length:10\r\n\r\n0123456789", true, 0, kNone, false, "", "0123456789"},
        {ok + "Content-Length:\t7\r\n\r\n", true, 0, kNone, false, "", ""}, {ok + "content-LENGTH: 3\r\n\r\nabcdef", true, 0, 3, false, "", "abc"},
        {ok + "Content-Length: -2\r\n\r\n", true, 0, uint64(-2), false, "", ""}, {ok + "Content-Length: 99999999999999999999\r\n\r\n", true, 0, 2147483647, false, "", ""},
        {ok + "transfer-encoding: CHUNKED\r\n\r\n0\r\n\r\n", true, 0, kNone, true, "", ""},
        {ok + "Transfer-Encoding: chunked \r\n\r\n0\r\n\r\n", true, 0, kNone, false, "", "0\r\n\r\n"},
        {ok + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n", true, 0, kNone, false, "", "0\r\n"}, {ok + "Transfer-Encoding:chunked\r\n\r\n0\r\n", true, 0, kNone, false, "", "0\r\n"},
        {ok + "Content-Lengtx: 3\r\n\r\nabc", true, 0, kNone, false, "", "abc"}, {te + "0X5\r\nhello\r\n0\r\n\r\n", true, 0, kNone, true, "", "hello"},
        {te + "Transfer-Encoding: identity\r\n\r\n0\r\n\r\n", true, 0, kNone, true, "", ""},
        {te + "4\r\nWiki\r\n1a;name=v\r\n" + z26 + "\r\n0\r\n\r\n", true, 0, kNone, true, "", "Wiki" + z26},
        {te + "4\r\nWiki\r\n", true, 0, kNone, true, "", "Wiki<fail>"}, {te + "4\r\nWiki\r\n10\r\nshort", true, 0, kNone, true, "", "Wikishort<short>"},
        {ok + long_line + piece + "\r\nContent-Length: 2\r\n\r\nok", true, 0, 2, false, piece.substr(10), "ok"}, // 4095 + 905
        {ok + "Content-Length: 8\r\n\r\n\r\nbody\r\n", true, 0, 8, false, "", "\r\nbody\r\n"}, // the body stays
        {ok + "X: " + a10k, true, 0, kNone, false, "", ""}, // a line that never ends
        {"HTTP/1.1 200 " + a10k + "\r\nContent-Length: 2\r\n\r\nok", true, 0, 2, false, "", "ok"},
        {"HTTP/1.1 200 OK\r<|>\nContent-Length: 2\r<|>\n\r<|>\nok", true, 0, 2, false, "", "ok"}, // CR at a block's end
        {ok + "Location: /cr\r<|>Content-Length: 2\r\n\r\nok", true, 0, 2, false, "/cr", "ok"},
        {ok + long_line + "\r\nContent-Length: 2\r\n\r\nok", true, 0, kNone, false, "", "Content-Length: 2\r\n\r\nok"}, // CR after a full buffer
        {"HTTP/1.1 200 OK\r\nX: 1\0Location: /nul\r\nContent-Length: 2\r\n\r\nok"s, true, 0, 2, false, "/nul", "ok"},
        {"HTTP/1.1 200\0OK\r\nContent-Length: 1\r\n\r\n!"s, true, 0, 1, false, "", "!"},
        {te + "5;ext=" + std::string(10000, 'x') + "\r\nhello\r\n0\r\n\r\n", true, 0, kNone, true, "", "hello"}, // overlong extension
        {te + "5;e=" + x4096 + "\r\nhello\r\n0\r\n\r\n", true, 0, kNone, true, "", "hello"},
        {te + std::string(5000, '0') + "5\r\nhello\r\n0\r\n\r\n", true, 0, kNone, true, "", "<fail>"}, // overlong size
        {te + std::string(4095, '0') + "5\r\nhello\r\n0\r\n\r\n", true, 0, kNone, true, "", "<fail>"},
        {te + std::string(4093, ' ') + "0x5\r\nhello\r\n0\r\n\r\n", true, 0, kNone, true, "", "<fail>"}};
    // clang-format on
    for (bool tls : {false, true}) {
        for (auto const &c : cases) {
            SCOPED_TRACE((tls ? "tls: " : "plain: ") + c.answer.substr(0, 80));
            Peer peer({c.answer}, 1, tls);
            HttpSession session;
            Stream s(session.get(url(peer.port, "/", tls).c_str()));
            ASSERT_EQ(s != nullptr, c.ok);
            EXPECT_EQ(session.error(), c.error);
            EXPECT_EQ(session.query_location(), widen(c.location));
            if (c.ok) {
                EXPECT_EQ(s->content_size(), c.length);
                EXPECT_EQ(s->query_trunked(), c.chunked);
                EXPECT_TRUE(c.chunked || s->query_size() == 8192u); // a read size, any length
                EXPECT_EQ(read_body(s.get()), c.body);
            }
        }
    }
}

// Line ends as readline sees them.
TEST_F(Http, ReadlineLineEnds) {
    // clang-format off
    struct Step { uint64 size; char const *line; } const steps[] = {{64, "abc"}, {64, "def"}, {64, "x"}, {64, "y"},
        {64, "z"}, {64, ""}, {64, "q"}, {64, "r"}, {4, "abc"}, {1, ""}, {0, ""}, {64, "def"}, {64, "last"}, {64, ""}};
    // clang-format on
    Peer peer({"HTTP/1.1 200 OK\r\n\r\nabc\r\ndef\r\nx\ry\nz\n\r\nq\0r\nabcdef\r\nlast"s});
    Stream s(session.get(url(peer.port, "/").c_str()));
    ASSERT_NE(s, nullptr);
    for (auto const &step : steps) {
        char line[64] = "#"; // size 0 stores nothing at all
        EXPECT_EQ(s->readline(line, step.size), std::strlen(step.line));
        EXPECT_STREQ(line, step.size ? step.line : "#");
    }
}

TEST_F(Http, Cookies) {
    std::string head = "HTTP/1.1 200 OK\r\nSet-Cookie: a=1; Path=/\r\nset-cookie: a=3; HttpOnly\r\n"
                       "Set-Cookie: novalue\r\nSET-COOKIE: c=x=y\r\nSet-Cookie: d=\r\nSet-Cookie:  "
                       "e=5\r\nSet-Cookie:f=6\r\n";
    for (int i = 0; i < 1100; ++i) // the jar keeps at most 1024 names, and updates them
        head += "Set-Cookie: k" + std::to_string(i) + "=v\r\n";
    Peer peer({head + "Set-Cookie: k0=new\r\n\r\n"});
    Stream s(session.get(url(peer.port, "/").c_str()));
    EXPECT_EQ(session.make_cookie().substr(0, 36), L"Cookie:  e=5;a=3;c=x=y;d=;k0=new;k1=");
    EXPECT_STREQ(session.query_cookie(L"k1019"), L"v");
    EXPECT_STREQ(session.query_cookie(L"k1020"), nullptr);
    EXPECT_EQ(session.query_cookie(nullptr), nullptr);
}

// Request texts as the server receives them.
TEST_F(Http, RequestTexts) {
    Peer peer({kOk, "HTTP/1.1 500 Oops\r\n\r\n", kOk});
    // clang-format off
    std::string const p = std::to_string(peer.port), host = "Host: 127.0.0.1:" + p + "\r\n", ip = "KX-FROM: 127.0.0.1\r\n";
    std::string const big = std::string(100000, 'q') + std::string(1, '\0') + "end", path = "/e?" + std::string(6000, 'x');
    struct Case { char kind; std::wstring url, headers; std::string data, request; int error; } const cases[] = {
        {'g', url(peer.port, "/echo"), L"", "", "GET /echo HTTP/1.1\r\n" + host + "\r\n", 0},
        {'p', url(peer.port, "/x"), L"Content-Length: 1", "x", "POST /x HTTP/1.1\r\n" + host + "Content-Length: 1\r\n\r\nx", 500},
        {'g', url(peer.port, "/e"), L"X-A: 1\r\nX-B: 2", "", "GET /e HTTP/1.1\r\n" + host + "X-A: 1\r\nX-B: 2\r\n\r\n", 0},
        {'g', widen("HTTP://127.0.0.1:" + p + "/a?b=1&c=%20"), L"", "", "GET /a?b=1&c=%20 HTTP/1.1\r\n" + host + "\r\n", 0},
        {'g', widen("127.0.0.1:" + p + "/x/y"), L"", "", "GET /x/y HTTP/1.1\r\n" + host + "\r\n", 0},
        {'g', widen("http://127.0.0.1: +" + p), L"", "", "GET / HTTP/1.1\r\n" + host + "\r\n", 0},
        {'g', url(peer.port, path), L"X-Big: " + std::wstring(5000, L'h'), "", "GET " + path + " HTTP/1.1\r\n" + host + "X-Big: " + std::string(5000, 'h') + "\r\n\r\n", 0},
        {'p', url(peer.port, "/e"), L"", "", "POST /e HTTP/1.1\r\n" + host + "\r\n", 0}, // size 0: no data
        {'p', url(peer.port, "/big"), L"Content-Length: 100004", big, "POST /big HTTP/1.1\r\n" + host + "Content-Length: 100004\r\n\r\n" + big, 0},
        {'i', url(peer.port, "/e"), L"X-A: 1", "", "GET /e HTTP/1.1\r\n" + host + ip + "X-A: 1\r\n\r\n", 0},
        {'i', url(peer.port, path), L"", "", "GET " + path + " HTTP/1.1\r\n" + host + ip + "\r\n", 0}};
    // clang-format on
    std::size_t n = 0;
    for (auto const &c : cases) {
        SCOPED_TRACE(c.request.substr(0, 60));
        wchar_t const *headers = c.headers.empty() ? nullptr : c.headers.c_str();
        HttpSession one;
        Stream s(c.kind == 'g' ? one.get(c.url.c_str(), headers)
                 : c.kind == 'p'
                     ? one.post(c.url.c_str(), c.data.empty() ? "ignored" : c.data.data(),
                                c.data.size(), headers)
                     : one.get_ip(c.url.c_str(), headers));
        EXPECT_EQ(s == nullptr, c.error != 0);
        EXPECT_EQ(one.error(), c.error);
        EXPECT_EQ(peer.heard_at(n++), c.request);
    }
}

// The gateway tunnel: its CONNECT text, refusals, the data after its head.
TEST_F(Http, TunnelAndTls) {
    Peer cookie({"HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\n\r\n"});
    Stream c(session.get(url(cookie.port, "/").c_str()));
    // clang-format off
    std::string const go = "HTTP/1.1 200 Go\r\nSet-Cookie: t=1\r\nX: 1\r\n\r\nDATA", target(5000, 't'), request(3000, 'r');
    Peer gateway({go, go, go, go, "HTTP/1.1 403 Forbidden\r\n\r\n", "HTTP/1.1\r\n\r\n", ""}), tls({go}, 1, true);
    std::string const host = " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-VPN-Request: ", cookies = "\r\nCookie: a=1;\r\n";
    struct Case { Peer *peer; char const *target, *request; wchar_t const *headers; std::string sent; int error; } const cases[] = {
        {&gateway, nullptr, "req-1", nullptr, "CONNECT 127.0.0.1:" + std::to_string(gateway.port) + host + "req-1" + cookies + "\r\n", 0},
        {&gateway, "10.1.2.3:443", "r", L"X-A: 1", "CONNECT 10.1.2.3:443" + host + "r" + cookies + "X-A: 1\r\n\r\n", 0},
        {&gateway, "t:1", nullptr, nullptr, "CONNECT t:1" + host + cookies + "\r\n", 0},
        {&gateway, target.c_str(), request.c_str(), nullptr, "CONNECT " + target + host + request + cookies + "\r\n", 0},
        {&gateway, "t:1", "r", nullptr, "", 403}, {&gateway, "t:1", "r", nullptr, "", 403}, // no blank: error kept
        {&gateway, "t:1", "r", nullptr, "", -1}, // no status line: the socket's error
        {&tls, "gw:1", "tls", nullptr, "CONNECT gw:1" + host + "tls" + cookies + "\r\n", -1}}; // error as it was
    // clang-format on
    std::size_t n = 0;
    for (auto const &c : cases) {
        SCOPED_TRACE(n);
        Stream s(session.connect(url(c.peer->port, "/ignored", c.peer == &tls).c_str(), c.target,
                                 c.request, c.headers));
        EXPECT_EQ(s != nullptr, c.sent != "");
        EXPECT_TRUE(c.error < 0 || session.error() == c.error) << session.error();
        if (s != nullptr) {
            char data[8] = {};
            // The gateway's head is gone, also for a caller of the bare socket.
            EXPECT_EQ(n % 2 ? s->read(data, 8) : recv(SOCKET(s->socket()), data, 8, MSG_WAITALL),
                      4);
            EXPECT_STREQ(data, "DATA");
            EXPECT_EQ(c.peer->heard_at(c.peer == &tls ? 0 : n), c.sent);
        }
        ++n;
    }
    EXPECT_EQ(session.query_cookie(L"t"), nullptr); // the gateway's headers are not recorded
    Stream s(session.get(url(std::stoi(peers("tls")), "/", true).c_str()));
    ASSERT_NE(s, nullptr);
    EXPECT_NE(read_body(s.get()).find("<HTML>"), std::string::npos);
}

// Unusable addresses, a closed port, a plain answer to the TLS hello.
TEST_F(Http, FailuresAndTheirRecords) {
    int const closed = Peer({kOk}).port;
    Peer plain({kOk});
    std::wstring const refused = url(closed, "/"), no_tls = url(plain.port, "/", true);
    for (wchar_t const *u :
         {L"http://127.0.0.1:abc/echo", L"http:///echo", L"", static_cast<wchar_t const *>(nullptr),
          refused.c_str(), no_tls.c_str()}) {
        EXPECT_EQ(session.get(u), nullptr);
        EXPECT_EQ(session.post(u, "x", 1), nullptr);
        EXPECT_EQ(session.get_ip(u), nullptr);
        EXPECT_EQ(session.connect(u, nullptr, "r"), nullptr);
    }
    EXPECT_EQ(session.connect("127.0.0.1", static_cast<unsigned short>(closed)), kNone);
    uint64 const open = session.connect("127.0.0.1", static_cast<unsigned short>(plain.port));
    EXPECT_NE(open, kNone);
    close_socket(open);
    EXPECT_EQ(session.connect(nullptr, 80), kNone);
    EXPECT_EQ(session.error(), 0);
}

// CONNECT handshakes: answers, attempts, the tunnel, records without secrets.
TEST_F(Http, HttpProxyHandshakes) {
    std::string const path = peers() + "capture.log";
    Log(nullptr, 0, 8).level(7), Log(nullptr, 0, 8).open(path.c_str());
    // clang-format off
    std::string const basic = "CONNECT b.test:81 HTTP/1.0\r\nProxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\nHost: b.test\r\n\r\n";
    std::string const longhost(5000, 'h'), c407 = "HTTP/1.0 407 A\r\nProxy-Authenticate: ";
    struct Case { std::string host; std::vector<std::string> answers; bool tunnel; std::size_t attempts; std::string last; } const cases[] = {
        {"b.test", {kTunnel}, true, 1, "CONNECT b.test:81 HTTP/1.0\r\n\r\n"}, {"b.test", {"HTTP/1.0 403 No\r\n\r\n", kTunnel}, false, 1, "CONNECT b.test:81 "},
        {"b.test", {"HTTP/1.0 407 No\r\n\r\n", kTunnel}, false, 1, "CONNECT b.test:81 "}, {"b.test", {"HTTP/1.0 200\r\n\r\n", kTunnel}, false, 1, "CONNECT b.test:81 "}, // no reason phrase
        {"b.test", {c407 + "Bearer realm=x\r\n\r\n", kTunnel}, false, 1, "CONNECT b.test:81 "},
        {"b.test", {"HTTP/1.0 200 OK\r\nX: " + std::string(5000, 'a') + "\r\n\r\n"}, false, 1, "CONNECT b.test:81 "},
        {"b.test", {c407 + "Basic realm=x\r\n\r\n", kTunnel}, true, 2, basic},
        {"b.test", {"HTTP/1.1 401 A\r\nProxy-Authenticate: Basic realm=x\r\n\r\n", kTunnel}, true, 2, basic},
        {"b.test", {"HTTP/1.0 407 A\r\nproxy-authenticate:   basic realm=x\r\n\r\n", kTunnel}, true, 2, basic},
        {"b.test", {c407 + "Basic realm=x\r\n\r\n"}, false, 2, basic}, // refused again: no third attempt
        {"b.test", {c407 + "Negotiate\r\nProxy-Authenticate: Digest realm=r, nonce=n\r\nProxy-Authenticate: Basic realm=x\r\n\r\n", kTunnel},
         true, 2, "CONNECT b.test:81 HTTP/1.0\r\nProxy-Authorization: Digest username=\"alice\""},
        {"b.test:1 HTTP/1.0\r\nX-Injected: 1\r\n", {kTunnel}, false, 1, ""}, {longhost, {kTunnel}, true, 1, "CONNECT " + longhost + ":81 HTTP/1.0\r\n\r\n"}};
    // clang-format on
    for (auto const &c : cases) {
        SCOPED_TRACE(c.answers[0].substr(0, 60));
        Peer peer(c.answers);
        uint64 s = proxy(session, 1, peer.port, "alice", "secret")->connect(c.host.c_str(), 81);
        EXPECT_EQ(s != kNone, c.tunnel);
        EXPECT_EQ(recv_all(s), c.tunnel ? "TUNNEL" : ""); // the answer is read to its end only
        std::vector<std::string> heard = peer.heard(c.attempts);
        EXPECT_EQ(heard.size(), c.attempts);
        EXPECT_EQ(heard.back().substr(0, c.last.size()), c.last);
    }
    EXPECT_EQ(proxy(session, 1, Peer({""}).port)->connect("b.test", 81), kNone);
    Log(nullptr, 0, 8).level(4), Log(nullptr, 0, 8).open(nullptr);
    std::string const log = read_file(widen(path));
    EXPECT_TRUE(log.find("] HTTP Proxy connect: CONNECT b.test:81 HTTP/1.0\r\nProxy-Authorization: "
                         "Basic ********\r\nHost: b.test\r\n\r\n") != std::string::npos &&
                log.find("Proxy-Authorization: Digest ********\r\n") != std::string::npos &&
                log.find("YWxpY2U6c2VjcmV0") == std::string::npos)
        << log;
}

// Proxy-Authorization per challenge: "@C" the client nonce, "@R" the response.
TEST_F(Http, ProxyAuthorizationValues) {
    // clang-format off
    std::string const user(40, 'u'), password(45, 'p');
    std::string const head = "Digest username=\"alice\",nc=00000001,", plain = "cnonce=\"@C\",nonce=\"n\",qop=\"auth\",realm=\"r\",response=\"@R\"";
    struct Case { std::string challenge, user, password, value; } const cases[] = {
        {"Basic realm=\"x\"", "alice", "secret", "Basic YWxpY2U6c2VjcmV0"}, {"Basic", "alice", "secret", "Basic YWxpY2U6c2VjcmV0"},
        {"\t BASIC realm=x", "alice", "secret", "Basic YWxpY2U6c2VjcmV0"}, {"Basic realm=x", "", "", "Basic Og=="},
        {"Basic realm=x", user, password, "Basic dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dTpwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHA="}, // one line
        {"Digest realm=\"proxy\", nonce=\"abc\", qop=\"auth,auth-int\", stale=false, domain=\"/a /b\"", "alice", "secret",
         head + "cnonce=\"@C\",domain=\"/a /b\",nonce=\"abc\",qop=\"auth\",realm=\"proxy\",response=\"@R\",stale=\"false\""},
        {"Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\"", "alice", "secret", head + plain}, {"Digest realm=\"r\", nonce=\"n\"", "alice", "secret", head + plain},
        {"Digest realm=\"r\", nonce=\"n\", stale", "alice", "secret", head + plain}, // a trailing token
        {"Digest realm=\"r\", nonce=\"n\", opaque=\"open", "alice", "secret", head + plain}, // an unclosed quote
        {"Digest realm=\"r\",nonce=n2 , algorithm=MD5,opaque=\"o\"", "alice", "secret",
         head + "algorithm=\"MD5\",cnonce=\"@C\",nonce=\"n2 \",opaque=\"o\",qop=\"auth\",realm=\"r\",response=\"@R\""},
        {"Digest nonce=\"n\", realm=\"a\\\"b\"", "alice", "secret", head + "cnonce=\"@C\",nonce=\"n\",qop=\"auth\",realm=\"a\\\",response=\"@R\""},
        {"Digest realm=\"r\", nonce=\"n\", Opaque =\"x\"", "alice", "secret", head + "Opaque =\"x\"," + plain},
        {"Digest realm=\"r\"", "alice", "secret", "Fail Dummy"}, {"Digest nonce=\"n\"", "alice", "secret", "Fail Dummy"},
        {"Digest", "alice", "secret", "Fail Dummy"}, {"Digest realm=\"\", nonce=\"n\"", "alice", "secret", "Fail Dummy"}};
    // clang-format on
    for (auto const &c : cases) {
        SCOPED_TRACE(c.challenge);
        Peer peer({"HTTP/1.0 407 A\r\nProxy-Authenticate: " + c.challenge + "\r\n\r\n", kTunnel});
        close_socket(proxy(session, 1, peer.port, c.user.c_str(), c.password.c_str())
                         ->connect("h.test", 81));
        std::string const heard = peer.heard_at(1);
        std::smatch m;
        std::regex_search(heard, m, std::regex("Proxy-Authorization: (.*)\r"));
        std::string value =
            std::regex_replace(m.str(1), std::regex("cnonce=\"[A-Za-z0-9]{8}\""), "cnonce=\"@C\"");
        value =
            std::regex_replace(value, std::regex("response=\"[0-9a-f]{32}\""), "response=\"@R\"");
        EXPECT_EQ(value, c.value + (c.value[0] == 'D' ? ",uri=\"h.test:81\"" : ""));
    }
}

// SOCKS exchanges with a scripted server, byte for byte.
TEST_F(Http, SocksBytes) {
    // clang-format off
    std::string const v4 = "\x04\x01\x00\x51\x7f\x00\x00\x01\x00"s, hello = "\x05\x02\x00\x02"s;
    std::string const request = "\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x51"s, bound = "\x05\x00\x00\x01\x7f\x00\x00\x01\x04\x38"s;
    std::string const named = "\x05\x00\x00\x03\x0a"s + "bound.test" + "\x00\x50"s, auth = "\x01\x05"s + "alice" + "\x06"s + "secret";
    std::string const u256(256, 'u'), u255(255, 'u');
    struct Case { std::string user; std::vector<std::string> answers; bool tunnel; std::vector<std::string> heard; } const cases[] = {
        {"alice", {"\x00\x5a\x00\x00\x00\x00\x00\x00"s + "TUNNEL"}, true, {v4}}, {"alice", {"\x00\x5b"s, "\x05\x00"s + bound + "TUNNEL"}, true, {v4, hello + request}},
        {"alice", {"", "\x05\x02\x01\x00"s + named + "TUNNEL"}, true, {"", hello + auth + request}},
        {"alice", {"", "\x05\xff"s}, false, {"", hello}}, {"alice", {"", "\x05\x02\x01\x01"s}, false, {"", hello + auth}},
        {"alice", {"", "\x05\x00\x05\x01"s + bound.substr(2)}, false, {"", hello + request}},
        {u256, {"", "\x05\x02"s}, false, {"", hello}}, // too long for its length byte
        {u255, {"", "\x05\x02\x01\x00"s + bound + "TUNNEL"}, true, {"", hello + "\x01\xff"s + u255 + "\x06"s + "secret" + request}}};
    // clang-format on
    for (auto const &c : cases) {
        SCOPED_TRACE(c.answers.back().substr(0, 4));
        Peer peer(c.answers, 0);
        uint64 s = proxy(session, 2, peer.port, c.user.c_str(), "secret")->connect("127.0.0.1", 81);
        char data[7] = {};
        EXPECT_EQ(s == kNone ? 0 : recv(SOCKET(s), data, 6, MSG_WAITALL), c.tunnel ? 6 : 0);
        EXPECT_STREQ(data, c.tunnel ? "TUNNEL" : ""); // the reply is read to its length only
        close_socket(s);
        EXPECT_EQ(peer.heard(c.heard.size()), c.heard);
    }
    Peer cut({"\x00\x5a"s}, -1); // a SOCKS 4 reply cut short by the server's close
    EXPECT_EQ(proxy(session, 2, cut.port, "alice", "secret")->connect("127.0.0.1", 81), kNone);
    Peer open({"\x00\x5a\x00\x00\x00\x00\x00\x00"s + "TUNNEL"}, 0); // a name that does not resolve
    EXPECT_EQ(proxy(session, 2, open.port, "alice", "secret")->connect("no-such-host.invalid", 81),
              kNone);
}

// squid and dante to a scripted target, twice through the same object.
TEST_F(Http, RealProxies) {
    Peer target({kOk}, 1);
    // clang-format off
    struct Case { char const *peer; int type; char const *user, *password; bool ok; } const cases[] = {
        {"squid_basic", 1, "alice", "secret", true}, {"squid_basic", 1, "alice", "wrong", false}, {"squid_basic", 1, "", "", false},
        {"squid_digest", 1, "alice", "secret", true}, {"squid_digest", 1, "alice", "wrong", false}, {"squid_digest", 1, "bob", "secret", false},
        {"dante", 2, "", "", true}, {"dante_auth", 2, "alice", "secret", true}, {"dante_auth", 2, "alice", "wrong", false}, {"dante_auth", 2, "", "", false}};
    // clang-format on
    for (auto const &c : cases) {
        SCOPED_TRACE(std::string(c.peer) + " " + c.user + " " + c.password);
        auto object = proxy(session, c.type, std::stoi(peers(c.peer)), c.user, c.password);
        for (int i = 0; i < (c.ok ? 2 : 1); ++i) {
            uint64 const s = object->connect("127.0.0.1", static_cast<unsigned short>(target.port));
            send(SOCKET(s), "GET /t HTTP/1.1\r\nHost: x\r\n\r\n", 28, 0);
            EXPECT_EQ(recv_all(s), c.ok ? kOk : "");
        }
    }
}

// The current user's proxy settings drive the session.
TEST_F(Http, ProxyFromTheRegistry) {
    // clang-format off
    Peer target({kOk}), scripted({kTunnel.substr(0, kTunnel.size() - 6) + kOk}, 2);
    std::string const t = std::to_string(target.port), sp = std::to_string(scripted.port), get = "GET /d HTTP/1.1\r\nHost: 127.0.0.1:" + t + "\r\n";
    std::string const on = "EnableProxy#1", server = "ProxyServer=127.0.0.1", at = "ProxyPort#" + sp, da = "ProxyPort#" + peers("dante_auth");
    struct Case { std::vector<std::string> values; char kind; Peer *peer; std::string heard; } const cases[] = {
        {{"ProxyType#1", server, at}, 'g', &target, get + "\r\n"}, {{"EnableProxy#0", "ProxyType#1", server, at}, 'g', &target, get + "\r\n"}, // not enabled
        {{"EnableProxy=1x", "ProxyType#1", server, at}, 'g', &target, get + "\r\n"}, {{on, "ProxyType#3", server, at}, 'g', &target, get + "\r\n"}, // type 3: direct
        {{on, "ProxyType#1", server, at}, 'g', &scripted, "CONNECT 127.0.0.1:" + t + " HTTP/1.0\r\n\r\n" + get + "\r\n"},
        {{"EnableProxy=1", "ProxyType= 1", server, "ProxyPort=" + sp}, 'g', &scripted, "CONNECT 127.0.0.1:" + t + " HTTP/1.0\r\n\r\n" + get + "\r\n"},
        {{on, "ProxyType#1", server}, 'g', nullptr, ""}, // no port: never direct
        {{on, "ProxyType#1", server, "ProxyPort=80 80"}, 'g', nullptr, ""},
        {{on, "ProxyType#2", server, da, "ProxyUser#42", "ProxyPassword=secret"}, 'g', nullptr, ""}, // the user "42"
        {{on, "ProxyType#2", server, da, "ProxyUser=alice", "ProxyPassword=secret"}, 'i', &target, get + "KX-FROM: 127.0.0.1\r\n\r\n"}};
    // clang-format on
    char const *const options = "Software\\Tavrin Labs\\Quillon\\KXAdapter\\Options";
    RegDeleteTreeA(HKEY_CURRENT_USER, options); // what a crashed run left
    std::size_t heard[2] = {};
    for (auto const &c : cases) {
        SCOPED_TRACE(c.values.back() + " " + c.kind);
        RegistryScope settings; // "Name=text" REG_SZ, "Name#n" REG_DWORD
        for (std::string const &v : c.values) {
            std::size_t const at = v.find_first_of("=#");
            std::string const name = v.substr(0, at), text = v.substr(at + 1);
            ASSERT_TRUE(v[at] == '=' ? settings.set(HKEY_CURRENT_USER, options, name, text)
                                     : settings.set(HKEY_CURRENT_USER, options, name,
                                                    DWORD(std::stoul(text))));
        }
        Stream s(c.kind == 'g' ? session.get(url(target.port, "/d").c_str())
                               : session.get_ip(url(target.port, "/d").c_str()));
        EXPECT_EQ(s != nullptr, c.peer != nullptr);
        std::size_t const n = c.peer != nullptr ? heard[c.peer == &scripted]++ : 0;
        EXPECT_EQ(c.peer != nullptr ? c.peer->heard_at(n) : "", c.heard);
    }
}

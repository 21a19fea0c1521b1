// The response head as HttpStream reads it, the line reader of the
// connection streams, and body reading as a caller does it. Every response
// comes byte for byte from the scripted server.
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace httptest;

namespace {

// GET of a scripted response on a fresh session.
HttpStream *get_raw(HttpSession &session, std::string const &response) {
    return session.get(url(port("http"), raw_path(response)).c_str());
}

class HttpStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(port("http"), 0) << "peers not running: ZEM_HTTP_PEERS names no ports file "
                                      "(tests/http/peers.sh up <dir> starts them)";
    }
    HttpSession session;
};

} // namespace

TEST_F(HttpStreamTest, FoundKeepsLocationAndCountsAsSuccess) {
    StreamHolder s(get_raw(session, "HTTP/1.1 302 Found\r\nLocation: http://example.invalid/next"
                                    "?x=1\r\nContent-Length: 0\r\n\r\n"));
    ASSERT_TRUE(s);
    EXPECT_STREQ(session.query_location(), L"http://example.invalid/next?x=1");
    EXPECT_EQ(session.error(), 0);
    EXPECT_EQ(s->content_size(), 0u);
    // The session never follows it.
    EXPECT_EQ(read_body(s.get()), "");
}

TEST_F(HttpStreamTest, OtherStatusCodesAreRefusedAndStored) {
    EXPECT_EQ(get_raw(session, "HTTP/1.1 204 No Content\r\n\r\n"), nullptr);
    EXPECT_EQ(session.error(), 204);
    EXPECT_EQ(get_raw(session, "HTTP/1.1 301 Moved\r\nLocation: /x\r\n\r\n"), nullptr);
    EXPECT_EQ(session.error(), 301);
    // The head of a refused answer is not read: its Location is not taken.
    EXPECT_STREQ(session.query_location(), L"");
    EXPECT_EQ(get_raw(session, "HTTP/1.0 404 Not Found\r\n\r\n"), nullptr);
    EXPECT_EQ(session.error(), 404);
    // A later success leaves the error as it was.
    StreamHolder ok(get_raw(session, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_TRUE(ok);
    EXPECT_EQ(session.error(), 404);
}

TEST_F(HttpStreamTest, MissingOrBlanklessStatusLineLeavesErrorAlone) {
    EXPECT_EQ(get_raw(session, "HTTP/1.1\r\n\r\n"), nullptr);
    EXPECT_EQ(get_raw(session, ""), nullptr);
    EXPECT_EQ(get_raw(session, "\r\nHTTP/1.1 200 OK\r\n\r\n"), nullptr);
    EXPECT_EQ(session.error(), 0);
    // A status code that is not a number reads as 0.
    EXPECT_EQ(get_raw(session, "HTTP/1.1 abc Strange\r\n\r\n"), nullptr);
    EXPECT_EQ(session.error(), 0);
}

TEST_F(HttpStreamTest, ContentLengthNeedsItsBlank) {
    StreamHolder spaced(
        get_raw(session, "HTTP/1.1 200 OK\r\nContent-Length:  10\r\n\r\n0123456789"));
    ASSERT_TRUE(spaced);
    EXPECT_EQ(spaced->content_size(), 10u);
    EXPECT_EQ(read_body(spaced.get()), "0123456789");

    StreamHolder tight(get_raw(session, "HTTP/1.1 200 OK\r\nContent-Length:10\r\n\r\n0123456789"));
    ASSERT_TRUE(tight);
    EXPECT_EQ(tight->content_size(), kAllBits);
    EXPECT_EQ(read_body(tight.get()), "0123456789"); // read to the end of the connection

    StreamHolder tab(get_raw(session, "HTTP/1.1 200 OK\r\nContent-Length:\t7\r\n\r\n"));
    ASSERT_TRUE(tab);
    EXPECT_EQ(tab->content_size(), kAllBits);

    StreamHolder lower(get_raw(session, "HTTP/1.1 200 OK\r\ncontent-LENGTH: 3\r\n\r\nabc"));
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->content_size(), 3u);
    // Not chunked: the read size is 8192 whatever the length.
    EXPECT_EQ(lower->query_size(), 8192u);
    EXPECT_EQ(HttpSession::query_size(lower.get()), 8192u);

    StreamHolder negative(get_raw(session, "HTTP/1.1 200 OK\r\nContent-Length: -2\r\n\r\n"));
    ASSERT_TRUE(negative);
    EXPECT_EQ(negative->content_size(), static_cast<uint64>(-2));

    StreamHolder huge(
        get_raw(session, "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n"));
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->content_size(), 2147483647u); // saturated, never wrapped
}

TEST_F(HttpStreamTest, ChunkedOnlyForTheWholeValue) {
    struct Case {
        char const *header;
        bool chunked;
    } const cases[] = {
        {"transfer-encoding: CHUNKED", true},   {"Transfer-Encoding: chunked", true},
        {"Transfer-Encoding: chunked ", false}, {"Transfer-Encoding: gzip, chunked", false},
        {"Transfer-Encoding:chunked", false},   {"Transfer-Encoding: identity", false},
    };
    for (auto const &c : cases) {
        StreamHolder s(get_raw(session, std::string("HTTP/1.1 200 OK\r\n") + c.header +
                                            "\r\nContent-Length: 0\r\n\r\n"));
        ASSERT_TRUE(s) << c.header;
        EXPECT_EQ(s->query_trunked(), c.chunked) << c.header;
    }
    // Once seen, a later header does not clear it.
    StreamHolder twice(get_raw(session, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
                                        "Transfer-Encoding: identity\r\n\r\n0\r\n\r\n"));
    ASSERT_TRUE(twice);
    EXPECT_TRUE(twice->query_trunked());
}

TEST_F(HttpStreamTest, ChunkedBodyAsACallerReadsIt) {
    std::string const piece(26, 'z');
    StreamHolder s(get_raw(session, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                    "4\r\nWiki\r\n1a;name=v\r\n" +
                                        piece + "\r\n0\r\n\r\n"));
    ASSERT_TRUE(s);
    ASSERT_TRUE(s->query_trunked());
    // The head's empty line was taken by the head reader: the size line comes
    // first.
    EXPECT_EQ(s->query_size(), 4u);
    EXPECT_EQ(read_exactly(s.get(), 4), "Wiki");
    // The extension after ";" is ignored.
    EXPECT_EQ(s->query_size(), 26u);
    EXPECT_EQ(read_exactly(s.get(), 26), piece);
    EXPECT_EQ(s->query_size(), 0u);
}

TEST_F(HttpStreamTest, ChunkedBodyFromTheServerInManyPieces) {
    StreamHolder s(session.get(url(port("http"), "/chunked/100000/4099").c_str()));
    ASSERT_TRUE(s);
    bool failed = true;
    std::string body = read_body(s.get(), &failed);
    EXPECT_FALSE(failed);
    ASSERT_EQ(body.size(), 100000u);
    EXPECT_EQ(body.substr(0, 10), "0123456789");
}

TEST_F(HttpStreamTest, ChunkedBodyCutShortIsAFailure) {
    StreamHolder s(get_raw(session, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                    "4\r\nWiki\r\n"));
    ASSERT_TRUE(s);
    bool failed = false;
    EXPECT_EQ(read_body(s.get(), &failed), "Wiki");
    EXPECT_TRUE(failed);
    EXPECT_EQ(s->query_size(), kAllBits);
    EXPECT_EQ(HttpSession::query_size(nullptr), kAllBits);
}

TEST_F(HttpStreamTest, LongHeaderLineIsReadInPieces) {
    // 5000 characters: the first 4095 are one header line, the remaining 905
    // are parsed as a header line of their own.
    std::string first = "X-Long: " + std::string(4095 - 8, 'a');
    std::string second = "Location: http://piece/";
    second += std::string(905 - second.size(), 'b');
    ASSERT_EQ((first + second).size(), 5000u);
    StreamHolder s(get_raw(session, "HTTP/1.1 200 OK\r\n" + first + second +
                                        "\r\nContent-Length: 2\r\n\r\nok"));
    ASSERT_TRUE(s);
    EXPECT_EQ(std::wstring(session.query_location()), widen(second.substr(10)));
    EXPECT_EQ(read_body(s.get()), "ok");
}

TEST_F(HttpStreamTest, HeadReaderLeavesTheBodyIntact) {
    StreamHolder s(get_raw(session, "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n\r\nbody\r\n"));
    ASSERT_TRUE(s);
    EXPECT_EQ(read_exactly(s.get(), 8), "\r\nbody\r\n");
}

TEST_F(HttpStreamTest, ReadlineLineEnds) {
    static char const kBody[] = "abc\r\ndef\r\nx\ry\nz\n\r\nq\0r\nabcdef\r\nlast";
    std::string const body(kBody, sizeof(kBody) - 1);
    StreamHolder s(get_raw(session, "HTTP/1.1 200 OK\r\n\r\n" + body));
    ASSERT_TRUE(s);
    char line[64];
    auto next = [&](uint64 size) {
        std::memset(line, '#', sizeof(line));
        uint64 n = s->readline(line, size);
        EXPECT_EQ(std::strlen(line), n);
        return std::string(line, static_cast<std::size_t>(n));
    };
    EXPECT_EQ(next(sizeof(line)), "abc");
    EXPECT_EQ(next(sizeof(line)), "def");
    EXPECT_EQ(next(sizeof(line)), "x"); // a lone CR ends the line, "y" stays
    EXPECT_EQ(next(sizeof(line)), "y"); // LF alone
    EXPECT_EQ(next(sizeof(line)), "z");
    EXPECT_EQ(next(sizeof(line)), "");  // CR LF: an empty line, both bytes taken
    EXPECT_EQ(next(sizeof(line)), "q"); // a NUL byte ends the line
    EXPECT_EQ(next(sizeof(line)), "r");
    EXPECT_EQ(next(4), "abc"); // size 4: three characters, "def" stays
    EXPECT_EQ(next(1), "");    // size 1: only the NUL
    line[0] = '#';
    EXPECT_EQ(s->readline(line, 0), 0u);
    EXPECT_EQ(line[0], '#'); // size 0: nothing stored at all
    EXPECT_EQ(next(sizeof(line)), "def");
    EXPECT_EQ(next(sizeof(line)), "last"); // ended by the end of the connection
    EXPECT_EQ(next(sizeof(line)), "");
}

TEST_F(HttpStreamTest, CookiesFromTheHead) {
    StreamHolder s(get_raw(session, "HTTP/1.1 200 OK\r\n"
                                    "Set-Cookie: a=1; Path=/\r\n"
                                    "Set-Cookie: b=2\r\n"
                                    "set-cookie: a=3; HttpOnly\r\n"
                                    "Set-Cookie: novalue\r\n"
                                    "SET-COOKIE: c=x=y\r\n"
                                    "Set-Cookie: d=\r\n"
                                    "Set-Cookie:  e=5\r\n"
                                    "Set-Cookie:f=6\r\n"
                                    "Content-Length: 0\r\n\r\n"));
    ASSERT_TRUE(s);
    EXPECT_STREQ(session.query_cookie(L"a"), L"3"); // the later value wins
    EXPECT_STREQ(session.query_cookie(L"b"), L"2");
    EXPECT_STREQ(session.query_cookie(L"c"), L"x=y");
    EXPECT_STREQ(session.query_cookie(L"d"), L"");
    EXPECT_STREQ(session.query_cookie(L" e"), L"5"); // blanks around the name stay
    EXPECT_EQ(session.query_cookie(L"e"), nullptr);
    EXPECT_EQ(session.query_cookie(L"novalue"), nullptr);
    EXPECT_EQ(session.query_cookie(L"f"), nullptr); // no blank: not a header
    EXPECT_EQ(session.query_cookie(nullptr), nullptr);
    EXPECT_EQ(session.make_cookie(), L"Cookie:  e=5;a=3;b=2;c=x=y;d=;");
}

TEST_F(HttpStreamTest, CookieJarIsBounded) {
    // A server may send any number of cookies; the jar keeps at most 1024
    // names and still updates the ones it has.
    std::string head = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 1100; ++i) {
        head += "Set-Cookie: k" + std::to_string(i) + "=v\r\n";
    }
    head += "Set-Cookie: k0=changed\r\nContent-Length: 0\r\n\r\n";
    StreamHolder s(get_raw(session, head));
    ASSERT_TRUE(s);
    EXPECT_STREQ(session.query_cookie(L"k0"), L"changed");
    EXPECT_STREQ(session.query_cookie(L"k1023"), L"v");
    EXPECT_EQ(session.query_cookie(L"k1024"), nullptr);
}

TEST_F(HttpStreamTest, ReleaseOfNullAndSocket) {
    HttpStream::release(nullptr);
    StreamHolder s(get_raw(session, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
    ASSERT_TRUE(s);
    EXPECT_NE(s->socket(), kAllBits);
}

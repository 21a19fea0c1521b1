// The Proxy-Authorization values: the challenge parser, Basic, Digest. Each
// challenge is sent by the scripted proxy, and the value is read back from
// the CONNECT request it received.
#include "support.h"

#include "../../common/serialize/Base64.h"

#include <gtest/gtest.h>

#include <memory>

using namespace httptest;

namespace {

class HttpAuthorizationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(port("proxy"), 0) << "peers not running: ZEM_HTTP_PEERS names no ports file "
                                       "(tests/http/peers.sh up <dir> starts them)";
        proxy_log();
    }
    // The value sent after the proxy answered with the challenge line
    // `challenge` (the whole header line).
    std::string answer(std::string const &challenge, char const *user = "alice",
                       char const *password = "secret") {
        std::unique_ptr<NetProxy> proxy(
            session.get_proxy(1, "127.0.0.1", port("proxy"), user, password));
        std::string const host = "chal-" + hex(challenge) + ".test";
        uint64 s = proxy->connect(host.c_str(), 3128);
        close_socket(s);
        std::vector<std::string> log = proxy_log();
        if (s == kAllBits || log.size() != 2) {
            return "<failed>";
        }
        return authorization_of(log[1]);
    }
    static std::vector<std::string> names(std::string const &value) {
        std::vector<std::string> out;
        for (auto const &field : digest_fields(value)) {
            out.push_back(field.first);
        }
        return out;
    }
    static std::map<std::string, std::string> fields(std::string const &value) {
        auto list = digest_fields(value);
        return std::map<std::string, std::string>(list.begin(), list.end());
    }
    static std::string response(std::map<std::string, std::string> f, std::string const &user,
                                std::string const &password, std::string const &uri) {
        std::string const ha1 = md5(user + ":" + f["realm"] + ":" + password);
        std::string const ha2 = md5("CONNECT:" + uri);
        return md5(ha1 + ":" + f["nonce"] + ":" + f["nc"] + ":" + f["cnonce"] + ":" + f["qop"] +
                   ":" + ha2);
    }

    HttpSession session;
};

std::string base64(std::string const &bytes) {
    std::string out(zem::vfs::Base64::encode(bytes.data(), bytes.size(), nullptr, 0), '\0');
    zem::vfs::Base64::encode(bytes.data(), bytes.size(), &out[0], out.size());
    return out;
}

} // namespace

TEST_F(HttpAuthorizationTest, BasicValues) {
    EXPECT_EQ(answer("Proxy-Authenticate: Basic realm=\"x\""), "Basic YWxpY2U6c2VjcmV0");
    // No parameters at all, and odd spacing.
    EXPECT_EQ(answer("Proxy-Authenticate: Basic"), "Basic YWxpY2U6c2VjcmV0");
    EXPECT_EQ(answer("PROXY-AUTHENTICATE:\t BASIC realm=x"), "Basic YWxpY2U6c2VjcmV0");
    // Empty user name and password: the colon alone.
    EXPECT_EQ(answer("Proxy-Authenticate: Basic realm=x", "", ""), "Basic Og==");
    EXPECT_EQ(answer("Proxy-Authenticate: Basic realm=x", nullptr, nullptr), "Basic Og==");
    // Long credentials stay on one line.
    std::string const user(40, 'u'), password(45, 'p');
    std::string const value =
        answer("Proxy-Authenticate: Basic realm=x", user.c_str(), password.c_str());
    EXPECT_EQ(value, "Basic " + base64(user + ":" + password));
    EXPECT_EQ(value.size(), 6u + 116u);
    std::string const binary = "\xff\xfe\x80 :\x01";
    EXPECT_EQ(answer("Proxy-Authenticate: Basic realm=x", binary.c_str(), "\xc3\xa9"),
              "Basic " + base64(binary + ":\xc3\xa9"));
}

TEST_F(HttpAuthorizationTest, DigestEchoesEveryParameterInNameOrder) {
    std::string const value = answer("Proxy-Authenticate: Digest realm=\"proxy\", nonce=\"abc\", "
                                     "qop=\"auth,auth-int\", stale=false, domain=\"/a /b\"");
    EXPECT_EQ(names(value), (std::vector<std::string>{"username", "nc", "cnonce", "domain", "nonce",
                                                      "qop", "realm", "response", "stale", "uri"}));
    auto f = fields(value);
    std::string const prefix = "Digest username=\"alice\",nc=00000001,cnonce=\"";
    ASSERT_EQ(value.rfind(prefix, 0), 0u) << value;
    std::string const uri = "chal-" +
                            hex("Proxy-Authenticate: Digest realm=\"proxy\", nonce=\"abc\", "
                                "qop=\"auth,auth-int\", stale=false, domain=\"/a /b\"") +
                            ".test:3128";
    // The whole value, byte for byte.
    EXPECT_EQ(value, prefix + f["cnonce"] +
                         "\",domain=\"/a /b\",nonce=\"abc\",qop=\"auth\","
                         "realm=\"proxy\",response=\"" +
                         response(f, "alice", "secret", uri) + "\",stale=\"false\",uri=\"" + uri +
                         "\"");
}

TEST_F(HttpAuthorizationTest, DigestQopIsAlwaysAuth) {
    for (char const *challenge : {"Proxy-Authenticate: Digest realm=\"r\", nonce=\"n\", "
                                  "qop=\"auth-int\"",
                                  "Proxy-Authenticate: Digest realm=\"r\", nonce=\"n\""}) {
        std::string const value = answer(challenge);
        auto f = fields(value);
        EXPECT_EQ(f["qop"], "auth") << challenge;
        std::string const uri = "chal-" + hex(challenge) + ".test:3128";
        EXPECT_EQ(f["uri"], uri);
        EXPECT_EQ(f["response"], response(f, "alice", "secret", uri)) << challenge;
    }
}

TEST_F(HttpAuthorizationTest, DigestUnquotedValuesAreQuotedBack) {
    std::string const value = answer("Proxy-Authenticate: Digest realm=\"r\",nonce=n2 , "
                                     "algorithm=MD5,opaque=\"o\"");
    auto f = fields(value);
    EXPECT_EQ(f["algorithm"], "MD5");
    EXPECT_EQ(f["nonce"], "n2 "); // trailing blanks of an unquoted value stay
    EXPECT_EQ(names(value),
              (std::vector<std::string>{"username", "nc", "algorithm", "cnonce", "nonce", "opaque",
                                        "qop", "realm", "response", "uri"}));
}

TEST_F(HttpAuthorizationTest, DigestParserEdges) {
    // A backslash does not escape: the quoted value ends at the next quote.
    auto f = fields(answer("Proxy-Authenticate: Digest nonce=\"n\", realm=\"a\\\"b\""));
    EXPECT_EQ(f["realm"], "a\\");
    EXPECT_EQ(f["nonce"], "n");
    // A trailing token without "=" ends the parse quietly.
    std::string value = answer("Proxy-Authenticate: Digest realm=\"r\", nonce=\"n\", stale");
    EXPECT_EQ(names(value), (std::vector<std::string>{"username", "nc", "cnonce", "nonce", "qop",
                                                      "realm", "response", "uri"}));
    // Names are taken as written.
    value = answer("Proxy-Authenticate: Digest realm=\"r\", nonce=\"n\", Opaque =\"x\"");
    EXPECT_NE(value.find(",Opaque =\"x\""), std::string::npos) << value;
    // An unclosed quote ends the parse; what was read stays.
    f = fields(answer("Proxy-Authenticate: Digest realm=\"r\", nonce=\"n\", opaque=\"open"));
    EXPECT_EQ(f.count("opaque"), 0u);
    EXPECT_EQ(f["nonce"], "n");
}

TEST_F(HttpAuthorizationTest, DigestWithoutRealmOrNonce) {
    EXPECT_EQ(answer("Proxy-Authenticate: Digest realm=\"r\""), "Fail Dummy");
    EXPECT_EQ(answer("Proxy-Authenticate: Digest nonce=\"n\""), "Fail Dummy");
    EXPECT_EQ(answer("Proxy-Authenticate: Digest"), "Fail Dummy");
    EXPECT_EQ(answer("Proxy-Authenticate: Digest realm=\"\", nonce=\"n\""), "Fail Dummy");
}

TEST_F(HttpAuthorizationTest, ClientNonceIsFreshForEveryObject) {
    std::string const challenge = "Proxy-Authenticate: Digest realm=\"r\", nonce=\"n\"";
    std::string seen;
    for (int i = 0; i < 4; ++i) {
        std::string const cnonce = fields(answer(challenge))["cnonce"];
        ASSERT_EQ(cnonce.size(), 8u);
        EXPECT_EQ(cnonce.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                           "0123456789"),
                  std::string::npos);
        // Objects made within the same second still differ.
        EXPECT_EQ(seen.find(cnonce), std::string::npos);
        seen += cnonce + " ";
    }
}

TEST_F(HttpAuthorizationTest, OtherSchemesAreSkipped) {
    std::unique_ptr<NetProxy> proxy(
        session.get_proxy(1, "127.0.0.1", port("proxy"), "alice", "secret"));
    std::string const host = "chal-" + hex("Proxy-Authenticate: Bearer realm=\"x\"") + ".test";
    EXPECT_EQ(proxy->connect(host.c_str(), 1), kAllBits);
    EXPECT_EQ(proxy_log().size(), 1u);
}

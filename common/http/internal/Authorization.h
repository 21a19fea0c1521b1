// Answers to an HTTP proxy's "Proxy-Authenticate:" challenge: Basic, and
// Digest (MD5, quality of protection "auth"). Internal to the library; made
// and owned by the HTTP proxy connector.
#pragma once

#include <map>
#include <string>

namespace zem {
namespace vfs {
namespace http {

class CHttpAuthorization {
public:
    // Parses the challenge parameters that follow the scheme name (null: no
    // parameters). Names are taken as written; quoted values end at the next
    // double quote (no escapes); unquoted values run to the next comma. A
    // malformed text ends the parse, keeping what was read.
    explicit CHttpAuthorization(char const *challenge);
    virtual ~CHttpAuthorization();
    CHttpAuthorization(CHttpAuthorization const &) = delete;
    CHttpAuthorization &operator=(CHttpAuthorization const &) = delete;

    // The value placed after "Proxy-Authorization: " in a CONNECT to `host`
    // and `port`, beginning with the scheme name and a blank.
    virtual std::string authorization(std::string const &host, int port, std::string const &user,
                                      std::string const &password) = 0;

    // The parameters by name (those of the challenge and those added since).
    std::map<std::string, std::string> const &params() const { return params_; }

protected:
    std::map<std::string, std::string> params_;
};

class CBasicAuthorization : public CHttpAuthorization {
public:
    explicit CBasicAuthorization(char const *challenge);
    // "Basic " and the Base64 of user:password on one line.
    std::string authorization(std::string const &host, int port, std::string const &user,
                              std::string const &password) override;
};

class CDigestAuthorization : public CHttpAuthorization {
public:
    // Draws an 8-character client nonce from the TLS library's random
    // generator and sets qop to "auth", whatever the proxy offered.
    explicit CDigestAuthorization(char const *challenge);
    // "Digest username="..",nc=0000000n" and every parameter in name order,
    // quoted; each use counts nc up. "Fail Dummy" when the challenge gave no
    // realm or no nonce.
    std::string authorization(std::string const &host, int port, std::string const &user,
                              std::string const &password) override;

    unsigned nonce_count() const { return nonce_count_; }

private:
    unsigned nonce_count_;
};

// 32 lower-case hexadecimal digits of the MD5 digest of `text`.
std::string md5_hex(std::string const &text);
// Standard Base64 with padding, one line.
std::string base64_line(std::string const &bytes);

} // namespace http
} // namespace vfs
} // namespace zem

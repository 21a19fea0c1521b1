// The three ways of opening a connection: directly, through an HTTP proxy
// with CONNECT (Basic or Digest proxy authorization), and through a SOCKS
// proxy (SOCKS 4, then SOCKS 5 with user name and password). Internal to the
// library; callers see NetProxy.
#pragma once

#include "../NetProxy.h"
#include "Authorization.h"
#include "Net.h"

#include <memory>
#include <string>

namespace zem {
namespace vfs {
namespace http {

class CDirectProxy : public NetProxy {
public:
    int type() override { return 0; }
    uint64 connect(char const *host, unsigned short port) override;
};

class CHttpProxy : public NetProxy {
public:
    // A null user or password is stored as an empty text.
    CHttpProxy(char const *server, int port, char const *user, char const *password);
    ~CHttpProxy() override;

    int type() override { return 1; }
    // At most two connections to the proxy: the second one only after a 401
    // or 407 answer that carried a Basic or Digest challenge.
    uint64 connect(char const *host, unsigned short port) override;

    // Outcome of one CONNECT handshake.
    enum Handshake { tunnel = 0, refused = 1, retry_with_credentials = 2 };
    Handshake handshake(SOCKET s, char const *host, unsigned short port);

private:
    std::string server_;
    std::string user_;
    std::string password_;
    int port_;
    std::unique_ptr<CHttpAuthorization> authorization_;
};

class CSocksProxy : public NetProxy {
public:
    // A null user or password is stored as an empty text.
    CSocksProxy(char const *server, int port, char const *user, char const *password);

    int type() override { return 2; }
    uint64 connect(char const *host, unsigned short port) override;

private:
    bool socks4(SOCKET s, in_addr address, unsigned short port);
    bool socks5(SOCKET s, in_addr address, unsigned short port);

    std::string server_;
    std::string user_;
    std::string password_;
    int port_;
};

// Reads one line of a proxy's answer, one byte per receive: CR is dropped, LF
// ends the line. False when the connection ends or fails first, or when the
// line reaches 4096 bytes.
[[nodiscard]] bool read_proxy_line(SOCKET s, std::string &line);

// The CONNECT request text as it may be logged: the value of a
// Proxy-Authorization line is replaced by its scheme name and "********".
std::string mask_credentials(std::string const &request);

} // namespace http
} // namespace vfs
} // namespace zem

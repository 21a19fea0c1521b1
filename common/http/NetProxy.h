// The way a connection of the HTTP client is opened: directly, through an
// HTTP proxy (CONNECT, with Basic or Digest proxy authorization) or through a
// SOCKS proxy (SOCKS 4 first, then SOCKS 5). Objects come from
// HttpSession::get_proxy and are deleted by the caller.
#pragma once

#include "../config.h"

namespace zem {
namespace vfs {
namespace http {

class ZEM_VFS_API NetProxy {
public:
    NetProxy();
    NetProxy(NetProxy const &other);
    NetProxy &operator=(NetProxy const &other);
    virtual ~NetProxy() = 0;

    // 0 direct, 1 HTTP, 2 SOCKS (the numbers of the "ProxyType" setting).
    virtual int type() = 0;
    // A socket connected end to end to `host` and `port` (host byte order),
    // or all bits set (INVALID_SOCKET) on any failure. The caller owns the
    // socket and closes it with closesocket.
    virtual uint64 connect(char const *host, unsigned short port) = 0;
};

} // namespace http
} // namespace vfs
} // namespace zem

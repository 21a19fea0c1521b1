// The byte transports under an HTTP exchange: ConnStream over a connected TCP
// socket, SSLConnStream over a TLS client session on such a socket (one
// OpenSSL context per connection). Both own their socket from construction
// and close it when destroyed. Internal to the library: callers see them as
// HttpStream.
#pragma once

#include "../HttpStream.h"
#include "Net.h"

#include <memory>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace zem {
namespace vfs {
namespace http {

class ConnStream : public HttpStream {
public:
    ConnStream(HttpSession *session, SOCKET socket);

    int64 write(char const *data, uint64 size) override;
    int64 read(char *buffer, uint64 size) override;
    uint64 socket() override;
    // Peeks at a block, then reads exactly up to the line end, so that no
    // byte after the line is taken from the connection.
    uint64 readline(char *buffer, uint64 size) override;
    // Looks at waiting bytes without taking them.
    virtual int64 peek(char *buffer, uint64 size);

protected:
    ~ConnStream() override;

    Socket socket_;
};

class SSLConnStream : public ConnStream {
public:
    // Runs the TLS handshake on `socket`. `server_name` (may be null) is sent
    // as the server name indication unless it is an IP address literal. The
    // server certificate is not verified. A failed handshake is not reported
    // here: the stream is left without a TLS session and every later write,
    // read and peek returns 0.
    SSLConnStream(HttpSession *session, SOCKET socket, char const *server_name);

    int64 write(char const *data, uint64 size) override;
    int64 read(char *buffer, uint64 size) override;
    int64 peek(char *buffer, uint64 size) override;

    // Is there a TLS session (did the handshake succeed)?
    bool connected() const { return ssl_ != nullptr; }

protected:
    ~SSLConnStream() override;

private:
    struct CtxFree {
        void operator()(SSL_CTX *ctx) const;
    };
    struct SslFree {
        void operator()(SSL *ssl) const;
    };
    // Declared in this order so that the session is freed before its context.
    std::unique_ptr<SSL_CTX, CtxFree> ctx_;
    std::unique_ptr<SSL, SslFree> ssl_;
};

} // namespace http
} // namespace vfs
} // namespace zem

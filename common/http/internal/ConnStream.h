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
    // Takes the lines readline returned from the connection first.
    int64 read(char *buffer, uint64 size) override;
    // Takes the lines readline returned from the connection first, so that
    // the caller's own reads on the socket begin after them.
    uint64 socket() override;
    // Lines come from a block the transport shows without taking it (a
    // peek); the bytes of the lines returned are taken from the connection
    // only when more must be seen, or by read() or socket(). So no byte
    // after the returned lines is ever taken, with a few transport calls for
    // a whole head.
    uint64 readline(char *buffer, uint64 size) override;

protected:
    ~ConnStream() override;

    // The transport: receive takes bytes, peek looks at waiting bytes.
    virtual int64 receive(char *buffer, uint64 size);
    virtual int64 peek(char *buffer, uint64 size);

    Socket socket_;

private:
    // Takes the bytes of the returned lines from the transport and forgets
    // the block; false when the transport fails.
    bool take_seen();

    char seen_[4096];
    std::size_t seen_size_ = 0; // bytes of the block in seen_
    std::size_t taken_ = 0;     // of them, bytes of lines already returned
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

    // Is there a TLS session (did the handshake succeed)?
    bool connected() const { return ssl_ != nullptr; }

protected:
    ~SSLConnStream() override;

    int64 receive(char *buffer, uint64 size) override;
    int64 peek(char *buffer, uint64 size) override;

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

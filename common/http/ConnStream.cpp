#include "internal/ConnStream.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <climits>

namespace zem {
namespace vfs {
namespace http {

namespace {

// The system and TLS calls take a 32-bit signed count.
int clamp_count(uint64 size) {
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

bool is_ip_literal(char const *host) {
    in_addr v4;
    in6_addr v6;
    return inet_pton(AF_INET, host, &v4) == 1 || inet_pton(AF_INET6, host, &v6) == 1;
}

} // namespace

ConnStream::ConnStream(HttpSession *session, SOCKET socket)
    : HttpStream(session), socket_(socket) {}

ConnStream::~ConnStream() = default;

int64 ConnStream::write(char const *data, uint64 size) {
    return ::send(socket_.get(), data, clamp_count(size), 0);
}

int64 ConnStream::read(char *buffer, uint64 size) {
    if (!take_seen()) {
        return -1;
    }
    return receive(buffer, size);
}

int64 ConnStream::receive(char *buffer, uint64 size) {
    return ::recv(socket_.get(), buffer, clamp_count(size), 0);
}

int64 ConnStream::peek(char *buffer, uint64 size) {
    return ::recv(socket_.get(), buffer, clamp_count(size), MSG_PEEK);
}

uint64 ConnStream::socket() {
    take_seen();
    return static_cast<uint64>(socket_.get());
}

bool ConnStream::take_seen() {
    std::size_t left = taken_;
    seen_size_ = taken_ = 0;
    while (left > 0) {
        int64 const got = receive(seen_, left);
        if (got <= 0) {
            return false;
        }
        left -= static_cast<std::size_t>(got);
    }
    return true;
}

uint64 ConnStream::readline(char *buffer, uint64 size) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    uint64 const limit = size - 1;
    uint64 count = 0;
    while (count < limit) {
        if (taken_ == seen_size_) {
            int64 const seen = take_seen() ? peek(seen_, sizeof(seen_)) : 0;
            if (seen <= 0) {
                break;
            }
            seen_size_ = std::min(static_cast<std::size_t>(seen), sizeof(seen_));
        }
        char const c = seen_[taken_++];
        if (c == '\0' || c == '\n') {
            break;
        }
        if (c != '\r') {
            buffer[count++] = c;
            continue;
        }
        // A CR ends the line, and so does a CR LF pair.
        if (taken_ < seen_size_) {
            taken_ += seen_[taken_] == '\n' ? 1 : 0;
        } else if (take_seen()) {
            char next = 0;
            if (peek(&next, 1) == 1 && next == '\n') {
                receive(&next, 1);
            }
        }
        break;
    }
    buffer[count] = '\0';
    return count;
}

void SSLConnStream::CtxFree::operator()(SSL_CTX *ctx) const {
    SSL_CTX_free(ctx);
}

void SSLConnStream::SslFree::operator()(SSL *ssl) const {
    SSL_free(ssl);
}

SSLConnStream::SSLConnStream(HttpSession *session, SOCKET socket, char const *server_name)
    : ConnStream(session, socket) {
    std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        return;
    }
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
    if (!ssl) {
        return;
    }
    if (server_name != nullptr && *server_name != '\0' && !is_ip_literal(server_name)) {
        // The name is sent for the server's sake only; nothing is verified.
        if (SSL_set_tlsext_host_name(ssl.get(), server_name) != 1) {
            return;
        }
    }
    if (SSL_set_fd(ssl.get(), static_cast<int>(socket_.get())) <= 0) {
        return;
    }
    if (SSL_connect(ssl.get()) <= 0) {
        return;
    }
    ctx_ = std::move(ctx);
    ssl_ = std::move(ssl);
}

// No close notification is sent; the session and context go before the
// socket (ConnStream closes it after this destructor).
SSLConnStream::~SSLConnStream() = default;

int64 SSLConnStream::write(char const *data, uint64 size) {
    if (!ssl_) {
        return 0;
    }
    return SSL_write(ssl_.get(), data, clamp_count(size));
}

int64 SSLConnStream::receive(char *buffer, uint64 size) {
    if (!ssl_) {
        return 0;
    }
    return SSL_read(ssl_.get(), buffer, clamp_count(size));
}

int64 SSLConnStream::peek(char *buffer, uint64 size) {
    if (!ssl_) {
        return 0;
    }
    return SSL_peek(ssl_.get(), buffer, clamp_count(size));
}

} // namespace http
} // namespace vfs
} // namespace zem

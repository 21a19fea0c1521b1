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
    return ::recv(socket_.get(), buffer, clamp_count(size), 0);
}

int64 ConnStream::peek(char *buffer, uint64 size) {
    return ::recv(socket_.get(), buffer, clamp_count(size), MSG_PEEK);
}

uint64 ConnStream::socket() {
    return static_cast<uint64>(socket_.get());
}

// A line is taken in blocks: a peek shows what has arrived, and exactly the
// bytes up to the line end are then read, so the body (or a tunnelled TLS
// session) after the head is never consumed here.
uint64 ConnStream::readline(char *buffer, uint64 size) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    uint64 const limit = size - 1;
    uint64 count = 0;
    bool carriage_return = false;
    bool ended = false;
    while (!ended && count < limit) {
        // One byte more than fits, so that the LF after a CR is seen at once;
        // the slot of the final NUL takes it.
        uint64 const room = limit - count;
        int64 const seen = peek(buffer + count, room + 1);
        if (seen <= 0) {
            break;
        }
        uint64 const got = std::min(static_cast<uint64>(seen), room + 1);
        uint64 const usable = got > room ? room : got;
        uint64 stored = 0;
        while (stored < usable && buffer[count + stored] != '\0' &&
               buffer[count + stored] != '\r' && buffer[count + stored] != '\n') {
            ++stored;
        }
        uint64 take = stored;
        if (stored < usable) {
            ended = true;
            take = stored + 1;
            if (buffer[count + stored] == '\r') {
                if (take < got && buffer[count + take] == '\n') {
                    ++take;
                } else {
                    carriage_return = take == got;
                }
            }
        }
        int64 const read_now = read(buffer + count, take);
        if (read_now <= 0) {
            break;
        }
        if (static_cast<uint64>(read_now) < take) {
            // Fewer bytes than were seen: keep what arrived, end the line
            // only if its end arrived too.
            uint64 const part = static_cast<uint64>(read_now);
            ended = part > stored;
            carriage_return = ended && part == stored + 1 && buffer[count + stored] == '\r';
            count += part < stored ? part : stored;
            continue;
        }
        count += stored;
    }
    buffer[count] = '\0';
    if (carriage_return) {
        char next = 0;
        if (peek(&next, 1) == 1 && next == '\n') {
            read(&next, 1);
        }
    }
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

int64 SSLConnStream::read(char *buffer, uint64 size) {
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

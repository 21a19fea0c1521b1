// HTTP client throughput and response-head time, against servers of its own.
//
// A loopback server in this program (plain, and TLS with a certificate made
// at start) answers "/big" with a body of 16 MiB and "/head" with a head of
// 30 header lines and no body. For each transport:
//  - throughput: the body through HttpSession::get and read() in 8192-byte
//    pieces, against a raw recv (SSL_read) loop of the same response;
//  - head: HttpSession::get of "/head" (request and head), against a raw
//    exchange that sends the same request and receives the same bytes.
// Medians over the rounds; the last line is
//     summary: head_over_raw_plain=R head_over_raw_tls=R
// (target <= 2). Run with: scripts/bench.sh build http
#include "../common/http/HttpSession.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using zem::vfs::int64;
using zem::vfs::uint64;
using zem::vfs::http::HttpSession;
using zem::vfs::http::HttpStream;

namespace {

typedef std::chrono::steady_clock Clock;
std::size_t const kBody = 16u << 20, kPiece = 8192;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

std::string head30() {
    std::string head = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 28; ++i) {
        char line[96];
        std::snprintf(line, sizeof(line), "X-Header-%02d: value number %d with some text in it\r\n",
                      i, i);
        head += line;
    }
    return head + "Set-Cookie: bench=1; Path=/\r\nContent-Length: 0\r\n\r\n";
}

// A self-signed certificate and key for the TLS server.
SSL_CTX *server_context() {
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    EVP_PKEY *key = EVP_RSA_gen(2048);
    X509 *cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<unsigned char const *>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return ctx;
}

// One connection at a time: reads the request head, answers by its path and
// closes.
class Server {
public:
    explicit Server(SSL_CTX *ctx) : ctx_(ctx), body_(kBody, 'b') {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr *>(&address), size);
        listen(listener_, 16);
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~Server() {
        closesocket(listener_);
        thread_.join();
    }
    int port = 0;

private:
    void serve() {
        for (SOCKET s; (s = accept(listener_, nullptr, nullptr)) != INVALID_SOCKET;) {
            SSL *ssl = ctx_ != nullptr ? SSL_new(ctx_) : nullptr;
            if (ssl != nullptr) {
                SSL_set_fd(ssl, static_cast<int>(s));
                SSL_accept(ssl);
            }
            std::string request;
            char block[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                int n = ssl ? SSL_read(ssl, block, sizeof block) : recv(s, block, sizeof block, 0);
                if (n <= 0)
                    break;
                request.append(block, static_cast<std::size_t>(n));
            }
            std::string const answer =
                request.compare(0, 9, "GET /big ") == 0
                    ? "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n" +
                          body_
                    : head30();
            for (std::size_t at = 0; at < answer.size();) {
                int const piece =
                    static_cast<int>(std::min<std::size_t>(answer.size() - at, 1 << 16));
                int n = ssl ? SSL_write(ssl, answer.data() + at, piece)
                            : send(s, answer.data() + at, piece, 0);
                if (n <= 0)
                    break;
                at += static_cast<std::size_t>(n);
            }
            if (ssl != nullptr) {
                SSL_shutdown(ssl);
                SSL_free(ssl);
            }
            closesocket(s);
        }
    }

    SSL_CTX *ctx_;
    std::string body_;
    SOCKET listener_;
    std::thread thread_;
};

// The raw exchange: the request, then every byte of the answer until the
// server closes; bytes received. The socket comes from the session, which
// makes the client's connections, so that both meet the same set-up.
uint64 raw(HttpSession &session, int port, bool tls, std::string const &path) {
    SOCKET s = static_cast<SOCKET>(session.connect("127.0.0.1", static_cast<unsigned short>(port)));
    uint64 total = 0;
    SSL_CTX *ctx = tls ? SSL_CTX_new(TLS_client_method()) : nullptr;
    SSL *ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
    if (s != INVALID_SOCKET &&
        (!tls || (SSL_set_fd(ssl, static_cast<int>(s)) > 0 && SSL_connect(ssl) > 0))) {
        std::string const request =
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        tls ? SSL_write(ssl, request.data(), static_cast<int>(request.size()))
            : send(s, request.data(), static_cast<int>(request.size()), 0);
        std::vector<char> buffer(kPiece);
        for (int got; (got = tls ? SSL_read(ssl, buffer.data(), static_cast<int>(kPiece))
                                 : recv(s, buffer.data(), static_cast<int>(kPiece), 0)) > 0;)
            total += static_cast<uint64>(got);
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    closesocket(s);
    return total;
}

// The client: the head through get, the body as a caller reads it.
uint64 client(HttpSession &session, int port, bool tls, std::string const &path) {
    std::string const url =
        (tls ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port) + path;
    HttpStream *stream = session.get(std::wstring(url.begin(), url.end()).c_str());
    if (stream == nullptr)
        return 0;
    uint64 const size = stream->content_size();
    std::vector<char> buffer(kPiece);
    uint64 total = 0;
    for (int64 got;
         total < size &&
         (got = stream->read(buffer.data(), std::min<uint64>(size - total, kPiece))) > 0;)
        total += static_cast<uint64>(got);
    stream->release();
    return total;
}

// Medians of the raw and the client times of `path`, the two taking turns at
// going first; 0 when a download failed.
double compare(char const *label, int port, bool tls, std::string const &path, int rounds,
               int repeat, uint64 raw_size, uint64 body_size) {
    HttpSession session;
    std::vector<double> times[2];
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            bool const raw_turn = (turn == 0) == (round % 2 == 0);
            Clock::time_point const start = Clock::now();
            for (int i = 0; i < repeat; ++i) {
                uint64 const got =
                    raw_turn ? raw(session, port, tls, path) : client(session, port, tls, path);
                if (got != (raw_turn ? raw_size : body_size)) {
                    std::printf("%s: the %s exchange failed (%llu bytes)\n", label,
                                raw_turn ? "raw" : "client", static_cast<unsigned long long>(got));
                    return 0;
                }
            }
            times[raw_turn ? 0 : 1].push_back(seconds_since(start) / repeat);
        }
    }
    double const r = median(times[0]), c = median(times[1]);
    std::printf("%-22s raw %9.3f ms  HttpSession %9.3f ms  client/raw %.2f\n", label, r * 1e3,
                c * 1e3, c / r);
    return c / r;
}

} // namespace

int main(int argc, char **argv) {
    int const rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    WSADATA data;
    WSAStartup(0x0202, &data);
    HttpSession init; // the TLS library
    SSL_CTX *ctx = server_context();
    Server plain(nullptr), tls(ctx);
    std::size_t const big_answer = kBody + 37 + std::to_string(kBody).size(),
                      head = head30().size();
    std::printf("bench_http: %d rounds, medians, pieces of %zu bytes\n", rounds, kPiece);
    compare("plain 16 MiB body", plain.port, false, "/big", rounds, 1, big_answer, kBody);
    compare("TLS 16 MiB body", tls.port, true, "/big", rounds, 1, big_answer, kBody);
    double const head_plain =
        compare("plain head (30 lines)", plain.port, false, "/head", rounds, 50, head, 0);
    double const head_tls =
        compare("TLS head (30 lines)", tls.port, true, "/head", rounds, 20, head, 0);
    std::printf("summary: head_over_raw_plain=%.2f head_over_raw_tls=%.2f\n", head_plain, head_tls);
    SSL_CTX_free(ctx);
    return 0;
}

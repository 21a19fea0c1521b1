// HTTP client throughput and head parsing.
//
// Downloads a 64 MiB body from a loopback server through HttpSession::get and
// read() in 8192-byte pieces, plain and over TLS, and the same body through a
// raw Winsock recv loop (and for TLS a raw SSL_read loop) on the same server
// in the same run: medians in MB/s and the ratio client / raw (target >= 0.9).
// Then the time to parse a response head of 30 headers: in memory (the head
// parser alone) and over loopback (request, head and connection), the latter
// against a raw exchange of the same request.
//
// The servers are the scripted peers of the tests (tests/http/peers.py, routes
// /big/<n> and /head30). Run everything with
//     sh tests/http/bench_http.sh <build-folder>
// or start the peers yourself (sh tests/http/peers.sh up <dir>) and run
//     bench_http.exe [Z:<dir>/ports.txt] [rounds]
// under Wine; without an argument the ports file is taken from the
// environment variable ZEM_HTTP_PEERS.
#include "../common/http/HttpSession.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

using zem::vfs::int64;
using zem::vfs::uint64;
using zem::vfs::http::HttpSession;
using zem::vfs::http::HttpStream;

namespace {

typedef std::chrono::steady_clock Clock;

uint64 const kBodySize = 64ull << 20;
std::size_t const kPiece = 8192;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n == 0 ? 0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

std::map<std::string, int> read_ports(std::string const &path) {
    std::map<std::string, int> ports;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t eq = line.find('=');
        if (eq != std::string::npos) {
            ports[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
        }
    }
    return ports;
}

SOCKET open_socket(int port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return s;
    }
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

std::string request_for(std::string const &path, int port) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
}

// Everything the server sends (head and body) through recv; bytes received.
uint64 raw_plain(int port, std::string const &path) {
    SOCKET s = open_socket(port);
    if (s == INVALID_SOCKET) {
        return 0;
    }
    std::string request = request_for(path, port);
    send(s, request.data(), static_cast<int>(request.size()), 0);
    std::vector<char> buffer(kPiece);
    uint64 total = 0;
    for (;;) {
        int got = recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
        if (got <= 0) {
            break;
        }
        total += static_cast<uint64>(got);
    }
    closesocket(s);
    return total;
}

// The same through a TLS client of its own, one context per connection like
// the library's stream.
uint64 raw_tls(int port, std::string const &path) {
    SOCKET s = open_socket(port);
    if (s == INVALID_SOCKET) {
        return 0;
    }
    uint64 total = 0;
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL *ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
    if (ssl != nullptr && SSL_set_fd(ssl, static_cast<int>(s)) > 0 && SSL_connect(ssl) > 0) {
        std::string request = request_for(path, port);
        SSL_write(ssl, request.data(), static_cast<int>(request.size()));
        std::vector<char> buffer(kPiece);
        for (;;) {
            int got = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()));
            if (got <= 0) {
                break;
            }
            total += static_cast<uint64>(got);
        }
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    closesocket(s);
    return total;
}

// The body as a caller reads it: content_size() bytes in query_size() pieces.
uint64 client_get(HttpSession &session, std::wstring const &url) {
    HttpStream *stream = session.get(url.c_str());
    if (stream == nullptr) {
        return 0;
    }
    uint64 const size = stream->content_size();
    std::vector<char> buffer(kPiece);
    uint64 total = 0;
    while (total < size) {
        uint64 want = std::min<uint64>(stream->query_size(), size - total);
        int64 got = stream->read(buffer.data(), std::min<uint64>(want, buffer.size()));
        if (got <= 0) {
            break;
        }
        total += static_cast<uint64>(got);
    }
    stream->release();
    return total;
}

// A stream over a response held in memory, so that the head parser can be
// timed without a connection. readline follows the connection streams' rules.
class MemoryStream : public HttpStream {
public:
    MemoryStream(HttpSession *session, std::string const &data)
        : HttpStream(session), data_(data), pos_(0) {}
    bool parse() { return recv(); }
    void rewind() { pos_ = 0; }

    int64 write(char const *, uint64 size) override { return static_cast<int64>(size); }
    int64 read(char *buffer, uint64 size) override {
        uint64 n = std::min<uint64>(size, data_.size() - pos_);
        std::memcpy(buffer, data_.data() + pos_, static_cast<std::size_t>(n));
        pos_ += static_cast<std::size_t>(n);
        return static_cast<int64>(n);
    }
    uint64 readline(char *buffer, uint64 size) override {
        if (size == 0) {
            return 0;
        }
        uint64 count = 0;
        bool cr = false;
        while (count < size - 1 && pos_ < data_.size()) {
            char c = data_[pos_++];
            if (c == '\0' || c == '\n') {
                break;
            }
            if (c == '\r') {
                cr = true;
                break;
            }
            buffer[count++] = c;
        }
        buffer[count] = '\0';
        if (cr && pos_ < data_.size() && data_[pos_] == '\n') {
            ++pos_;
        }
        return count;
    }
    void destroy() { release(); }

protected:
    ~MemoryStream() override {}

private:
    std::string data_;
    std::size_t pos_;
};

std::string head30() {
    std::string head = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 28; ++i) {
        char line[96];
        std::snprintf(line, sizeof(line), "X-Header-%02d: value number %d with some text in it\r\n",
                      i, i);
        head += line;
    }
    head += "Set-Cookie: bench=1; Path=/\r\nContent-Length: 0\r\n\r\n";
    return head;
}

void throughput(char const *label, int rounds, uint64 (*raw)(int, std::string const &), int port,
                bool tls) {
    HttpSession session;
    std::string const path = "/big/" + std::to_string(kBodySize);
    std::wstring const url = (tls ? L"https://127.0.0.1:" : L"http://127.0.0.1:") +
                             std::to_wstring(port) + std::wstring(path.begin(), path.end());
    std::vector<double> raw_rates, client_rates;
    // The two loops take turns going first, so that neither always meets a
    // warmer or a busier machine.
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            bool const raw_turn = (turn == 0) == (round % 2 == 0);
            Clock::time_point const start = Clock::now();
            uint64 const got = raw_turn ? raw(port, path) : client_get(session, url);
            double const t = seconds_since(start);
            if (raw_turn ? got < kBodySize : got != kBodySize) {
                std::printf("%s: the %s download failed (%llu bytes)\n", label,
                            raw_turn ? "raw" : "client", static_cast<unsigned long long>(got));
                return;
            }
            (raw_turn ? raw_rates : client_rates)
                .push_back(static_cast<double>(kBodySize) / 1e6 / t);
        }
    }
    double const r = median(raw_rates), c = median(client_rates);
    std::printf("%-5s 64 MiB  raw %8.1f MB/s  HttpSession %8.1f MB/s  ratio %.2f (target >= "
                "0.90)\n",
                label, r, c, c / r);
}

void head_parse(int port, int rounds) {
    HttpSession session;
    // In memory: the parser alone.
    std::string const head = head30();
    MemoryStream *stream = new MemoryStream(&session, head);
    int const iterations = 20000;
    std::vector<double> per_head;
    for (int round = 0; round < rounds; ++round) {
        Clock::time_point start = Clock::now();
        for (int i = 0; i < iterations; ++i) {
            stream->rewind();
            if (!stream->parse()) {
                std::printf("head parse failed\n");
                stream->destroy();
                return;
            }
        }
        per_head.push_back(seconds_since(start) * 1e9 / iterations);
    }
    stream->destroy();
    std::printf("head of 30 headers (%zu bytes), in memory: %8.0f ns per head\n", head.size(),
                median(per_head));

    // Over loopback: the whole request, against a raw exchange of the same one.
    std::wstring const url = L"http://127.0.0.1:" + std::to_wstring(port) + L"/head30";
    int const requests = 50;
    std::vector<double> raw_times, client_times;
    for (int round = 0; round < rounds; ++round) {
        Clock::time_point start = Clock::now();
        for (int i = 0; i < requests; ++i) {
            raw_plain(port, "/head30");
        }
        raw_times.push_back(seconds_since(start) * 1e3 / requests);
        start = Clock::now();
        for (int i = 0; i < requests; ++i) {
            HttpStream *s = session.get(url.c_str());
            if (s == nullptr) {
                std::printf("head request failed\n");
                return;
            }
            s->release();
        }
        client_times.push_back(seconds_since(start) * 1e3 / requests);
    }
    double const r = median(raw_times), c = median(client_times);
    std::printf("head of 30 headers over loopback: raw exchange %.3f ms, HttpSession::get %.3f ms "
                "(%.2fx; the head is read one byte per recv)\n",
                r, c, c / r);
}

} // namespace

int main(int argc, char **argv) {
    char const *env = std::getenv("ZEM_HTTP_PEERS");
    std::string const file = argc > 1 ? argv[1] : (env != nullptr ? env : "");
    int const rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    std::map<std::string, int> ports = read_ports(file);
    if (ports["http"] == 0 || ports["https"] == 0) {
        std::fprintf(stderr,
                     "bench_http: no peer ports (start them with: sh tests/http/peers.sh up "
                     "<dir>; then pass Z:<dir>/ports.txt or set ZEM_HTTP_PEERS)\n");
        return 1;
    }
    WSADATA data;
    WSAStartup(0x0202, &data);
    HttpSession init; // Winsock for the raw loops
    std::printf("bench_http: %d rounds, medians, pieces of %zu bytes\n", rounds, kPiece);
    throughput("plain", rounds, raw_plain, ports["http"], false);
    throughput("TLS", rounds, raw_tls, ports["https"], true);
    head_parse(ports["http"], rounds);
    return 0;
}

// Socket ownership and the small text and socket helpers shared by the HTTP
// client's streams and proxies. Internal to the library.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>
#include <string>

namespace zem {
namespace vfs {
namespace http {

// Owns one socket and closes it exactly once.
class Socket {
public:
    Socket() : s_(INVALID_SOCKET) {}
    explicit Socket(SOCKET s) : s_(s) {}
    ~Socket() { reset(); }
    Socket(Socket &&other) noexcept : s_(other.release()) {}
    Socket &operator=(Socket &&other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Socket(Socket const &) = delete;
    Socket &operator=(Socket const &) = delete;

    SOCKET get() const { return s_; }
    bool valid() const { return s_ != INVALID_SOCKET; }
    // Hands the socket over; the object no longer owns it.
    SOCKET release() {
        SOCKET s = s_;
        s_ = INVALID_SOCKET;
        return s;
    }
    void reset(SOCKET s = INVALID_SOCKET) {
        if (s_ != INVALID_SOCKET) {
            closesocket(s_);
        }
        s_ = s;
    }

private:
    SOCKET s_;
};

// A TCP connection to `host` and `port`: IPv4 addresses from getaddrinfo,
// tried in order. INVALID_SOCKET when the host is null or empty, the port is
// outside 1 to 65535, the name does not resolve or no address connects.
Socket connect_tcp(char const *host, int port);

// Sends all `size` bytes; false when a send fails or sends nothing.
[[nodiscard]] bool send_all(SOCKET s, void const *data, std::size_t size);
// Receives exactly `size` bytes; false when the connection ends or fails
// first.
[[nodiscard]] bool recv_exact(SOCKET s, void *buffer, std::size_t size);

// The leading decimal number of `text` the way atoi reads it (leading white
// space and a sign allowed, reading stops at the first non-digit, no digits
// give 0), saturated to the int range instead of overflowing.
int parse_int(char const *text);
int parse_int(wchar_t const *text);

// The leading hexadecimal number of `text` the way strtoul reads it with base
// 16 (white space, a sign and a "0x" prefix allowed), saturated to 32 bits.
// `end`, when given, receives the offset at which the reading stopped.
unsigned long parse_hex(char const *text, std::size_t *end = nullptr);

// The (up to) three characters of a status code that start at `text`.
std::string status_code(char const *text);

// ASCII case-insensitive comparisons.
bool iequals(std::string const &a, char const *b);
bool istarts_with(char const *text, char const *prefix);

// Does the text hold a CR, LF or NUL (which would split a request line)?
bool has_line_break(std::string const &text);

} // namespace http
} // namespace vfs
} // namespace zem

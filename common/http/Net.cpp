#include "internal/Net.h"

#include <climits>
#include <cstring>
#include <memory>

namespace zem {
namespace vfs {
namespace http {

namespace {

struct AddrInfoFree {
    void operator()(addrinfo *list) const { freeaddrinfo(list); }
};

bool is_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

template <typename Char> int parse_int_(Char const *text) {
    if (text == nullptr) {
        return 0;
    }
    while (is_space(static_cast<int>(*text))) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    long long value = 0;
    while (*text >= '0' && *text <= '9') {
        if (value <= static_cast<long long>(INT_MAX) + 1) {
            value = value * 10 + (*text - '0');
        }
        ++text;
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

int lower(int c) {
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

} // namespace

Socket connect_tcp(char const *host, int port) {
    if (host == nullptr || *host == '\0' || port <= 0 || port > 65535) {
        return Socket();
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_flags = 0;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    std::string service = std::to_string(port);
    addrinfo *raw = nullptr;
    if (getaddrinfo(host, service.c_str(), &hints, &raw) != 0 || raw == nullptr) {
        return Socket();
    }
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    for (addrinfo *ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        Socket s(::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol));
        if (!s.valid()) {
            continue;
        }
        if (::connect(s.get(), ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) {
            return s;
        }
    }
    return Socket();
}

bool send_all(SOCKET s, void const *data, std::size_t size) {
    char const *p = static_cast<char const *>(data);
    while (size > 0) {
        int piece = size > INT_MAX ? INT_MAX : static_cast<int>(size);
        int sent = ::send(s, p, piece, 0);
        if (sent <= 0) {
            return false;
        }
        p += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool recv_exact(SOCKET s, void *buffer, std::size_t size) {
    char *p = static_cast<char *>(buffer);
    while (size > 0) {
        int piece = size > INT_MAX ? INT_MAX : static_cast<int>(size);
        int got = ::recv(s, p, piece, 0);
        if (got <= 0) {
            return false;
        }
        p += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

int parse_int(char const *text) {
    return parse_int_(text);
}

int parse_int(wchar_t const *text) {
    return parse_int_(text);
}

unsigned long parse_hex(char const *text, std::size_t *end) {
    if (end != nullptr) {
        *end = 0;
    }
    if (text == nullptr) {
        return 0;
    }
    char const *const start = text;
    while (is_space(static_cast<unsigned char>(*text))) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && digit(text[2]) >= 0) {
        text += 2;
    }
    unsigned long long value = 0;
    bool overflow = false;
    for (int d; (d = digit(*text)) >= 0; ++text) {
        value = value * 16 + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFull) {
            overflow = true;
            value = 0xFFFFFFFFull;
        }
    }
    if (end != nullptr) {
        *end = static_cast<std::size_t>(text - start);
    }
    if (overflow) {
        return 0xFFFFFFFFul;
    }
    unsigned long result = static_cast<unsigned long>(value);
    return negative ? static_cast<unsigned long>(0u - result) : result;
}

std::string status_code(char const *text) {
    std::size_t length = 0;
    while (length < 3 && text[length] != '\0') {
        ++length;
    }
    return std::string(text, length);
}

bool iequals(std::string const &a, char const *b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool istarts_with(char const *text, char const *prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (*text == '\0' || lower(static_cast<unsigned char>(*text)) !=
                                 lower(static_cast<unsigned char>(*prefix))) {
            return false;
        }
    }
    return true;
}

bool has_line_break(std::string const &text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

} // namespace http
} // namespace vfs
} // namespace zem

#include "internal/Proxies.h"

#include "../log/Log.h"

#include <cstring>

namespace zem {
namespace vfs {
namespace http {

namespace {

std::size_t const kMaxProxyLine = 4096;

std::string text_or_empty(char const *text) {
    return text != nullptr ? text : std::string();
}

// The IPv4 address for a SOCKS request: dotted-decimal text as is, any other
// name resolved here (the proxy is never asked to resolve names).
[[nodiscard]] bool target_address(char const *host, in_addr &address) {
    if (host == nullptr || *host == '\0') {
        return false;
    }
    if (inet_pton(AF_INET, host, &address) == 1) {
        return true;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) {
        return false;
    }
    bool found = false;
    for (addrinfo *ai = list; ai != nullptr && !found; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            address = reinterpret_cast<sockaddr_in const *>(ai->ai_addr)->sin_addr;
            found = true;
        }
    }
    freeaddrinfo(list);
    return found;
}

} // namespace

NetProxy::NetProxy() {}

NetProxy::NetProxy(NetProxy const &) {}

NetProxy &NetProxy::operator=(NetProxy const &) {
    return *this;
}

NetProxy::~NetProxy() {}

uint64 CDirectProxy::connect(char const *host, unsigned short port) {
    return static_cast<uint64>(connect_tcp(host, port).release());
}

// Reads one line of the proxy's answer: a peek shows what has arrived, and
// only the bytes up to the line feed are then read, so that the tunnel data
// after the answer stays on the socket.
bool read_proxy_line(SOCKET s, std::string &line) {
    line.clear();
    char block[kMaxProxyLine];
    for (;;) {
        int const seen = ::recv(s, block, static_cast<int>(sizeof(block)), MSG_PEEK);
        if (seen <= 0) {
            return false;
        }
        int take = 0;
        while (take < seen && block[take] != '\n') {
            ++take;
        }
        bool const ended = take < seen;
        if (ended) {
            ++take;
        }
        int const got = ::recv(s, block, take, 0);
        if (got <= 0) {
            return false;
        }
        for (int i = 0; i < got; ++i) {
            char const c = block[i];
            if (c == '\n') {
                return true;
            }
            if (c == '\r') {
                continue;
            }
            line += c;
            if (line.size() >= kMaxProxyLine) {
                return false;
            }
        }
    }
}

std::string mask_credentials(std::string const &request) {
    static char const kField[] = "\r\nProxy-Authorization: ";
    std::size_t start = request.find(kField);
    if (start == std::string::npos) {
        return request;
    }
    start += sizeof(kField) - 1;
    std::size_t end = request.find("\r\n", start);
    if (end == std::string::npos) {
        end = request.size();
    }
    std::size_t blank = request.find(' ', start);
    std::string scheme =
        request.substr(start, (blank == std::string::npos || blank > end ? end : blank) - start);
    return request.substr(0, start) + scheme + " ********" + request.substr(end);
}

CHttpProxy::CHttpProxy(char const *server, int port, char const *user, char const *password)
    : server_(text_or_empty(server)), user_(text_or_empty(user)),
      password_(text_or_empty(password)), port_(port) {}

CHttpProxy::~CHttpProxy() = default;

uint64 CHttpProxy::connect(char const *host, unsigned short port) {
    // The second round runs only after a challenge made the credentials; it
    // cannot ask for a third.
    for (int round = 0; round < 2; ++round) {
        Socket s = connect_tcp(server_.c_str(), port_);
        if (!s.valid()) {
            return static_cast<uint64>(INVALID_SOCKET);
        }
        Handshake result = handshake(s.get(), host, port);
        if (result == tunnel) {
            return static_cast<uint64>(s.release());
        }
        if (result == refused) {
            break;
        }
    }
    return static_cast<uint64>(INVALID_SOCKET);
}

CHttpProxy::Handshake CHttpProxy::handshake(SOCKET s, char const *host, unsigned short port) {
    bool const had_authorization = authorization_ != nullptr;
    if (host == nullptr) {
        return refused;
    }
    std::string const target_host(host);
    // A line break in the host or the credentials would add lines of its own
    // to the request.
    if (has_line_break(target_host)) {
        return refused;
    }
    std::string const target = target_host + ":" + std::to_string(port);
    std::string request = "CONNECT " + target + " HTTP/1.0\r\n";
    if (had_authorization) {
        std::string value = authorization_->authorization(target_host, port, user_, password_);
        if (has_line_break(value)) {
            return refused;
        }
        request += "Proxy-Authorization: " + value + "\r\nHost: " + target_host + "\r\n";
    }
    request += "\r\n";
    ZEM_LOG(7, "HTTP Proxy connect: " << mask_credentials(request));

    if (!send_all(s, request.data(), request.size())) {
        return refused;
    }
    std::string line;
    if (!read_proxy_line(s, line)) {
        return refused;
    }
    std::size_t blank = line.find(' ');
    if (blank == std::string::npos || line.size() < blank + 5 || line[blank + 4] != ' ') {
        return refused;
    }
    std::string const status = line.substr(blank + 1, 3);
    for (;;) {
        if (!read_proxy_line(s, line)) {
            return refused;
        }
        if (line.empty()) {
            break;
        }
        if (authorization_ || !istarts_with(line.c_str(), "Proxy-Authenticate:")) {
            continue;
        }
        char const *scheme = line.c_str() + 19;
        while (*scheme == ' ' || *scheme == '\t') {
            ++scheme;
        }
        std::size_t const rest = std::strlen(scheme);
        if (istarts_with(scheme, "Basic")) {
            authorization_.reset(new CBasicAuthorization(scheme + (rest < 6 ? rest : 6)));
        } else if (istarts_with(scheme, "Digest")) {
            authorization_.reset(new CDigestAuthorization(scheme + (rest < 7 ? rest : 7)));
        }
    }
    if (status == "200") {
        return tunnel;
    }
    if (had_authorization) {
        return refused;
    }
    if (status == "401" || status == "407") {
        return authorization_ ? retry_with_credentials : refused;
    }
    return refused;
}

CSocksProxy::CSocksProxy(char const *server, int port, char const *user, char const *password)
    : server_(text_or_empty(server)), user_(text_or_empty(user)),
      password_(text_or_empty(password)), port_(port) {}

uint64 CSocksProxy::connect(char const *host, unsigned short port) {
    in_addr address;
    if (!target_address(host, address)) {
        return static_cast<uint64>(INVALID_SOCKET);
    }
    Socket s = connect_tcp(server_.c_str(), port_);
    if (!s.valid()) {
        return static_cast<uint64>(INVALID_SOCKET);
    }
    if (socks4(s.get(), address, port)) {
        return static_cast<uint64>(s.release());
    }
    s = connect_tcp(server_.c_str(), port_);
    if (!s.valid()) {
        return static_cast<uint64>(INVALID_SOCKET);
    }
    if (socks5(s.get(), address, port)) {
        return static_cast<uint64>(s.release());
    }
    return static_cast<uint64>(INVALID_SOCKET);
}

// Replies are read to their defined length, never further: bytes that follow
// belong to the tunnel.
bool CSocksProxy::socks4(SOCKET s, in_addr address, unsigned short port) {
    unsigned char request[9];
    request[0] = 0x04;
    request[1] = 0x01;
    u_short const net_port = htons(port);
    std::memcpy(request + 2, &net_port, 2);
    std::memcpy(request + 4, &address, 4);
    request[8] = 0x00;
    if (!send_all(s, request, sizeof(request))) {
        return false;
    }
    unsigned char reply[8] = {};
    if (!recv_exact(s, reply, 2) || reply[0] != 0x00 || reply[1] != 0x5A) {
        return false;
    }
    return recv_exact(s, reply + 2, 6);
}

bool CSocksProxy::socks5(SOCKET s, in_addr address, unsigned short port) {
    unsigned char const greeting[4] = {0x05, 0x02, 0x00, 0x02};
    unsigned char reply[4] = {};
    if (!send_all(s, greeting, sizeof(greeting)) || !recv_exact(s, reply, 2) || reply[0] != 0x05) {
        return false;
    }
    if (reply[1] == 0x02) {
        // The lengths are single bytes: longer credentials cannot be sent.
        if (user_.size() > 255 || password_.size() > 255) {
            return false;
        }
        std::string auth;
        auth += '\x01';
        auth += static_cast<char>(user_.size());
        auth += user_;
        auth += static_cast<char>(password_.size());
        auth += password_;
        if (!send_all(s, auth.data(), auth.size()) || !recv_exact(s, reply, 2) ||
            reply[0] != 0x01 || reply[1] != 0x00) {
            return false;
        }
    } else if (reply[1] != 0x00) {
        return false;
    }
    unsigned char request[10];
    request[0] = 0x05;
    request[1] = 0x01;
    request[2] = 0x00;
    request[3] = 0x01;
    std::memcpy(request + 4, &address, 4);
    u_short const net_port = htons(port);
    std::memcpy(request + 8, &net_port, 2);
    if (!send_all(s, request, sizeof(request)) || !recv_exact(s, reply, 4) || reply[0] != 0x05 ||
        reply[1] != 0x00) {
        return false;
    }
    // The bound address and port that end the reply.
    unsigned char bound[258];
    switch (reply[3]) {
    case 0x01:
        return recv_exact(s, bound, 4 + 2);
    case 0x04:
        return recv_exact(s, bound, 16 + 2);
    case 0x03:
        return recv_exact(s, bound, 1) && recv_exact(s, bound + 1, bound[0] + 2u);
    default:
        return false;
    }
}

} // namespace http
} // namespace vfs
} // namespace zem

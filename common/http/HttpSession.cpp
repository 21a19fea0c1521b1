#include "HttpSession.h"

#include "../log/Log.h"
#include "../policy/ProcessConfig.h"
#include "../sys/Utility.h"
#include "../sys/internal/NoThrow.h"
#include "internal/ConnStream.h"
#include "internal/Net.h"
#include "internal/Proxies.h"

#include <openssl/ssl.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace zem {
namespace vfs {
namespace http {

namespace {

uint64 const kNoSocket = static_cast<uint64>(INVALID_SOCKET);
std::size_t const kLineBuffer = 4096;
// A server can send any number of cookies; the jar stops taking new names
// here (values of names it holds are still updated).
std::size_t const kMaxCookies = 1024;

std::atomic<bool> g_tls_initialised(false);

struct StreamRelease {
    void operator()(HttpStream *stream) const { HttpStream::release(stream); }
};
typedef std::unique_ptr<HttpStream, StreamRelease> StreamPtr;

struct ProxyDelete {
    void operator()(NetProxy *proxy) const { delete proxy; }
};

bool starts_with_https(wchar_t const *url) {
    wchar_t const *scheme = L"https";
    for (int i = 0; i < 5; ++i) {
        wchar_t c = url[i];
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
        if (c != scheme[i]) {
            return false;
        }
    }
    return true;
}

std::string narrow(wchar_t const *text) {
    return text != nullptr ? Utility::w2a(std::wstring(text)) : std::string();
}

std::string host_header(std::string const &host, unsigned short port, bool https) {
    if (port == (https ? 443 : 80)) {
        return host;
    }
    return host + ":" + std::to_string(port);
}

// A stream over a connected socket, which it owns from here on (also when
// the stream cannot be made).
HttpStream *make_stream(HttpSession *session, SOCKET s, bool https, char const *host) {
    Socket owned(s);
    HttpStream *stream = nullptr;
    if (https) {
        stream = new (std::nothrow) SSLConnStream(session, owned.get(), host);
    } else {
        stream = new (std::nothrow) ConnStream(session, owned.get());
    }
    if (stream != nullptr) {
        owned.release();
    }
    return stream;
}

} // namespace

HttpSession::HttpSession() : error_(0) {
    WSADATA data;
    WSAStartup(0x0202, &data);
    if (!g_tls_initialised.exchange(true)) {
        // Load the TLS and crypto error strings (OpenSSL 3 keeps the BIO error
        // strings with the crypto ones), then the rest of the TLS library.
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
        OPENSSL_init_ssl(0, nullptr);
    }
}

HttpSession::~HttpSession() {}

wchar_t const *HttpSession::parse_url(wchar_t const *url, std::wstring &host, unsigned short *port,
                                      bool *https) {
    static wchar_t const kRoot[] = L"/";
    host.clear();
    bool secure = false;
    wchar_t const *rest = url != nullptr ? url : L"";
    if (url != nullptr) {
        if (wchar_t const *separator = std::wcsstr(url, L"://")) {
            secure = starts_with_https(url);
            rest = separator + 3;
        }
    }
    wchar_t const *path = std::wcschr(rest, L'/');
    if (path != nullptr) {
        host.assign(rest, static_cast<std::size_t>(path - rest));
    } else {
        host = rest;
        path = kRoot;
    }
    unsigned short number = secure ? 443 : 80;
    std::size_t colon = host.find(L':');
    if (colon != std::wstring::npos) {
        number = static_cast<unsigned short>(parse_int(host.c_str() + colon + 1));
        host.erase(colon);
    }
    if (port != nullptr) {
        *port = number;
    }
    if (https != nullptr) {
        *https = secure;
    }
    return path;
}

HttpStream *HttpSession::make_connection(wchar_t const *url, wchar_t const **path,
                                         std::string *header_host) {
    std::wstring wide_host;
    unsigned short port = 0;
    bool https = false;
    wchar_t const *url_path = parse_url(url, wide_host, &port, &https);
    std::string const host = Utility::w2a(wide_host);
    if (host.empty() || port == 0) {
        ZEM_LOG(7, "svr or port error, server" << host << " port: " << port);
        return nullptr;
    }
    int type = 0;
    int proxy_port = 0; // a proxy without a readable port cannot be reached
    std::string server, user, password;
    get_proxy(type, server, proxy_port, user, password);
    uint64 s = kNoSocket;
    {
        std::unique_ptr<NetProxy, ProxyDelete> proxy(
            get_proxy(type, server.c_str(), proxy_port, user.c_str(), password.c_str()));
        if (proxy) {
            s = proxy->connect(host.c_str(), port);
        }
    }
    if (s == kNoSocket) {
        ZEM_LOG(7, "connect " << host << " port: " << port << "failed");
        return nullptr;
    }
    if (path != nullptr) {
        *path = url_path;
    }
    if (header_host != nullptr) {
        *header_host = host_header(host, port, https);
    }
    return make_stream(this, static_cast<SOCKET>(s), https, host.c_str());
}

HttpStream *HttpSession::open(wchar_t const *url, wchar_t const *method, wchar_t const *headers) {
    wchar_t const *path = nullptr;
    std::string host;
    StreamPtr stream(make_connection(url, &path, &host));
    if (!stream) {
        return nullptr;
    }
    std::string text = narrow(method) + " " + narrow(path) + " HTTP/1.1\r\nHost: " + host + "\r\n";
    if (headers != nullptr && *headers != L'\0') {
        text += narrow(headers) + "\r\n";
    }
    text += "\r\n";
    if (stream->write(text.data(), text.size()) <= 0) {
        return nullptr;
    }
    return stream.release();
}

HttpStream *HttpSession::getstream(std::wstring &url, std::string &host) {
    wchar_t const *path = nullptr;
    std::wstring const full = url;
    std::wstring wide_host;
    url = parse_url(full.c_str(), wide_host, nullptr, nullptr);
    return make_connection(full.c_str(), &path, &host);
}

HttpStream *HttpSession::get(wchar_t const *url, wchar_t const *headers) {
    return detail::no_throw(nullptr, [&]() -> HttpStream * {
        StreamPtr stream(open(url, L"GET", headers));
        if (!stream || !stream->recv()) {
            return nullptr;
        }
        return stream.release();
    });
}

HttpStream *HttpSession::post(wchar_t const *url, char const *data, uint64 size,
                              wchar_t const *headers) {
    return detail::no_throw(nullptr, [&]() -> HttpStream * {
        StreamPtr stream(open(url, L"POST", headers));
        if (!stream) {
            return nullptr;
        }
        if (size != 0) {
            if (data == nullptr) {
                return nullptr;
            }
            // A body larger than one transport call goes out in pieces.
            while (size != 0) {
                int64 sent = stream->write(data, size);
                if (sent < 1) {
                    return nullptr;
                }
                data += sent;
                size -= static_cast<uint64>(sent);
            }
        }
        if (!stream->recv()) {
            return nullptr;
        }
        return stream.release();
    });
}

HttpStream *HttpSession::get_ip(wchar_t const *url, wchar_t const *headers) {
    return detail::no_throw(nullptr, [&]() -> HttpStream * {
        std::wstring path = url != nullptr ? url : L"";
        std::string host;
        StreamPtr stream(getstream(path, host));
        if (!stream) {
            return nullptr;
        }
        sockaddr_in local;
        std::memset(&local, 0, sizeof(local));
        int length = sizeof(local);
        if (getsockname(static_cast<SOCKET>(stream->socket()), reinterpret_cast<sockaddr *>(&local),
                        &length) != 0) {
            int error = WSAGetLastError();
            ZEM_LOG(7, "getsockname failed, error: " << error);
            return nullptr;
        }
        unsigned char const *a = reinterpret_cast<unsigned char const *>(&local.sin_addr);
        std::string const address = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
                                    std::to_string(a[2]) + "." + std::to_string(a[3]);
        std::string text = "GET " + Utility::w2a(path) + " HTTP/1.1\r\nHost: " + host +
                           "\r\nKX-FROM: " + address + "\r\n";
        if (headers != nullptr && *headers != L'\0') {
            text += narrow(headers) + "\r\n";
        }
        text += "\r\n";
        if (stream->write(text.data(), text.size()) <= 0 || !stream->recv()) {
            return nullptr;
        }
        return stream.release();
    });
}

HttpStream *HttpSession::connect(wchar_t const *url, char const *target, char const *request,
                                 wchar_t const *headers) {
    return detail::no_throw(nullptr, [&]() -> HttpStream * {
        std::wstring wide_host;
        unsigned short port = 0;
        bool https = false;
        parse_url(url, wide_host, &port, &https);
        std::string const host = Utility::w2a(wide_host);
        if (host.empty() || port == 0) {
            ZEM_LOG(7, "svr or port error, server" << host << " port: " << port);
            return nullptr;
        }
        uint64 s = connect(host.c_str(), port);
        if (s == kNoSocket) {
            ZEM_LOG(7,
                    "connect failed: server:" << host << " port: " << port << " error: " << error_);
            return nullptr;
        }
        StreamPtr stream(make_stream(this, static_cast<SOCKET>(s), https, host.c_str()));
        if (!stream) {
            return nullptr;
        }
        std::string const tunnel_target =
            target != nullptr ? std::string(target) : host + ":" + std::to_string(port);
        std::wstring block = make_cookie();
        if (!block.empty()) {
            block += L"\r\n";
        }
        if (headers != nullptr && *headers != L'\0') {
            block += headers;
            block += L"\r\n";
        }
        std::string const text = "CONNECT " + tunnel_target + " HTTP/1.1\r\nHost: " + host +
                                 "\r\nX-VPN-Request: " + (request != nullptr ? request : "") +
                                 "\r\n" + Utility::w2a(block) + "\r\n";
        char line[kLineBuffer];
        if (stream->write(text.data(), text.size()) <= 0 ||
            stream->readline(line, sizeof(line)) == 0) {
            error_ = WSAGetLastError();
            return nullptr;
        }
        char const *blank = std::strchr(line, ' ');
        if (blank == nullptr) {
            return nullptr;
        }
        std::string const status = status_code(blank + 1);
        if (status != "200") {
            error_ = parse_int(status.c_str());
            return nullptr;
        }
        while (stream->readline(line, sizeof(line)) != 0) {
        }
        return stream.release();
    });
}

uint64 HttpSession::connect(char const *host, unsigned short port) {
    return detail::no_throw(kNoSocket, [&] {
        int type = 0;
        int proxy_port = 0;
        std::string server, user, password;
        get_proxy(type, server, proxy_port, user, password);
        std::unique_ptr<NetProxy, ProxyDelete> proxy(
            get_proxy(type, server.c_str(), proxy_port, user.c_str(), password.c_str()));
        return proxy ? proxy->connect(host, port) : kNoSocket;
    });
}

NetProxy *HttpSession::get_proxy(int type, char const *server, int port, char const *user,
                                 char const *password) {
    switch (type) {
    case 1:
        return new (std::nothrow) CHttpProxy(server, port, user, password);
    case 2:
        return new (std::nothrow) CSocksProxy(server, port, user, password);
    default:
        return new (std::nothrow) CDirectProxy();
    }
}

bool HttpSession::get_proxy(int &type, std::string &server, int &port, std::string &user,
                            std::string &password) {
    ProcessConfig config(1, "KXAdapter\\Options", false);
    int enabled = 0;
    if (!config.get_int("EnableProxy", enabled) || enabled == 0) {
        return false;
    }
    config.get_int("ProxyType", type);
    config.get_int("ProxyPort", port);
    config.get_string("ProxyUser", user);
    config.get_string("ProxyPassword", password);
    config.get_string("ProxyServer", server);
    return true;
}

uint64 HttpSession::query_size(HttpStream *stream) {
    if (stream == nullptr) {
        return kNoSocket;
    }
    if (!stream->chunked_) {
        return 8192;
    }
    uint64 const failed = static_cast<uint64>(-1);
    char line[kLineBuffer];
    uint64 const full = sizeof(line) - 1;
    // The first read may only take the line end after the previous chunk.
    uint64 length = stream->readline(line, sizeof(line));
    if (length == 0 && (length = stream->readline(line, sizeof(line))) == 0) {
        return failed;
    }
    std::size_t digits_end = 0;
    uint64 const size = static_cast<uint64>(static_cast<int64>(
        static_cast<std::int32_t>(static_cast<std::uint32_t>(parse_hex(line, &digits_end)))));
    if (length == full) {
        // The size line goes on beyond the buffer. The size must end within
        // the first piece, before its last character (a "0x" cut in two
        // would read as 0); the rest, an overlong extension, is skipped.
        if (digits_end + 1 >= full) {
            return failed;
        }
        while (stream->readline(line, sizeof(line)) == full) {
        }
    }
    return size;
}

wchar_t const *HttpSession::query_cookie(wchar_t const *name) const {
    if (name == nullptr) {
        return nullptr;
    }
    auto it = cookies_.find(name);
    return it == cookies_.end() ? nullptr : it->second.c_str();
}

std::wstring HttpSession::make_cookie() const {
    if (cookies_.empty()) {
        return std::wstring();
    }
    std::wstring text = L"Cookie: ";
    for (auto const &cookie : cookies_) {
        text += cookie.first;
        text += L"=";
        text += cookie.second;
        text += L";";
    }
    return text;
}

wchar_t const *HttpSession::query_location() {
    return location_.c_str();
}

int HttpSession::error() const {
    return error_;
}

void HttpSession::add_cookie(wchar_t const *text) {
    if (text == nullptr) {
        return;
    }
    std::wstring const cookie(text);
    std::size_t const equals = cookie.find(L'=');
    if (equals == std::wstring::npos) {
        return;
    }
    std::wstring const name = cookie.substr(0, equals);
    std::size_t const semicolon = cookie.find(L';', equals + 1);
    std::wstring const value = cookie.substr(
        equals + 1, semicolon == std::wstring::npos ? std::wstring::npos : semicolon - equals - 1);
    auto it = cookies_.find(name);
    if (it != cookies_.end()) {
        it->second = value;
    } else if (cookies_.size() < kMaxCookies) {
        cookies_.emplace(name, value);
    }
}

} // namespace http
} // namespace vfs
} // namespace zem

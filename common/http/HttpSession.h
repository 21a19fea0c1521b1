// A small, blocking HTTP/1.1 client.
//
// Every request opens a new connection (directly, or through the proxy the
// current user configured in the "KXAdapter\Options" subkey of
// "Software\Tavrin Labs\Quillon" under HKEY_CURRENT_USER), wraps it in a
// plain or TLS stream, writes one request and hands the caller the stream
// positioned after the response head.
// There is no keep-alive and no automatic redirect: a "302" counts as success
// and its "Location:" value is kept for query_location().
//
// The session keeps a cookie jar filled from "Set-Cookie:" headers, the last
// "Location:" value and the last error (a refused HTTP status or a Winsock
// error code). It sends its cookies by itself only in the tunnel request;
// other requests carry them when the caller passes make_cookie() in
// `headers`.
//
// `headers` is optional (null for none): complete header lines separated by
// "\r\n", without a final "\r\n", placed verbatim after the session's own
// headers. The session adds no header of its own besides Host (and the
// "KX-FROM" and "X-VPN-Request" headers of get_ip and the tunnel), so a POST
// passes its own Content-Length.
//
// Streams returned belong to the caller (HttpStream::release) and must not
// outlive the session. TLS connections do not verify the server certificate.
#pragma once

#include <map>
#include <string>

#include "../config.h"
#include "HttpStream.h"
#include "NetProxy.h"

namespace zem {
namespace vfs {
namespace http {

class ZEM_VFS_API HttpSession {
public:
    // Starts Winsock (2.2); the first session of the process also initialises
    // the TLS library.
    HttpSession();
    ~HttpSession();
    HttpSession(HttpSession const &) = delete;
    HttpSession &operator=(HttpSession const &) = delete;

    // A stream whose response status was "200" or "302", or null.
    HttpStream *get(wchar_t const *url, wchar_t const *headers = nullptr);
    // As get; `size` bytes of `data` follow the head (nothing when 0).
    HttpStream *post(wchar_t const *url, char const *data, uint64 size,
                     wchar_t const *headers = nullptr);
    // As get, with a "KX-FROM" header holding the local IPv4 address of the
    // connection (the connection to the proxy when one is used).
    HttpStream *get_ip(wchar_t const *url, wchar_t const *headers = nullptr);
    // A CONNECT to the gateway named by `url` with "X-VPN-Request: <request>"
    // and the session's cookies; after a "200" the stream is a raw tunnel to
    // `target` (host:port of the URL when null). Null otherwise.
    HttpStream *connect(wchar_t const *url, char const *target, char const *request,
                        wchar_t const *headers = nullptr);
    // A socket connected to `host` and `port` through the configured proxy,
    // or all bits set. The caller closes it with closesocket.
    uint64 connect(char const *host, unsigned short port);

    // A new proxy object owned by the caller (delete it): type 1 HTTP, 2
    // SOCKS, anything else a direct connection (the other arguments are then
    // ignored). `server` must not be null for types 1 and 2.
    NetProxy *get_proxy(int type, char const *server, int port, char const *user,
                        char const *password);

    // Size of the next body piece of `stream` (see HttpStream::query_size);
    // all bits set for a null stream.
    static uint64 query_size(HttpStream *stream);

    // The stored value of cookie `name`, or null. Valid until the jar changes.
    wchar_t const *query_cookie(wchar_t const *name) const;
    // "Cookie: a=1;b=2;" from the jar in name order, or an empty string.
    std::wstring make_cookie() const;
    // The last "Location:" value; an empty string when none was seen.
    wchar_t const *query_location();
    // The last error: a refused HTTP status or a Winsock error; 0 at first.
    // Successful calls leave it as it was.
    int error() const;

private:
    friend class HttpStream;

    // The current user's proxy settings; true when a proxy is enabled.
    bool get_proxy(int &type, std::string &server, int &port, std::string &user,
                   std::string &password);
    void add_cookie(wchar_t const *text);
    wchar_t const *parse_url(wchar_t const *url, std::wstring &host, unsigned short *port,
                             bool *https);
    HttpStream *open(wchar_t const *url, wchar_t const *method, wchar_t const *headers);
    HttpStream *getstream(std::wstring &url, std::string &host);
    // Parses `url`, opens the connection and makes the stream; null on
    // failure. `path` receives the path, `host` the Host header value.
    HttpStream *make_connection(wchar_t const *url, wchar_t const **path, std::string *host);

    std::map<std::wstring, std::wstring> cookies_;
    int error_;
    std::wstring location_;
};

} // namespace http
} // namespace vfs
} // namespace zem

// Helpers of the HTTP client tests: the loopback peers started by
// tests/http/peers.sh, raw Winsock exchanges with them, the proxy settings in
// the registry, a log capture and an independent MD5.
#pragma once

#include "../../common/http/HttpSession.h"

#include <map>
#include <string>
#include <vector>

namespace httptest {

using zem::vfs::int64;
using zem::vfs::uint64;
using zem::vfs::http::HttpSession;
using zem::vfs::http::HttpStream;
using zem::vfs::http::NetProxy;

uint64 const kAllBits = static_cast<uint64>(-1);

// The port of peer `name` (http, https, proxy, socks5, socks5ff, tls,
// squid_basic, squid_digest, dante, dante_auth); 0 when the peers file
// (environment variable ZEM_HTTP_PEERS) lacks it.
int port(char const *name);
// The folder of the peers file ("Z:/.../http_peers/"), for their logs.
std::string peers_dir();
// A port on which nothing listens.
int closed_port();

std::wstring widen(std::string const &text);
std::string hex(std::string const &bytes);

// "http://127.0.0.1:<port><path>" (https with `tls`).
std::wstring url(int port, std::string const &path, bool tls = false);
// The path of the scripted server that answers with exactly `response`.
std::string raw_path(std::string const &response);

// Sends `request` to 127.0.0.1:`port` on a plain connection and returns
// everything received until the server closes (at most 20 s).
std::string exchange(int port, std::string const &request);
// The body of a GET of `path` on the scripted http server.
std::string fetch(std::string const &path);
// What the scripted proxy / SOCKS servers received since the last call.
std::vector<std::string> proxy_log();
std::vector<std::string> socks_log();

// Reads the body the way a caller does: by content_size, until the end of
// the connection, or chunk by chunk. `failed` reports a chunked failure.
std::string read_body(HttpStream *stream, bool *failed = nullptr);
// Reads exactly `size` bytes (fewer when the connection ends first).
std::string read_exactly(HttpStream *stream, std::size_t size);

// Plain socket helpers for sockets handed out by proxies.
bool send_text(uint64 socket, std::string const &text);
std::string recv_all(uint64 socket);
std::string recv_some(uint64 socket, std::size_t size);
void close_socket(uint64 socket);

// An HTTP request through a tunnel socket; returns the answer and closes it.
std::string get_through(uint64 socket, std::string const &host_header);

// Parameters of a Digest value after "Digest ", in order of appearance.
std::vector<std::pair<std::string, std::string>> digest_fields(std::string const &value);
// The Proxy-Authorization value of a recorded CONNECT head, or "".
std::string authorization_of(std::string const &connect_head);
// 32 lower-case hex digits of the MD5 of `text` (system crypto provider).
std::string md5(std::string const &text);

// The stream owned for the length of a test.
struct StreamHolder {
    explicit StreamHolder(HttpStream *s = nullptr) : stream(s) {}
    ~StreamHolder() { HttpStream::release(stream); }
    StreamHolder(StreamHolder const &) = delete;
    StreamHolder &operator=(StreamHolder const &) = delete;
    HttpStream *operator->() const { return stream; }
    HttpStream *get() const { return stream; }
    explicit operator bool() const { return stream != nullptr; }
    HttpStream *stream;
};

// The current user's proxy settings ("KXAdapter\Options"), written for one
// test and removed afterwards (with "KXAdapter" when it was made here).
class ProxySettings {
public:
    ProxySettings();
    ~ProxySettings();
    ProxySettings(ProxySettings const &) = delete;
    ProxySettings &operator=(ProxySettings const &) = delete;

    void set_dword(wchar_t const *name, unsigned value);
    void set_text(wchar_t const *name, std::string const &value);
    // EnableProxy 1, ProxyType, ProxyServer 127.0.0.1, ProxyPort.
    void enable(int type, int port);

private:
    void *key_;
    bool made_parent_;
};

// Captures the library's records at level 7 in a file for one test.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(LogCapture const &) = delete;
    LogCapture &operator=(LogCapture const &) = delete;
    // Everything written so far.
    std::string text() const;

private:
    std::string path_;
};

} // namespace httptest

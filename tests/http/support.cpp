#include "support.h"

#include "../../common/log/Log.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace httptest {

namespace {

wchar_t const kOptionsKey[] = L"Software\\Tavrin Labs\\Quillon\\KXAdapter\\Options";
wchar_t const kAdapterKey[] = L"Software\\Tavrin Labs\\Quillon\\KXAdapter";

struct Winsock {
    Winsock() {
        WSADATA data;
        WSAStartup(0x0202, &data);
    }
};

void winsock() {
    static Winsock once;
}

std::string peers_file() {
    char const *path = std::getenv("ZEM_HTTP_PEERS");
    return path != nullptr ? path : "";
}

std::map<std::string, int> const &ports() {
    static std::map<std::string, int> const table = [] {
        std::map<std::string, int> result;
        std::ifstream in(peers_file());
        std::string line;
        while (std::getline(in, line)) {
            std::size_t eq = line.find('=');
            if (eq != std::string::npos) {
                result[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
            }
        }
        return result;
    }();
    return table;
}

SOCKET open_plain(int port) {
    winsock();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return s;
    }
    DWORD timeout = 20000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char const *>(&timeout),
               sizeof(timeout));
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

std::vector<std::string> records(std::string const &text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            break;
        }
        std::size_t length = std::strtoul(text.substr(pos, nl - pos).c_str(), nullptr, 10);
        out.push_back(text.substr(nl + 1, length));
        pos = nl + 1 + length;
    }
    return out;
}

} // namespace

int port(char const *name) {
    auto it = ports().find(name);
    return it == ports().end() ? 0 : it->second;
}

std::string peers_dir() {
    std::string file = peers_file();
    std::size_t slash = file.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

int closed_port() {
    winsock();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(s, reinterpret_cast<sockaddr *>(&address), &length);
    closesocket(s);
    return ntohs(address.sin_port);
}

std::wstring widen(std::string const &text) {
    return std::wstring(text.begin(), text.end());
}

std::string hex(std::string const &bytes) {
    static char const digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::wstring url(int port, std::string const &path, bool tls) {
    return widen((tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port) + path);
}

std::string raw_path(std::string const &response) {
    return "/raw/" + hex(response);
}

std::string exchange(int port, std::string const &request) {
    SOCKET s = open_plain(port);
    if (s == INVALID_SOCKET) {
        return std::string();
    }
    send_text(s, request);
    std::string answer = recv_all(s);
    closesocket(s);
    return answer;
}

std::string fetch(std::string const &path) {
    std::string answer = exchange(port("http"), "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n");
    std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

std::vector<std::string> proxy_log() {
    return records(fetch("/proxylog"));
}

std::vector<std::string> socks_log() {
    return records(fetch("/sockslog"));
}

std::string read_body(HttpStream *stream, bool *failed) {
    std::string body;
    if (failed != nullptr) {
        *failed = false;
    }
    if (stream == nullptr) {
        return body;
    }
    char buffer[8192];
    if (!stream->query_trunked()) {
        uint64 const total = stream->content_size();
        for (int guard = 0; guard < 100000 && (total == kAllBits || body.size() < total); ++guard) {
            uint64 want = stream->query_size();
            if (total != kAllBits && total - body.size() < want) {
                want = total - body.size();
            }
            int64 got = stream->read(buffer, want < sizeof(buffer) ? want : sizeof(buffer));
            if (got <= 0) {
                break;
            }
            body.append(buffer, static_cast<std::size_t>(got));
        }
        return body;
    }
    for (int guard = 0; guard < 100000; ++guard) {
        uint64 n = stream->query_size();
        if (n == 0) {
            return body;
        }
        if (n == kAllBits || n > (1u << 30)) {
            break;
        }
        std::string piece = read_exactly(stream, static_cast<std::size_t>(n));
        body += piece;
        if (piece.size() != n) {
            break;
        }
    }
    if (failed != nullptr) {
        *failed = true;
    }
    return body;
}

std::string read_exactly(HttpStream *stream, std::size_t size) {
    std::string out;
    char buffer[8192];
    while (out.size() < size) {
        std::size_t want = size - out.size();
        int64 got = stream->read(buffer, want < sizeof(buffer) ? want : sizeof(buffer));
        if (got <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
}

bool send_text(uint64 socket, std::string const &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        int sent = ::send(static_cast<SOCKET>(socket), text.data() + done,
                          static_cast<int>(text.size() - done), 0);
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

std::string recv_all(uint64 socket) {
    DWORD timeout = 20000;
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVTIMEO,
               reinterpret_cast<char const *>(&timeout), sizeof(timeout));
    std::string out;
    char buffer[8192];
    for (;;) {
        int got = ::recv(static_cast<SOCKET>(socket), buffer, sizeof(buffer), 0);
        if (got <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
}

std::string recv_some(uint64 socket, std::size_t size) {
    DWORD timeout = 20000;
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVTIMEO,
               reinterpret_cast<char const *>(&timeout), sizeof(timeout));
    std::string out;
    char buffer[8192];
    while (out.size() < size) {
        std::size_t want = size - out.size();
        int got = ::recv(static_cast<SOCKET>(socket), buffer,
                         static_cast<int>(want < sizeof(buffer) ? want : sizeof(buffer)), 0);
        if (got <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
}

void close_socket(uint64 socket) {
    if (socket != kAllBits) {
        closesocket(static_cast<SOCKET>(socket));
    }
}

std::string get_through(uint64 socket, std::string const &host_header) {
    if (socket == kAllBits) {
        return std::string();
    }
    send_text(socket, "GET /echo HTTP/1.1\r\nHost: " + host_header + "\r\n\r\n");
    std::string answer = recv_all(socket);
    close_socket(socket);
    return answer;
}

std::vector<std::pair<std::string, std::string>> digest_fields(std::string const &value) {
    std::vector<std::pair<std::string, std::string>> out;
    std::string const prefix = "Digest ";
    if (value.compare(0, prefix.size(), prefix) != 0) {
        return out;
    }
    std::size_t pos = prefix.size();
    while (pos < value.size()) {
        std::size_t eq = value.find('=', pos);
        if (eq == std::string::npos) {
            break;
        }
        std::string name = value.substr(pos, eq - pos);
        std::string field;
        if (eq + 1 < value.size() && value[eq + 1] == '"') {
            std::size_t close = value.find('"', eq + 2);
            if (close == std::string::npos) {
                break;
            }
            field = value.substr(eq + 2, close - eq - 2);
            pos = close + 1;
        } else {
            std::size_t comma = value.find(',', eq + 1);
            field = value.substr(eq + 1,
                                 comma == std::string::npos ? std::string::npos : comma - eq - 1);
            pos = comma == std::string::npos ? value.size() : comma;
        }
        out.emplace_back(name, field);
        if (pos < value.size() && value[pos] == ',') {
            ++pos;
        }
    }
    return out;
}

std::string authorization_of(std::string const &connect_head) {
    std::string const field = "\r\nProxy-Authorization: ";
    std::size_t start = connect_head.find(field);
    if (start == std::string::npos) {
        return std::string();
    }
    start += field.size();
    return connect_head.substr(start, connect_head.find("\r\n", start) - start);
}

std::string md5(std::string const &text) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    std::string out;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        return out;
    }
    if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
        BYTE digest[16];
        DWORD length = sizeof(digest);
        if (CryptHashData(hash, reinterpret_cast<BYTE const *>(text.data()),
                          static_cast<DWORD>(text.size()), 0) &&
            CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0)) {
            out = hex(std::string(reinterpret_cast<char *>(digest), length));
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return out;
}

ProxySettings::ProxySettings() : key_(nullptr), made_parent_(false) {
    HKEY parent = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kAdapterKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &parent, &disposition) == ERROR_SUCCESS) {
        made_parent_ = disposition == REG_CREATED_NEW_KEY;
        RegCloseKey(parent);
    }
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kOptionsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) == ERROR_SUCCESS) {
        key_ = key;
    }
}

ProxySettings::~ProxySettings() {
    if (key_ != nullptr) {
        RegCloseKey(static_cast<HKEY>(key_));
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, kOptionsKey);
    if (made_parent_) {
        RegDeleteKeyW(HKEY_CURRENT_USER, kAdapterKey);
    }
}

void ProxySettings::set_dword(wchar_t const *name, unsigned value) {
    DWORD data = value;
    RegSetValueExW(static_cast<HKEY>(key_), name, 0, REG_DWORD, reinterpret_cast<BYTE *>(&data),
                   sizeof(data));
}

void ProxySettings::set_text(wchar_t const *name, std::string const &value) {
    std::wstring wide = widen(value);
    RegSetValueExW(static_cast<HKEY>(key_), name, 0, REG_SZ,
                   reinterpret_cast<BYTE const *>(wide.c_str()),
                   static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

void ProxySettings::enable(int type, int port) {
    set_dword(L"EnableProxy", 1);
    set_dword(L"ProxyType", static_cast<unsigned>(type));
    set_text(L"ProxyServer", "127.0.0.1");
    set_dword(L"ProxyPort", static_cast<unsigned>(port));
}

LogCapture::LogCapture() {
    char dir[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, dir);
    path_ = std::string(dir) + "zem_http_test_" + std::to_string(GetCurrentProcessId()) + ".log";
    DeleteFileA(path_.c_str());
    zem::vfs::Log settings(nullptr, 0, 8);
    settings.level(7);
    settings.open(path_.c_str());
}

LogCapture::~LogCapture() {
    {
        zem::vfs::Log settings(nullptr, 0, 8);
        settings.level(4);
        settings.open(nullptr);
    }
    DeleteFileA(path_.c_str());
}

std::string LogCapture::text() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace httptest

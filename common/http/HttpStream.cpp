#include "HttpStream.h"

#include "../sys/Utility.h"
#include "HttpSession.h"
#include "internal/Net.h"

#include <cstring>
#include <string>

namespace zem {
namespace vfs {
namespace http {

namespace {

std::size_t const kLineBuffer = 4096;

} // namespace

HttpStream::HttpStream(HttpSession *session)
    : session_(session), content_length_(-1), chunked_(false) {}

HttpStream::~HttpStream() {}

uint64 HttpStream::content_size() {
    return static_cast<uint64>(static_cast<int64>(content_length_));
}

uint64 HttpStream::query_size() {
    return HttpSession::query_size(this);
}

uint64 HttpStream::socket() {
    return static_cast<uint64>(INVALID_SOCKET);
}

bool HttpStream::query_trunked() const {
    return chunked_;
}

void HttpStream::release() {
    // Callers have long been allowed to release a null stream; the volatile
    // copy keeps the compiler from assuming that `this` is never null.
    HttpStream *volatile self = this;
    if (self != nullptr) {
        delete self;
    }
}

void HttpStream::release(HttpStream *stream) {
    delete stream;
}

bool HttpStream::recv() {
    char line[kLineBuffer];
    if (readline(line, sizeof(line)) == 0) {
        return false;
    }
    char const *blank = std::strchr(line, ' ');
    if (blank == nullptr) {
        return false;
    }
    std::string const status = status_code(blank + 1);
    if (status != "200" && status != "302") {
        if (session_ != nullptr) {
            session_->error_ = parse_int(status.c_str());
        }
        return false;
    }
    while (readline(line, sizeof(line)) != 0) {
        char const *space = std::strchr(line, ' ');
        if (space == nullptr) {
            continue;
        }
        std::string const name(line, static_cast<std::size_t>(space - line));
        char const *value = space + 1;
        if (iequals(name, "Content-Length:")) {
            content_length_ = parse_int(value);
        } else if (iequals(name, "Set-Cookie:")) {
            if (session_ != nullptr) {
                session_->add_cookie(Utility::a2w(value).c_str());
            }
        } else if (iequals(name, "Transfer-Encoding:")) {
            if (iequals(value, "chunked")) {
                chunked_ = true;
            }
        } else if (iequals(name, "Location:")) {
            if (session_ != nullptr) {
                session_->location_ = Utility::a2w(value);
            }
        }
    }
    return true;
}

} // namespace http
} // namespace vfs
} // namespace zem

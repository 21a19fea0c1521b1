#include "Request.h"

#include "NotifyRequest.h"
#include "../serialize/internal/MemoryBuf.h"

#include "../serialize/Stream.h"
#include "../serialize/StreamBuf.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

namespace zem {
namespace vfs {

namespace {

// The process-wide request id counter; the first id handed out is 1.
std::atomic<int> g_next_id{0};

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool equals_ignoring_case(char const *a, char const *b) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Request
// ---------------------------------------------------------------------------

Request Request::__protype(Protype(), true);

Request::Request(char const *name, int id)
    : Variable("Request"), id_(id == -1 ? ++g_next_id : id), name_(name ? name : ""), error_(0) {}

Request::Request(Protype const &, bool register_it)
    : Variable("Request"), id_(0), name_(), error_(0) {
    if (register_it)
        register_variable();
}

Request::Request(Request const &other)
    : Variable(other), id_(other.id_), name_(other.name_), params_(other.params_),
      error_(other.error_) {}

Request &Request::operator=(Request const &other) {
    if (this != &other) {
        Variable::operator=(other);
        id_ = other.id_;
        name_ = other.name_;
        params_ = other.params_;
        error_ = other.error_;
    }
    return *this;
}

Request::~Request() = default;

void Request::set_param(char const *key, char const *value) {
    if (key == nullptr)
        return;
    if (value == nullptr)
        params_.erase(key);
    else
        params_[key] = value;
}

void Request::set_param(char const *key, uint64 value) {
    if (value == 0) {
        set_param(key, static_cast<char const *>(nullptr));
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    set_param(key, text);
}

char const *Request::get_param(char const *key) const {
    if (key == nullptr)
        return nullptr;
    auto it = params_.find(key);
    return it == params_.end() ? nullptr : it->second.c_str();
}

int Request::get_param_as_int(char const *key, int fallback) const {
    char const *p = get_param(key);
    if (p == nullptr)
        return fallback;
    while (is_space(*p))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > 1LL + INT_MAX) {
            value = 1LL + INT_MAX;
            break;
        }
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        value = INT_MAX;
    return int(value);
}

bool Request::get_param_as_bool(char const *key, bool fallback) const {
    char const *p = get_param(key);
    if (p == nullptr)
        return fallback;
    return equals_ignoring_case(p, "true") || std::strcmp(p, "1") == 0;
}

bool Request::is_param_present(char const *key) const {
    return get_param(key) != nullptr;
}

Variable *Request::clone() const {
    return new Request(*this);
}

bool Request::serialize(Stream &s) const {
    if (!Variable::serialize(s))
        return false;
    s << id_ << name_ << uint64(params_.size());
    for (auto const &param : params_)
        s << param.first << param.second;
    return s.good();
}

// The peer is not trusted: every field must be there whole and of its kind,
// the parameter count is bounded before it is narrowed and before anything is
// stored, and so is the total amount of text.
bool Request::load(Stream &s) {
    s >> id_;
    if (s.pending())
        return false;
    s >> name_;
    // The name selects a handler by its text: one holding a zero byte would
    // be served by the handler of its first part.
    if (s.pending() || name_.find('\0') != std::string::npos)
        return false;
    // Writers send the count as a uint64; older peers may send a narrower
    // integer. Whatever the width, a count outside 0..max_params is refused.
    long long count = -1;
    s >> count;
    if (!s.good() || s.pending() || count < 0 || count > max_params)
        return false;
    uint64 total = name_.size();
    for (long long i = 0; i < count; ++i) {
        std::string key, value;
        s >> key;
        if (s.pending())
            return false;
        s >> value;
        if (!s.good() || s.pending())
            return false;
        total += key.size() + value.size();
        if (total > Stream::max_string)
            return false;
        params_[key] = std::move(value);
    }
    return s.good();
}

bool Request::is_notify() const {
    return false;
}

bool Request::when_response(Stream &s, Response &r) {
    error_ = r.error();
    return s.good();
}

// The frame is formatted in memory first and leaves in one write: on a pipe
// that is one system call instead of one per value.
Response *Request::send(Stream &s, bool) {
    detail::MemoryBuf frame;
    Stream out(frame);
    if (!serialize(out))
        return nullptr;
    s.write_(frame.text().data(), frame.text().size());
    if (is_notify() || !s.good())
        return nullptr;
    // The answer is read in blocks: usually one system read brings the whole
    // answer, and bytes that follow it stay with the handle for later reads.
    struct Blocks {
        HandleStreamBuf *buffer;
        ~Blocks() {
            if (buffer != nullptr)
                buffer->read_blocks(false);
        }
    } blocks{dynamic_cast<HandleStreamBuf *>(&s.buffer())};
    if (blocks.buffer != nullptr)
        blocks.buffer->read_blocks(true);

    Variable *object = s.load();
    while (object != nullptr) {
        char const *type = object->distinguish();
        if (std::strcmp(type, "Request") != 0 && std::strcmp(type, "NotifyRequest") != 0)
            break;
        NotifyRequest *notice = dynamic_cast<NotifyRequest *>(object);
        if (notice == nullptr || !notice->is_notify()) {
            object->release();
            return nullptr;
        }
        NotifyRequest::push_notify(notice);
        object = s.load();
    }
    if (object == nullptr)
        return nullptr;
    Response *response = nullptr;
    if (std::strcmp(object->distinguish(), "Response") == 0)
        response = dynamic_cast<Response *>(object);
    if (response == nullptr) {
        object->release();
        return nullptr;
    }
    if (response->id() != id_) {
        // An answer to some other request: the conversation on this stream
        // is out of step, and nothing read from it can be trusted.
        error_ = error_foreign_response;
        response->release();
        return nullptr;
    }
    if (!when_response(s, *response)) {
        response->release();
        return nullptr;
    }
    return response;
}

bool Request::send_and_release(Stream &s) {
    Response *response = send(s, false);
    if (response == nullptr)
        return false;
    response->release();
    return true;
}

// ---------------------------------------------------------------------------
// Response
// ---------------------------------------------------------------------------

Response Response::__protype(Protype(), true);

Response::Response(int id) : Variable("Response"), id_(id), error_(0) {}

Response::Response(Protype const &, bool register_it) : Variable("Response"), id_(0), error_(0) {
    if (register_it)
        register_variable();
}

Response::Response(Response const &other) : Variable(other), id_(other.id_), error_(other.error_) {}

Response &Response::operator=(Response const &other) {
    if (this != &other) {
        Variable::operator=(other);
        id_ = other.id_;
        error_ = other.error_;
    }
    return *this;
}

Response::~Response() = default;

Variable *Response::clone() const {
    return new Response(*this);
}

bool Response::serialize(Stream &s) const {
    if (!Variable::serialize(s))
        return false;
    s << id_ << error_;
    return s.good();
}

bool Response::load(Stream &s) {
    s >> id_;
    if (s.pending())
        return false;
    s >> error_;
    return s.good() && !s.pending();
}

} // namespace vfs
} // namespace zem

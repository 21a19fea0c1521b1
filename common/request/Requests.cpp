#include "Requests.h"

#include "../serialize/Stream.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace zem {
namespace vfs {

namespace {

// Integers travel as "%d" text.
void set_int_param(Request &r, char const *key, int value) {
    char text[30];
    std::snprintf(text, sizeof text, "%d", value);
    r.set_param(key, text);
}

} // namespace

// ---------------------------------------------------------------------------
// CommandRequest
// ---------------------------------------------------------------------------

CommandRequest::CommandRequest(char const *cmd, int session, char const *directory)
    : Request(req_name<CommandRequest>::r_str, -1), pid_(0) {
    set_param("cmd", cmd);
    if (session != -1)
        set_int_param(*this, "session", session);
    set_param("directory", directory);
}

CommandRequest::CommandRequest(CommandRequest const &other) : Request(other), pid_(other.pid_) {}

CommandRequest &CommandRequest::operator=(CommandRequest const &other) {
    Request::operator=(other);
    pid_ = other.pid_;
    return *this;
}

CommandRequest::~CommandRequest() = default;

bool CommandRequest::when_response(Stream &s, Response &r) {
    error(r.error());
    if (!s.good())
        return false;
    if (r.error() == 4) {
        unsigned int pid = 0;
        s >> pid;
        pid_ = int(pid);
    } else if (r.error() != 0) {
        return false;
    }
    return s.good();
}

// ---------------------------------------------------------------------------
// GlobalHookRequest, HookHelpRequest
// ---------------------------------------------------------------------------

GlobalHookRequest::GlobalHookRequest(int sid, char const *domain, char const *user)
    : Request(req_name<GlobalHookRequest>::r_str, -1) {
    set_int_param(*this, "sid", sid);
    set_param("domain", domain);
    set_param("user", user);
}

GlobalHookRequest::GlobalHookRequest(char const *process_name)
    : Request(req_name<GlobalHookRequest>::r_str, -1) {
    set_param("process_name", process_name);
}

GlobalHookRequest::GlobalHookRequest(int pid) : Request(req_name<GlobalHookRequest>::r_str, -1) {
    set_int_param(*this, "pid", pid);
}

GlobalHookRequest::GlobalHookRequest(GlobalHookRequest const &other) : Request(other) {}

GlobalHookRequest &GlobalHookRequest::operator=(GlobalHookRequest const &other) {
    Request::operator=(other);
    return *this;
}

GlobalHookRequest::~GlobalHookRequest() = default;

HookHelpRequest::HookHelpRequest(int pid) : Request(req_name<HookHelpRequest>::r_str, -1) {
    set_int_param(*this, "pid", pid);
}

HookHelpRequest::HookHelpRequest(HookHelpRequest const &other) : Request(other) {}

HookHelpRequest &HookHelpRequest::operator=(HookHelpRequest const &other) {
    Request::operator=(other);
    return *this;
}

HookHelpRequest::~HookHelpRequest() = default;

// ---------------------------------------------------------------------------
// ListenModeRequest
// ---------------------------------------------------------------------------

ListenModeRequest::ListenModeRequest()
    : Request(req_name<ListenModeRequest>::r_str, -1), event_(nullptr) {}

ListenModeRequest::ListenModeRequest(ListenModeRequest const &other)
    : Request(other), event_(other.event_) {}

ListenModeRequest &ListenModeRequest::operator=(ListenModeRequest const &other) {
    Request::operator=(other);
    event_ = other.event_;
    return *this;
}

ListenModeRequest::~ListenModeRequest() = default;

bool ListenModeRequest::when_response(Stream &s, Response &r) {
    error(r.error());
    if (!s.good())
        return false;
    if (r.error() == 4) {
        long long value = 0;
        s >> value;
        event_ = reinterpret_cast<void *>(static_cast<std::intptr_t>(value));
        error(0);
    }
    return s.good();
}

// ---------------------------------------------------------------------------
// LogRequest, PolicyRequest
// ---------------------------------------------------------------------------

LogRequest::LogRequest(char const *log) : Request(req_name<LogRequest>::r_str, -1) {
    set_param("log", log);
}

LogRequest::LogRequest(char const *log, int level) : Request(req_name<LogRequest>::r_str, -1) {
    set_param("log", log);
    set_param("level", uint64(static_cast<long long>(level)));
}

LogRequest::LogRequest(LogRequest const &other) : Request(other) {}

LogRequest &LogRequest::operator=(LogRequest const &other) {
    Request::operator=(other);
    return *this;
}

LogRequest::~LogRequest() = default;

PolicyRequest::PolicyRequest(char const *path) : Request(req_name<PolicyRequest>::r_str, -1) {
    set_param("path", path);
}

PolicyRequest::PolicyRequest(PolicyRequest const &other) : Request(other) {}

PolicyRequest &PolicyRequest::operator=(PolicyRequest const &other) {
    Request::operator=(other);
    return *this;
}

PolicyRequest::~PolicyRequest() = default;

void PolicyRequest::clear() {
    set_param("clear", "");
}

void PolicyRequest::load(char const *path) {
    set_param("load", path);
}

// ---------------------------------------------------------------------------
// PropertyRequest
// ---------------------------------------------------------------------------

PropertyRequest::PropertyRequest() : Request(req_name<PropertyRequest>::r_str, -1) {}

PropertyRequest::PropertyRequest(PropertyRequest const &other)
    : Request(other), properties_(other.properties_) {}

PropertyRequest &PropertyRequest::operator=(PropertyRequest const &other) {
    Request::operator=(other);
    properties_ = other.properties_;
    return *this;
}

PropertyRequest::~PropertyRequest() = default;

void PropertyRequest::add(char const *key, char const *value) {
    if (value == nullptr || key == nullptr || *key == '\0')
        return;
    set_param(("+" + std::string(key)).c_str(), value);
}

void PropertyRequest::remove(char const *key) {
    if (key == nullptr || *key == '\0')
        return;
    set_param(("-" + std::string(key)).c_str(), "");
}

void PropertyRequest::query(char const *key) {
    if (key == nullptr || *key == '\0')
        set_param("*", "");
    else
        set_param(("?" + std::string(key)).c_str(), "");
}

char const *PropertyRequest::get(char const *key) const {
    if (key == nullptr)
        return nullptr;
    auto it = properties_.find(key);
    return it == properties_.end() ? nullptr : it->second.c_str();
}

// The pairs end with an empty key (or a value of another kind where a key
// should be).
bool PropertyRequest::when_response(Stream &s, Response &r) {
    error(r.error());
    if (!s.good())
        return false;
    if (r.error() != 4)
        return false;
    uint64 total = 0;
    int count = 0;
    std::string key;
    s >> key;
    while (!key.empty() && s.good()) {
        std::string value;
        s >> value;
        total += key.size() + value.size();
        // A peer that sends more than a request may carry is refused, and
        // so is a list cut short.
        if (!s.good() || total > Stream::max_string || ++count > max_params)
            return false;
        properties_[key] = value;
        key.clear();
        s >> key;
    }
    error(0);
    return s.good();
}

// ---------------------------------------------------------------------------
// SelfRequest, ServiceRequest, StartParamRequest
// ---------------------------------------------------------------------------

SelfRequest::SelfRequest(char const *token) : Request(req_name<SelfRequest>::r_str, -1) {
    set_int_param(*this, "pid", int(GetCurrentProcessId()));
    set_param("token", token);
}

SelfRequest::SelfRequest(SelfRequest const &other) : Request(other) {}

SelfRequest &SelfRequest::operator=(SelfRequest const &other) {
    Request::operator=(other);
    return *this;
}

SelfRequest::~SelfRequest() = default;

ServiceRequest::ServiceRequest(char const *service)
    : Request(req_name<ServiceRequest>::r_str, -1), service_id_(0) {
    set_param("service", service);
}

ServiceRequest::ServiceRequest(ServiceRequest const &other)
    : Request(other), service_id_(other.service_id_) {}

ServiceRequest &ServiceRequest::operator=(ServiceRequest const &other) {
    Request::operator=(other);
    service_id_ = other.service_id_;
    return *this;
}

ServiceRequest::~ServiceRequest() = default;

bool ServiceRequest::when_response(Stream &s, Response &r) {
    error(r.error());
    if (!s.good())
        return false;
    if (r.error() == 4) {
        service_id_ = 0;
        s >> service_id_;
        error(0);
    }
    return s.good();
}

StartParamRequest::StartParamRequest(int sid, char const *domain, char const *user)
    : Request(req_name<StartParamRequest>::r_str, -1) {
    set_int_param(*this, "sid", sid);
    set_param("domain", domain);
    set_param("user", user);
}

StartParamRequest::StartParamRequest(StartParamRequest const &other) : Request(other) {}

StartParamRequest &StartParamRequest::operator=(StartParamRequest const &other) {
    Request::operator=(other);
    return *this;
}

StartParamRequest::~StartParamRequest() = default;

} // namespace vfs
} // namespace zem

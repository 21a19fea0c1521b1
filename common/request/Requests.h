// The request types that the product's processes send to the dispatcher.
//
// Each one fixes the request name and fills parameters from its constructor's
// arguments; four of them read values that the dispatcher writes right after
// a response with error 4. On the wire they are all plain requests (type name
// "Request"), and cloning any of them gives a plain Request.
//
//   CommandRequest     "run_command"        GlobalHookRequest  "global_hook"
//   HookHelpRequest    "hook_help"          ListenModeRequest  "listen_mode"
//   LogRequest         "print_log"          NotifyRequest      "notify_request"
//   PolicyRequest      "load_policy"        PropertyRequest    "property_request"
//   SelfRequest        "register_process"   ServiceRequest     "query_service"
//   StartParamRequest  "start_param"
//
// A null text argument leaves its parameter absent; integers travel as
// decimal text.
#pragma once

#include "NotifyRequest.h"
#include "Request.h"

#include <map>
#include <string>

namespace zem {
namespace vfs {

// The request name of type T: req_name<T>() converts to it. Request types
// pass it to Request with a fresh id; servers register their handlers under
// it. A type gets its name with ZEM_VFS_REQUEST_NAME(T, "name").
template <class T> class req_name;

#define ZEM_VFS_REQUEST_NAME(T, text)                                                              \
    template <> class req_name<T> {                                                                \
    public:                                                                                        \
        req_name() {}                                                                              \
        req_name(req_name const &) {}                                                              \
        req_name &operator=(req_name const &) { return *this; }                                    \
        operator char const *() const { return r_str; }                                            \
                                                                                                   \
    private:                                                                                       \
        friend class T;                                                                            \
        static constexpr char const *r_str = text;                                                 \
    };

class CommandRequest;
class GlobalHookRequest;
class HookHelpRequest;
class ListenModeRequest;
class LogRequest;
class PolicyRequest;
class PropertyRequest;
class SelfRequest;
class ServiceRequest;
class StartParamRequest;

ZEM_VFS_REQUEST_NAME(CommandRequest, "run_command")
ZEM_VFS_REQUEST_NAME(GlobalHookRequest, "global_hook")
ZEM_VFS_REQUEST_NAME(HookHelpRequest, "hook_help")
ZEM_VFS_REQUEST_NAME(ListenModeRequest, "listen_mode")
ZEM_VFS_REQUEST_NAME(LogRequest, "print_log")
ZEM_VFS_REQUEST_NAME(NotifyRequest, "notify_request")
ZEM_VFS_REQUEST_NAME(PolicyRequest, "load_policy")
ZEM_VFS_REQUEST_NAME(PropertyRequest, "property_request")
ZEM_VFS_REQUEST_NAME(SelfRequest, "register_process")
ZEM_VFS_REQUEST_NAME(ServiceRequest, "query_service")
ZEM_VFS_REQUEST_NAME(StartParamRequest, "start_param")

// "cmd", "session" (unless -1), "directory". On error 4 the dispatcher sends
// the process id of the command it ran; the error stays 4. An error other
// than 0 and 4 makes send() return null.
class ZEM_VFS_API CommandRequest : public Request {
public:
    CommandRequest(char const *cmd, int session, char const *directory);
    CommandRequest(CommandRequest const &other);
    CommandRequest &operator=(CommandRequest const &other);
    ~CommandRequest() override;

    int get_pid() const { return pid_; }
    bool when_response(Stream &s, Response &r) override;

private:
    int pid_;
};

// "sid" (always), "domain", "user"; or "process_name"; or "pid".
class ZEM_VFS_API GlobalHookRequest : public Request {
public:
    GlobalHookRequest(int sid, char const *domain, char const *user);
    explicit GlobalHookRequest(char const *process_name);
    explicit GlobalHookRequest(int pid);
    GlobalHookRequest(GlobalHookRequest const &other);
    GlobalHookRequest &operator=(GlobalHookRequest const &other);
    ~GlobalHookRequest() override;
};

// "pid".
class ZEM_VFS_API HookHelpRequest : public Request {
public:
    explicit HookHelpRequest(int pid);
    HookHelpRequest(HookHelpRequest const &other);
    HookHelpRequest &operator=(HookHelpRequest const &other);
    ~HookHelpRequest() override;
};

// No parameters. On error 4 the dispatcher sends an event handle value; the
// error then becomes 0.
class ZEM_VFS_API ListenModeRequest : public Request {
public:
    ListenModeRequest();
    ListenModeRequest(ListenModeRequest const &other);
    ListenModeRequest &operator=(ListenModeRequest const &other);
    ~ListenModeRequest() override;

    void *getEvent() { return event_; }
    bool when_response(Stream &s, Response &r) override;

private:
    void *event_;
};

// "log", and "level" as signed decimal text (level 0 leaves it absent).
class ZEM_VFS_API LogRequest : public Request {
public:
    explicit LogRequest(char const *log);
    LogRequest(char const *log, int level);
    LogRequest(LogRequest const &other);
    LogRequest &operator=(LogRequest const &other);
    ~LogRequest() override;
};

// "path"; clear() adds "clear", load() adds "load" with a path.
class ZEM_VFS_API PolicyRequest : public Request {
public:
    explicit PolicyRequest(char const *path = nullptr);
    PolicyRequest(PolicyRequest const &other);
    PolicyRequest &operator=(PolicyRequest const &other);
    ~PolicyRequest() override;

    void clear();
    using Request::load;
    void load(char const *path);
};

// "+key" = value to set, "-key" to remove, "?key" to query one property and
// "*" to query all. On error 4 the dispatcher sends key and value texts ended
// by an empty key; they fill the properties and the error becomes 0. Any
// other error makes send() return null.
class ZEM_VFS_API PropertyRequest : public Request {
public:
    typedef std::map<std::string, std::string> Properties;

    PropertyRequest();
    PropertyRequest(PropertyRequest const &other);
    PropertyRequest &operator=(PropertyRequest const &other);
    ~PropertyRequest() override;

    // Nothing for a null value or an empty (or null) key.
    void add(char const *key, char const *value);
    // Nothing for an empty (or null) key.
    void remove(char const *key);
    // "?key", or "*" for a null or empty key.
    void query(char const *key);
    // A property received with the response, or null.
    char const *get(char const *key) const;
    Properties const &properties() const { return properties_; }

    bool when_response(Stream &s, Response &r) override;

private:
    Properties properties_;
};

// "pid" (the calling process's id, always) and "token".
class ZEM_VFS_API SelfRequest : public Request {
public:
    explicit SelfRequest(char const *token = nullptr);
    SelfRequest(SelfRequest const &other);
    SelfRequest &operator=(SelfRequest const &other);
    ~SelfRequest() override;
};

// "service". On error 4 the dispatcher sends the service's process id; the
// error then becomes 0.
class ZEM_VFS_API ServiceRequest : public Request {
public:
    explicit ServiceRequest(char const *service);
    ServiceRequest(ServiceRequest const &other);
    ServiceRequest &operator=(ServiceRequest const &other);
    ~ServiceRequest() override;

    int service_id() const { return service_id_; }
    bool when_response(Stream &s, Response &r) override;

private:
    int service_id_;
};

// "sid" (always), "domain", "user".
class ZEM_VFS_API StartParamRequest : public Request {
public:
    StartParamRequest(int sid, char const *domain, char const *user);
    StartParamRequest(StartParamRequest const &other);
    StartParamRequest &operator=(StartParamRequest const &other);
    ~StartParamRequest() override;
};

} // namespace vfs
} // namespace zem

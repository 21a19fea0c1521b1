#include "Handlers.h"

#include "ipc/Lock.h"
#include "ipc/Pipe.h"
#include "log/Log.h"
#include "policy/Policy.h"
#include "policy/PolicyManager.h"
#include "request/Request.h"
#include "request/RequestHandler.h"
#include "request/Requests.h"
#include "serialize/Stream.h"
#include "serialize/internal/MemoryBuf.h"
#include "service/WinServiceCtrl.h"
#include "sys/internal/Handles.h"

#include <windows.h>

#include <cstring>
#include <map>
#include <string>

namespace zem {
namespace vfs {

namespace {

// Bounds of the stores that clients fill.
const std::size_t kMaxProperties = 4096;
const std::size_t kMaxPropertyBytes = 1u << 20;
const std::size_t kMaxRegistered = 4096;
const std::size_t kMaxLogText = 8192;
// Largest policy file "load_policy" reads.
const uint64 kMaxPolicyFile = 16u << 20;

// ---------------------------------------------------------------------------
// Responses
// ---------------------------------------------------------------------------

bool answer(Stream &stream, Response &response, int error) {
    response.error(error);
    return response.serialize(stream);
}

// ---------------------------------------------------------------------------
// print_log
// ---------------------------------------------------------------------------

// A client's text becomes one record: line breaks and other control
// characters cannot forge further records, and the text is cut at a bound.
std::string log_text(char const *text) {
    std::string out;
    if (text == nullptr)
        return out;
    for (char const *p = text; *p != '\0'; ++p) {
        if (out.size() >= kMaxLogText) {
            out += "...";
            break;
        }
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\r' || c == '\n')
            out += ' ';
        else if (c < 0x20 && c != '\t')
            out += '?';
        else
            out += char(c);
    }
    return out;
}

class LogHandler : public RequestHandler {
public:
    LogHandler() : RequestHandler(req_name<LogRequest>()) {}
    bool handler(ResuestHandlerManager &, Pipe *, Stream &stream, Request &request,
                 Response &response) override {
        int level = request.get_param_as_int("level", 6);
        if (level < 0)
            level = 0;
        if (level > 7)
            level = 7;
        ZEM_LOG(level, log_text(request.get_param("log")));
        return answer(stream, response, 0);
    }
};

// ---------------------------------------------------------------------------
// load_policy
// ---------------------------------------------------------------------------

// Reads the policy tree stored in a regular disk file; null when the path is
// not such a file, the file is larger than a tree may be, or its bytes are not
// exactly one whole policy group. Only disk files are opened and the file is
// read with one bounded read, so no client can make a loop thread wait on a
// pipe, a device or another process.
PolicyGroup *read_policy(char const *path) {
    if ((path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/'))
        return nullptr; // devices, pipes and network shares
    detail::FileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return nullptr;
    std::string bytes;
    LARGE_INTEGER size;
    bool read = GetFileType(file.get()) == FILE_TYPE_DISK && GetFileSizeEx(file.get(), &size) &&
                size.QuadPart > 0 && size.QuadPart <= LONGLONG(kMaxPolicyFile);
    if (read) {
        bytes.resize(std::size_t(size.QuadPart));
        DWORD got = 0;
        read = ReadFile(file.get(), &bytes[0], DWORD(bytes.size()), &got, nullptr) &&
               got == bytes.size();
    }
    file.reset();
    if (!read)
        return nullptr;
    detail::MemoryBuf buffer(bytes.data(), bytes.size());
    Stream in(buffer);
    Variable *object = in.load();
    PolicyGroup *group = dynamic_cast<PolicyGroup *>(object);
    if (group == nullptr || !in.good() || buffer.starved() || buffer.consumed() != bytes.size()) {
        Variable::release(object);
        return nullptr;
    }
    return group;
}

class PolicyHandler : public RequestHandler {
public:
    PolicyHandler() : RequestHandler(req_name<PolicyRequest>()) {}
    bool handler(ResuestHandlerManager &, Pipe *, Stream &stream, Request &request,
                 Response &response) override {
        char const *path = request.get_param("path");
        if (path == nullptr)
            path = request.get_param("load");
        PolicyGroup *loaded = nullptr;
        if (!request.is_param_present("clear")) {
            if (path == nullptr || *path == '\0')
                return answer(stream, response, ERROR_INVALID_PARAMETER);
            loaded = read_policy(path);
            if (loaded == nullptr) {
                ZEM_LOG(3, "load_policy: no policy tree in " << log_text(path));
                return answer(stream, response, ERROR_INVALID_DATA);
            }
        } else {
            loaded = dynamic_cast<PolicyGroup *>(Variable::new_variable("policy/PolicyGroup"));
            if (loaded == nullptr)
                return answer(stream, response, ERROR_OUTOFMEMORY);
        }
        // The new tree goes in under the write lock; the old children leave
        // with `loaded` after the lock is released.
        PolicyManager *manager = PolicyManager::instance();
        manager->lock_write();
        manager->swap(loaded);
        manager->unlock_write();
        loaded->release();
        ZEM_LOG(6, "load_policy: " << (path ? log_text(path) : std::string("cleared")));
        return answer(stream, response, 0);
    }
};

// ---------------------------------------------------------------------------
// property_request
// ---------------------------------------------------------------------------

class PropertyHandler : public RequestHandler {
public:
    PropertyHandler() : RequestHandler(req_name<PropertyRequest>()), bytes_(0) {}
    bool handler(ResuestHandlerManager &, Pipe *, Stream &stream, Request &request,
                 Response &response) override {
        // Names and values are texts: one holding a zero byte could not be
        // written back whole to every client, so the request is refused.
        for (auto const &param : request.params()) {
            if (param.first.find('\0') != std::string::npos ||
                param.second.find('\0') != std::string::npos)
                return answer(stream, response, ERROR_INVALID_DATA);
        }
        std::map<std::string, std::string> found;
        {
            auto_lock guard(lock_);
            // Changes first, then the questions, so one request can set and
            // read back.
            for (auto const &param : request.params()) {
                std::string const &key = param.first;
                if (key.size() < 2)
                    continue;
                std::string name = key.substr(1);
                if (key[0] == '+')
                    set(name, param.second);
                else if (key[0] == '-')
                    remove(name);
            }
            for (auto const &param : request.params()) {
                std::string const &key = param.first;
                if (key == "*") {
                    found.insert(properties_.begin(), properties_.end());
                } else if (key.size() >= 2 && key[0] == '?') {
                    auto it = properties_.find(key.substr(1));
                    if (it != properties_.end())
                        found.insert(*it);
                }
            }
        }
        if (!answer(stream, response, 4))
            return false;
        for (auto const &pair : found)
            stream << pair.first << pair.second;
        stream << "";
        return stream.good();
    }

private:
    void set(std::string const &key, std::string const &value) {
        auto it = properties_.find(key);
        std::size_t old = it == properties_.end() ? 0 : key.size() + it->second.size();
        std::size_t grown = bytes_ - old + key.size() + value.size();
        if (grown > kMaxPropertyBytes ||
            (it == properties_.end() && properties_.size() >= kMaxProperties))
            return;
        properties_[key] = value;
        bytes_ = grown;
    }
    void remove(std::string const &key) {
        auto it = properties_.find(key);
        if (it == properties_.end())
            return;
        bytes_ -= key.size() + it->second.size();
        properties_.erase(it);
    }

    Lock lock_;
    std::map<std::string, std::string> properties_;
    std::size_t bytes_;
};

// ---------------------------------------------------------------------------
// query_service
// ---------------------------------------------------------------------------

std::wstring from_ansi(char const *text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring out(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
    out.resize(std::size_t(n - 1));
    return out;
}

class ServiceHandler : public RequestHandler {
public:
    ServiceHandler() : RequestHandler(req_name<ServiceRequest>()) {}
    bool handler(ResuestHandlerManager &, Pipe *, Stream &stream, Request &request,
                 Response &response) override {
        char const *name = request.get_param("service");
        int pid = 0;
        if (name != nullptr && *name != '\0' && std::strlen(name) < 257) {
            WinServiceCtrl control(from_ansi(name).c_str());
            pid = int(control.get_pid());
        }
        if (!answer(stream, response, 4))
            return false;
        stream << pid;
        return stream.good();
    }
};

// ---------------------------------------------------------------------------
// register_process
// ---------------------------------------------------------------------------

class SelfHandler : public RequestHandler {
public:
    SelfHandler() : RequestHandler(req_name<SelfRequest>()) {}
    bool handler(ResuestHandlerManager &, Pipe *pipe, Stream &stream, Request &request,
                 Response &response) override {
        // The pipe says who is really calling; the claimed id is kept beside
        // it.
        ULONG caller = 0;
        if (pipe != nullptr)
            GetNamedPipeClientProcessId(pipe->handle(), &caller);
        Entry entry{request.get_param_as_int("pid", 0), log_text(request.get_param("token"))};
        {
            auto_lock guard(lock_);
            if (processes_.size() >= kMaxRegistered && processes_.count(caller) == 0)
                return answer(stream, response, ERROR_NOT_ENOUGH_QUOTA);
            processes_[caller] = entry;
        }
        ZEM_LOG(6, "register_process: pid " << entry.pid << " (pipe client " << caller
                                            << "), token " << entry.token);
        return answer(stream, response, 0);
    }

private:
    struct Entry {
        int pid;
        std::string token;
    };
    Lock lock_;
    std::map<ULONG, Entry> processes_;
};

} // namespace

struct HelperRequests::Handlers {
    LogHandler log;
    PolicyHandler policy;
    PropertyHandler property;
    ServiceHandler service;
    SelfHandler self;
};

HelperRequests::HelperRequests() : handlers_(new Handlers()) {}

HelperRequests::~HelperRequests() = default;

bool HelperRequests::handle_frame(Pipe *pipe, char const *frame, std::size_t size,
                                  std::string &answer) {
    detail::MemoryBuf in_buf(frame, size);
    Stream in(in_buf);
    Variable *object = in.load();
    Request *request = dynamic_cast<Request *>(object);
    if (request == nullptr || in_buf.starved() || in_buf.consumed() != size) {
        Variable::release(object);
        return false;
    }
    detail::MemoryBuf out_buf;
    Stream out(out_buf);
    bool ok = ResuestHandlerManager().handle_request(pipe, out, *request);
    request->release();
    answer += out_buf.text();
    return ok;
}

} // namespace vfs
} // namespace zem

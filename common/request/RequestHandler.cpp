#include "RequestHandler.h"

#include "Request.h"
#include "../serialize/internal/MemoryBuf.h"

#include "../ipc/Lock.h"
#include "../ipc/Pipe.h"
#include "../policy/ProcessConfig.h"
#include "../serialize/Stream.h"
#include "../sys/internal/Handles.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>

namespace zem {
namespace vfs {

namespace {

char const kSharedPipe[] = "\\\\.\\pipe\\zem.vfs.dispatcher_wow64";
char const kHelperExe[] = "zem.vfs.dispatcher_wow64.exe";
const int kStartWaits = 20;
const DWORD kStartWaitMs = 400;
// A chain longer than this is taken to be a loop made by assignment.
const int kLongestChain = 4096;

// Built by the first registration (while the library's static objects are
// built) and destroyed when the library unloads. Registration happens at load
// and lookups afterwards; the lock only keeps a late registration from
// tearing the map under a lookup.
struct HandlerRegistry {
    HandlerRegistry() = default;
    HandlerRegistry(HandlerRegistry const &) = delete;
    HandlerRegistry &operator=(HandlerRegistry const &) = delete;
    ~HandlerRegistry();

    Lock lock;
    std::map<std::string, RequestHandler *> handlers;
};

// Set once the registry is gone: handlers destroyed after it (static objects
// of a program that outlive the library's) leave it alone.
bool g_registry_gone = false;

HandlerRegistry::~HandlerRegistry() {
    g_registry_gone = true;
}

HandlerRegistry &registry() {
    static HandlerRegistry handlers;
    return handlers;
}

RequestHandler *find_handler(char const *name) {
    if (g_registry_gone)
        return nullptr;
    HandlerRegistry &r = registry();
    auto_lock guard(r.lock);
    auto it = r.handlers.find(name);
    return it == r.handlers.end() ? nullptr : it->second;
}

// A response leaves in one write.
bool write_response(Stream &stream, Response const &response) {
    detail::MemoryBuf frame;
    Stream out(frame);
    if (!response.serialize(out))
        return false;
    stream.write_(frame.text().data(), frame.text().size());
    return stream.good();
}

// Accepts notifications and never answers them.
class NotifyHandler : public RequestHandler {
public:
    NotifyHandler() : RequestHandler("notify_request") {}
    bool handler(ResuestHandlerManager &, Pipe *, Stream &, Request &, Response &) override {
        return true;
    }
};

NotifyHandler g_notify_handler;

// The helper this process started; 0 until then.
std::atomic<int> g_helper_pid{0};

Lock &launch_lock() {
    static Lock lock;
    return lock;
}

std::string helper_pipe_name(int pid) {
    char name[64];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\zem.vfs.dispatcher_%d", pid);
    return name;
}

bool connect_running_helper(Pipe &pipe) {
    int pid = g_helper_pid;
    if (pid != 0 && pipe.connect(helper_pipe_name(pid).c_str(), false))
        return true;
    return pipe.connect(kSharedPipe, false);
}

// Starts the helper from "DispPath" and returns its process id, or 0. The
// executable's path is quoted: a folder with blanks must not make the system
// try "C:\Program.exe" first. A folder holding a quote is refused.
int start_helper() {
    std::string path;
    {
        ProcessConfig config(0, "", false);
        std::string folder;
        if (config.get_string("DispPath", folder) && !folder.empty()) {
            if (folder.back() != '\\' && folder.back() != '/')
                folder += '\\';
            path = folder;
        }
    }
    if (path.find('"') != std::string::npos)
        return 0;
    path += kHelperExe;
    char line[290];
    int n = std::snprintf(line, sizeof line, "\"%s\" /helper %d", path.c_str(),
                          int(GetCurrentProcessId()));
    if (n <= 0 || n >= int(sizeof line))
        return 0;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info))
        return 0;
    detail::KernelHandle thread(info.hThread), process(info.hProcess);
    return int(info.dwProcessId);
}

} // namespace

// ---------------------------------------------------------------------------
// RequestHandler
// ---------------------------------------------------------------------------

RequestHandler::RequestHandler(char const *name) : previous_(nullptr) {
    previous_ = ResuestHandlerManager::add_handler(name, this);
}

RequestHandler::RequestHandler(RequestHandler const &other) : previous_(other.previous_) {}

RequestHandler &RequestHandler::operator=(RequestHandler const &other) {
    // Taking a `previous` that is this handler itself would make a loop.
    if (other.previous_ != this)
        previous_ = other.previous_;
    return *this;
}

RequestHandler::~RequestHandler() {
    if (g_registry_gone)
        return;
    HandlerRegistry &r = registry();
    auto_lock guard(r.lock);
    for (auto it = r.handlers.begin(); it != r.handlers.end();) {
        if (it->second == this) {
            if (previous_ != nullptr) {
                it->second = previous_;
            } else {
                it = r.handlers.erase(it);
                continue;
            }
        }
        int steps = 0;
        for (RequestHandler *h = it->second; h != nullptr && steps < kLongestChain;
             h = h->previous_, ++steps) {
            if (h->previous_ == this)
                h->previous_ = previous_;
        }
        ++it;
    }
}

bool RequestHandler::handler(ResuestHandlerManager &manager, Pipe *pipe, Stream &stream,
                             Request &request, Response &response) {
    if (previous_ != nullptr)
        return previous_->handler(manager, pipe, stream, request, response);
    response.error(3);
    return write_response(stream, response);
}

// ---------------------------------------------------------------------------
// ResuestHandlerManager
// ---------------------------------------------------------------------------

RequestHandler *ResuestHandlerManager::add_handler(char const *name, RequestHandler *handler) {
    if (name == nullptr || handler == nullptr || g_registry_gone)
        return nullptr;
    HandlerRegistry &r = registry();
    auto_lock guard(r.lock);
    RequestHandler *&slot = r.handlers[name];
    RequestHandler *displaced = slot;
    slot = handler;
    return displaced == handler ? nullptr : displaced;
}

bool ResuestHandlerManager::handle_request(Pipe *pipe, Stream &stream, Request &request) {
    Response response(request.id());
    RequestHandler *h = find_handler(request.name());
    if (h != nullptr)
        return h->handler(*this, pipe, stream, request, response);
    response.error(3);
    return write_response(stream, response);
}

bool ResuestHandlerManager::get_helper_pipe(Pipe &pipe, bool start) {
    if (connect_running_helper(pipe))
        return true;
    if (!start)
        return false;
    auto_lock guard(launch_lock());
    // Another thread may have started one while this one waited.
    if (connect_running_helper(pipe))
        return true;
    int pid = start_helper();
    if (pid == 0)
        return false;
    g_helper_pid = pid;
    if (connect_running_helper(pipe))
        return true;
    std::string name = helper_pipe_name(pid);
    for (int i = 0; i < kStartWaits; ++i) {
        Sleep(kStartWaitMs);
        if (pipe.connect(name.c_str(), false))
            return true;
    }
    return false;
}

} // namespace vfs
} // namespace zem

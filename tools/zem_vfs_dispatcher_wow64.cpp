// The helper dispatcher, zem.vfs.dispatcher_wow64.exe.
//
//   zem.vfs.dispatcher_wow64.exe /helper <pid> [/idle-ms <ms>]
//
// Serves requests on "\\.\pipe\zem.vfs.dispatcher_<own pid>" and on the shared
// "\\.\pipe\zem.vfs.dispatcher_wow64" until the process <pid> ends. Two
// threads run one completion-port loop over the pipe instances; each
// connection reads frames, loads each request and lets the handler registered
// under its name answer.
//
// Requests served:
//   print_log         writes "log" through the logger at "level" (default 6)
//   load_policy       loads the policy tree stored in the disk file "path"
//                     (or "load") into the policy manager; "clear" empties it.
//                     A file that is not exactly one whole tree is refused
//                     with ERROR_INVALID_DATA and the tree in force stays.
//   property_request  a property store: "+key" sets, "-key" removes, "?key"
//                     and "*" query; answered with error 4, the pairs asked
//                     for and an empty key; a name or value holding a zero
//                     byte is refused with ERROR_INVALID_DATA
//   query_service     error 4 and the process id of the service "service"
//   register_process  records the caller's "pid" and "token"
//   notify_request    accepted, never answered
// Every other name is answered with error 3. In particular "run_command" is
// not served: any sandboxed process can reach these pipes, and the helper
// never runs commands on their behalf.
//
// Everything a client sends is hostile: a frame is bounded (kMaxFrame), a
// malformed or oversized frame ends that client's connection and nothing
// else, and the stores below are bounded. Idle clients cannot lock others
// out: a connection that has not delivered a whole frame within
// kIdleTimeoutMs of connecting (or of its previous frame) is dropped, a
// listening instance is always kept free for the next client, and a client
// process holding more than kMaxPerProcess connections (or all clients
// together holding more than kMaxConnections) loses its longest idle one
// whenever a new one arrives. /idle-ms replaces the time-out (tests).
#include "ipc/IOPoll.h"
#include "ipc/Lock.h"
#include "ipc/Pipe.h"
#include "ipc/RWLock.h"
#include "log/Log.h"
#include "policy/Policy.h"
#include "policy/PolicyManager.h"
#include "request/Request.h"
#include "request/RequestHandler.h"
#include "request/Requests.h"
#include "request/internal/FrameScanner.h"
#include "serialize/internal/MemoryBuf.h"
#include "serialize/HandleStream.h"
#include "serialize/Stream.h"
#include "service/WinServiceCtrl.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace zem::vfs;

namespace {

// Largest request frame a client may send.
const uint64 kMaxFrame = 1u << 20;
// Listening instances kept per pipe name; connected clients at most, in all
// and per client process; pipe instances at most (listening, connected and
// closing) across both names.
const int kIdlePerPipe = 2;
const std::size_t kMaxConnections = 128;
const std::size_t kMaxPerProcess = 16;
const std::size_t kMaxInstances = 200;
// A connection is dropped when no whole frame arrived for this long.
const unsigned long kIdleTimeoutMs = 5000;
// Bounds of the stores that clients fill.
const std::size_t kMaxProperties = 4096;
const std::size_t kMaxPropertyBytes = 1u << 20;
const std::size_t kMaxRegistered = 4096;
const std::size_t kMaxLogText = 8192;
// Largest policy file "load_policy" reads.
const uint64 kMaxPolicyFile = 16u << 20;
const int kLoopThreads = 2;

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
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    std::string bytes;
    LARGE_INTEGER size;
    bool read = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) &&
                size.QuadPart > 0 && size.QuadPart <= LONGLONG(kMaxPolicyFile);
    if (read) {
        bytes.resize(std::size_t(size.QuadPart));
        DWORD got = 0;
        read = ReadFile(file, &bytes[0], DWORD(bytes.size()), &got, nullptr) && got == bytes.size();
    }
    CloseHandle(file);
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

LogHandler g_log_handler;
PolicyHandler g_policy_handler;
PropertyHandler g_property_handler;
ServiceHandler g_service_handler;
SelfHandler g_self_handler;

// ---------------------------------------------------------------------------
// Connections
// ---------------------------------------------------------------------------

class Server;

// One pipe instance: listens, then reads frames, answers them and listens
// again when its client goes. At most one operation is outstanding, so the
// object is touched by one loop thread at a time.
class Connection : public AsyncPipe {
public:
    Connection(Server &server, int endpoint)
        : server_(server), endpoint_(endpoint), scanner_(kMaxFrame), written_(0), listening_(false),
          deadline_(0), client_(0), doomed_(false) {}

    int endpoint() const { return endpoint_; }
    bool listening() const { return listening_; }
    void listening(bool on) { listening_ = on; }
    unsigned long long deadline() const { return deadline_; }
    void deadline(unsigned long long at) { deadline_ = at; }
    unsigned long client() const { return client_; }
    void client(unsigned long pid) { client_ = pid; }
    bool doomed() const { return doomed_; }

    // Ends the connection from another thread: what is outstanding is
    // cancelled, and its completion (or the next step of the connection's
    // own thread) closes it. Only under the server's lock, while connected.
    void doom() {
        doomed_ = true;
        CancelIoEx(Pipe::handle(), nullptr);
    }

    // Drops what the last client left behind.
    void reset() {
        in_.clear();
        out_.clear();
        written_ = 0;
        scanner_.reset();
        doomed_ = false;
    }

    bool end_bind(IOPoll &poll) override;
    bool end_read(IOPoll &poll, void *buffer, uint64 bytes) override;
    IOPollResult begin_write(IOPoll &poll, void const *data, uint64 size) override;
    bool end_write(IOPoll &poll, uint64 bytes) override;
    void error(IOPoll &poll) override;

    // Cancels what is outstanding and waits until the system is done with
    // the buffers; for the end of the program, after the loops have stopped.
    void cancel() {
        int s = io_state();
        if (Pipe::handle() == INVALID_HANDLE_VALUE || (s != 1 && s != 3 && s != 4))
            return;
        CancelIoEx(Pipe::handle(), static_cast<OVERLAPPED *>(overlapped()));
        DWORD n = 0;
        GetOverlappedResult(Pipe::handle(), static_cast<OVERLAPPED *>(overlapped()), &n, TRUE);
    }

private:
    bool next(IOPoll &poll);
    bool serve_frame(uint64 size);

    Server &server_;
    int endpoint_;
    std::string in_;
    detail::FrameScanner scanner_;
    std::string out_;
    std::size_t written_;
    bool listening_;
    // Set under the server's lock, read by the sweep.
    std::atomic<unsigned long long> deadline_;
    std::atomic<unsigned long> client_;
    std::atomic<bool> doomed_;
    char chunk_[16384];
};

class Server {
public:
    Server(IOPoll &poll, std::string own_pipe, unsigned long idle_ms)
        : poll_(poll), idle_ms_(idle_ms), stopping_(false) {
        names_[0] = own_pipe;
        names_[1] = "\\\\.\\pipe\\zem.vfs.dispatcher_wow64";
        idle_[0] = idle_[1] = 0;
    }

    // Opens listening instances until each name has its share.
    void fill() {
        for (int e = 0; e < 2; ++e) {
            for (;;) {
                Connection *c = nullptr;
                {
                    auto_lock guard(lock_);
                    if (stopping_ || idle_[e] >= kIdlePerPipe || all_.size() >= kMaxInstances)
                        break;
                    c = new Connection(*this, e);
                    c->listening(true);
                    ++idle_[e];
                    all_.insert(c);
                }
                if (!listen(c, false))
                    break;
            }
        }
    }

    // A listening instance got its client. When the client's process, or
    // all clients together, now hold too many connections, the longest idle
    // of them goes.
    void connected(Connection *c) {
        ULONG pid = 0;
        GetNamedPipeClientProcessId(c->handle(), &pid);
        {
            auto_lock guard(lock_);
            if (c->listening()) {
                c->listening(false);
                --idle_[c->endpoint()];
            }
            c->client(pid);
            c->deadline(GetTickCount64() + idle_ms_);
            Connection *own = nullptr, *any = nullptr;
            std::size_t owns = 0, all = 0;
            for (Connection *o : all_) {
                if (o->listening() || o->doomed())
                    continue;
                ++all;
                if (o->client() == pid)
                    ++owns;
                if (o == c)
                    continue;
                if (any == nullptr || o->deadline() < any->deadline())
                    any = o;
                if (o->client() == pid && (own == nullptr || o->deadline() < own->deadline()))
                    own = o;
            }
            if (owns > kMaxPerProcess && own != nullptr)
                own->doom();
            else if (all > kMaxConnections && any != nullptr)
                any->doom();
        }
        fill();
    }

    // A whole frame arrived: the connection may stay idle again.
    void served(Connection *c) {
        auto_lock guard(lock_);
        c->deadline(GetTickCount64() + idle_ms_);
    }

    // Drops the connections whose time-out has passed and reopens listening
    // instances that could not be opened before.
    void sweep() {
        {
            auto_lock guard(lock_);
            unsigned long long now = GetTickCount64();
            for (Connection *c : all_)
                if (!c->listening() && (c->doomed() || c->deadline() <= now))
                    c->doom();
        }
        fill();
    }

    // A connection ended (its client went, or it broke a rule): the
    // instance listens again if its name needs one, otherwise it goes.
    void closed(Connection *c, bool may_rebind) {
        bool rebind = false;
        {
            auto_lock guard(lock_);
            if (c->listening()) {
                c->listening(false);
                --idle_[c->endpoint()];
            }
            if (may_rebind && !stopping_ && idle_[c->endpoint()] < kIdlePerPipe) {
                rebind = true;
                c->listening(true);
                ++idle_[c->endpoint()];
            } else {
                all_.erase(c);
            }
        }
        if (!rebind) {
            delete c;
            return;
        }
        c->disconnect();
        c->reset();
        listen(c, true);
    }

    // Stops listening; the loops must have ended before.
    void shut_down() {
        std::set<Connection *> all;
        {
            auto_lock guard(lock_);
            stopping_ = true;
            all.swap(all_);
        }
        for (Connection *c : all) {
            c->cancel();
            delete c;
        }
    }

    void stop() {
        auto_lock guard(lock_);
        stopping_ = true;
    }

    std::string const &name(int endpoint) const { return names_[endpoint]; }
    ResuestHandlerManager &manager() { return manager_; }

private:
    // Starts the connect; the object belongs to the loop afterwards unless
    // the start failed, in which case it is closed here.
    bool listen(Connection *c, bool rebinding) {
        IOPollResult r = c->begin_bind(names_[c->endpoint()].c_str(), poll_);
        if (r != io_failed)
            return true;
        ZEM_LOG(7, "listen on " << names_[c->endpoint()] << " failed: " << GetLastError());
        // A rebind that fails gets one fresh instance instead.
        closed(c, false);
        if (rebinding)
            fill();
        return false;
    }

    IOPoll &poll_;
    unsigned long idle_ms_;
    ResuestHandlerManager manager_;
    Lock lock_;
    std::set<Connection *> all_;
    std::string names_[2];
    int idle_[2];
    bool stopping_;
};

bool Connection::end_bind(IOPoll &poll) {
    Pollable::end_bind(poll);
    server_.connected(this);
    return next(poll);
}

bool Connection::end_read(IOPoll &poll, void *, uint64 bytes) {
    if (bytes == 0)
        return false;
    in_.append(chunk_, std::size_t(bytes));
    return next(poll);
}

IOPollResult Connection::begin_write(IOPoll &poll, void const *data, uint64 size) {
    if (Pollable::begin_write(poll, data, size) == io_failed)
        return io_failed;
    OVERLAPPED *ov = static_cast<OVERLAPPED *>(overlapped());
    ZeroMemory(ov, sizeof *ov);
    if (WriteFile(Pipe::handle(), data, DWORD(size), nullptr, ov))
        return io_done;
    return GetLastError() == ERROR_IO_PENDING ? io_pending : io_failed;
}

bool Connection::end_write(IOPoll &poll, uint64 bytes) {
    if (bytes == 0)
        return false;
    written_ += std::size_t(bytes);
    if (written_ < out_.size())
        return begin_write(poll, out_.data() + written_, out_.size() - written_) != io_failed;
    out_.clear();
    written_ = 0;
    return next(poll);
}

void Connection::error(IOPoll &) {
    server_.closed(this, true);
}

// Answers every whole frame received so far, then writes the answers or
// reads more.
bool Connection::next(IOPoll &poll) {
    if (doomed_)
        return false;
    for (;;) {
        detail::FrameScanner::Result r = scanner_.scan(in_.data(), in_.size());
        if (r == detail::FrameScanner::malformed) {
            ZEM_LOG(7, "dropping a client: malformed frame");
            return false;
        }
        if (r == detail::FrameScanner::need_more)
            break;
        uint64 size = scanner_.frame_size();
        if (!serve_frame(size)) {
            ZEM_LOG(7, "dropping a client: frame not loaded");
            return false;
        }
        in_.erase(0, std::size_t(size));
        scanner_.reset();
        server_.served(this);
        if (out_.size() >= 65536)
            break;
    }
    if (!out_.empty())
        return begin_write(poll, out_.data(), out_.size()) != io_failed;
    return begin_read(poll, chunk_, sizeof chunk_) != io_failed;
}

bool Connection::serve_frame(uint64 size) {
    detail::MemoryBuf frame(in_.data(), size);
    Stream in(frame);
    Variable *object = in.load();
    Request *request = dynamic_cast<Request *>(object);
    bool whole = request != nullptr && !frame.starved() && frame.consumed() == size;
    if (!whole) {
        Variable::release(object);
        return false;
    }
    detail::MemoryBuf answer;
    Stream out(answer);
    bool ok = server_.manager().handle_request(this, out, *request);
    request->release();
    out_ += answer.text();
    return ok;
}

// ---------------------------------------------------------------------------
// The program
// ---------------------------------------------------------------------------

class HelperPoll : public IOPoll {
public:
    explicit HelperPoll(unsigned long ms) : IOPoll(ms), server_(nullptr) {}
    void attach(Server *server) { server_ = server; }
    // Instances that could not be opened are tried again now and then.
    void timeout() override {
        if (server_ != nullptr)
            server_->fill();
    }

private:
    Server *server_;
};

int usage() {
    std::fprintf(stderr, "usage: zem.vfs.dispatcher_wow64.exe /helper <pid> [/idle-ms <ms>]\n");
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if ((argc != 3 && argc != 5) ||
        (std::strcmp(argv[1], "/helper") != 0 && std::strcmp(argv[1], "-helper") != 0))
        return usage();
    char *end = nullptr;
    unsigned long owner_pid = std::strtoul(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || owner_pid == 0)
        return usage();
    unsigned long idle_ms = kIdleTimeoutMs;
    if (argc == 5) {
        idle_ms = std::strtoul(argv[4], &end, 10);
        if (std::strcmp(argv[3], "/idle-ms") != 0 || end == argv[4] || *end != '\0' ||
            idle_ms == 0 || idle_ms > 3600000)
            return usage();
    }
    HANDLE owner = OpenProcess(SYNCHRONIZE, FALSE, DWORD(owner_pid));
    if (owner == nullptr) {
        ZEM_LOG(4, "helper: process " << owner_pid << " is not running");
        return 2;
    }

    char own_pipe[64];
    std::snprintf(own_pipe, sizeof own_pipe, "\\\\.\\pipe\\zem.vfs.dispatcher_%lu",
                  GetCurrentProcessId());
    HelperPoll poll(1000);
    if (!poll.valid()) {
        CloseHandle(owner);
        return 3;
    }
    Server server(poll, own_pipe, idle_ms);
    poll.attach(&server);
    server.fill();
    ZEM_LOG(6, "helper for process " << owner_pid << " serving " << own_pipe);

    std::vector<std::thread> loops;
    for (int i = 0; i < kLoopThreads; ++i)
        loops.emplace_back([&poll] { poll.loop(); });

    // Time-outs are looked at a few times per time-out.
    DWORD tick = DWORD(idle_ms / 4 < 250 ? (idle_ms / 4 > 0 ? idle_ms / 4 : 1) : 250);
    while (WaitForSingleObject(owner, tick) == WAIT_TIMEOUT)
        server.sweep();
    CloseHandle(owner);

    server.stop();
    for (int i = 0; i < kLoopThreads; ++i)
        poll.stop();
    for (auto &t : loops)
        t.join();
    poll.attach(nullptr);
    server.shut_down();
    ZEM_LOG(6, "helper: process " << owner_pid << " ended, helper ends");
    return 0;
}

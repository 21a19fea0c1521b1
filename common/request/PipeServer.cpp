#include "internal/PipeServer.h"

#include "../ipc/IOPoll.h"
#include "../ipc/Lock.h"
#include "../ipc/Pipe.h"
#include "../log/Log.h"
#include "internal/FrameScanner.h"

#include <windows.h>

#include <atomic>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace zem {
namespace vfs {
namespace detail {

namespace {

// Answers gathered before they are written, at most (a client that sends
// many frames at once and reads nothing waits for its write).
const std::size_t kMaxPendingAnswer = 65536;
// Reads and writes that finish at once, at most, before a connection lets
// the others have the thread.
const int kStepsPerTurn = 16;

} // namespace

class Connection;

class PipeServerImpl final : public IOPoll {
public:
    PipeServerImpl(FrameHandler &handler, char const *const *names, std::size_t count,
                   PipeServerLimits const &limits)
        : IOPoll(1000), handler_(handler), limits_(limits), stopping_(false), started_(false) {
        for (std::size_t i = 0; i < count; ++i)
            names_.push_back(names[i] != nullptr ? names[i] : "");
        idle_.assign(names_.size(), 0);
    }

    bool start();
    void fill();
    void connected(Connection *c);
    void served(Connection *c);
    void sweep();
    void closed(Connection *c, bool may_rebind);
    void stop();

    // Instances that could not be opened are tried again now and then.
    void timeout() override { fill(); }

    FrameHandler &handler() { return handler_; }
    PipeServerLimits const &limits() const { return limits_; }

private:
    bool listen(Connection *c, bool rebinding);

    FrameHandler &handler_;
    PipeServerLimits const limits_;
    std::vector<std::string> names_;
    Lock lock_;
    std::set<Connection *> all_;
    std::vector<int> idle_; // listening instances per name
    bool stopping_;
    bool started_;
    std::vector<std::thread> loops_;
};

// One pipe instance: listens, then reads frames, answers them and listens
// again when its client goes. At most one operation is outstanding, so the
// object is touched by one loop thread at a time.
//
// Once connected, the instance's reads and writes that finish at once queue
// nothing on the port: the thread that has the connection carries on with
// it, so a request costs one completion (its read) and one write.
class Connection : public AsyncPipe {
public:
    Connection(PipeServerImpl &server, std::size_t endpoint)
        : server_(server), endpoint_(endpoint), scanner_(server.limits().max_frame), written_(0),
          listening_(false), inline_(false), resumed_(false), deadline_(0), client_(0),
          doomed_(false) {}

    std::size_t endpoint() const { return endpoint_; }
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

    bool end_bind(IOPoll &poll) override {
        Pollable::end_bind(poll);
        // Completions of what finishes at once are left off the port; when
        // the system cannot do that, every operation waits for its packet.
        if (!inline_)
            inline_ = SetFileCompletionNotificationModes(
                          Pipe::handle(), FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != FALSE;
        server_.connected(this);
        return pump(poll);
    }

    bool end_read(IOPoll &poll, void *, uint64 bytes) override {
        if (bytes == 0)
            return false;
        in_.append(chunk_, std::size_t(bytes));
        return pump(poll);
    }

    bool end_write(IOPoll &poll, uint64 bytes) override {
        if (bytes == 0)
            return false;
        written_ += std::size_t(bytes);
        return pump(poll);
    }

    void error(IOPoll &) override { server_.closed(this, true); }

    // A connection that had its turn carries on here.
    bool callback(IOPoll &poll, uint64 bytes) override {
        if (resumed_) {
            resumed_ = false;
            return pump(poll);
        }
        return AsyncPipe::callback(poll, bytes);
    }

private:
    enum Step { step_failed, step_pending, step_done };

    bool pump(IOPoll &poll);
    bool answer_frames();
    Step write(IOPoll &poll);
    Step read(IOPoll &poll);
    Step finished(BOOL ok, std::size_t &bytes);

    PipeServerImpl &server_;
    std::size_t endpoint_;
    std::string in_;
    FrameScanner scanner_;
    std::string out_;
    std::size_t written_;
    bool listening_;
    bool inline_;  // completions of what finishes at once stay off the port
    bool resumed_; // a turn is queued on the port
    // Set under the server's lock, read by the sweep.
    std::atomic<unsigned long long> deadline_;
    std::atomic<unsigned long> client_;
    std::atomic<bool> doomed_;
    char chunk_[16384];
};

// Answers every whole frame received so far, writes the answers and reads
// more, for as long as each step finishes at once. A client that keeps its
// pipe full does not keep the thread: after a few steps the connection
// queues its next turn behind the other connections' completions.
bool Connection::pump(IOPoll &poll) {
    for (int step_count = 0;; ++step_count) {
        if (step_count == kStepsPerTurn) {
            resumed_ = true;
            poll.post(this);
            return true;
        }
        if (doomed_)
            return false;
        if (written_ == out_.size()) {
            out_.clear();
            written_ = 0;
            if (!answer_frames())
                return false;
        }
        std::size_t before = in_.size();
        Step step = out_.empty() ? read(poll) : write(poll);
        if (step != step_done)
            return step == step_pending;
        if (out_.empty() && in_.size() == before)
            return false; // the client closed its end
    }
}

bool Connection::answer_frames() {
    while (out_.size() < kMaxPendingAnswer) {
        FrameScanner::Result r = scanner_.scan(in_.data(), in_.size());
        if (r == FrameScanner::malformed) {
            ZEM_LOG(7, "dropping a client: malformed frame");
            return false;
        }
        if (r == FrameScanner::need_more)
            break;
        std::size_t size = std::size_t(scanner_.frame_size());
        if (!server_.handler().handle_frame(this, in_.data(), size, out_)) {
            ZEM_LOG(7, "dropping a client: frame not served");
            return false;
        }
        in_.erase(0, size);
        scanner_.reset();
        server_.served(this);
    }
    return true;
}

Connection::Step Connection::finished(BOOL ok, std::size_t &bytes) {
    OVERLAPPED *ov = static_cast<OVERLAPPED *>(overlapped());
    if (ok) {
        if (!inline_)
            return step_pending; // the packet comes all the same
        bytes = std::size_t(ov->InternalHigh);
        return step_done;
    }
    return GetLastError() == ERROR_IO_PENDING ? step_pending : step_failed;
}

Connection::Step Connection::write(IOPoll &poll) {
    char const *data = out_.data() + written_;
    std::size_t size = out_.size() - written_;
    if (Pollable::begin_write(poll, data, size) == io_failed)
        return step_failed;
    OVERLAPPED *ov = static_cast<OVERLAPPED *>(overlapped());
    ZeroMemory(ov, sizeof *ov);
    std::size_t bytes = 0;
    Step step = finished(WriteFile(Pipe::handle(), data, DWORD(size), nullptr, ov), bytes);
    if (step == step_done) {
        if (bytes == 0)
            return step_failed;
        written_ += bytes;
    }
    return step;
}

Connection::Step Connection::read(IOPoll &poll) {
    if (Pollable::begin_read(poll, chunk_, sizeof chunk_) == io_failed)
        return step_failed;
    OVERLAPPED *ov = static_cast<OVERLAPPED *>(overlapped());
    ZeroMemory(ov, sizeof *ov);
    std::size_t bytes = 0;
    Step step =
        finished(ReadFile(Pipe::handle(), chunk_, DWORD(sizeof chunk_), nullptr, ov), bytes);
    if (step == step_done)
        in_.append(chunk_, bytes);
    return step;
}

// ---------------------------------------------------------------------------
// The server
// ---------------------------------------------------------------------------

bool PipeServerImpl::start() {
    if (!valid())
        return false;
    {
        auto_lock guard(lock_);
        if (started_ || stopping_)
            return false;
        started_ = true;
    }
    fill();
    try {
        for (int i = 0; i < (limits_.threads > 0 ? limits_.threads : 1); ++i)
            loops_.emplace_back([this] { loop(); });
    } catch (std::system_error const &) {
        if (loops_.empty())
            return false;
    }
    return true;
}

// Opens listening instances until each name has its share.
void PipeServerImpl::fill() {
    for (std::size_t e = 0; e < names_.size(); ++e) {
        for (;;) {
            Connection *c = nullptr;
            {
                auto_lock guard(lock_);
                if (!started_ || stopping_ || idle_[e] >= limits_.listening_per_name ||
                    all_.size() >= limits_.max_instances)
                    break;
                c = new (std::nothrow) Connection(*this, e);
                if (c == nullptr)
                    break;
                c->listening(true);
                ++idle_[e];
                all_.insert(c);
            }
            if (!listen(c, false))
                break;
        }
    }
}

// A listening instance got its client. When the client's process, or all
// clients together, now hold too many connections, the longest idle of them
// goes.
void PipeServerImpl::connected(Connection *c) {
    ULONG pid = 0;
    GetNamedPipeClientProcessId(c->handle(), &pid);
    {
        auto_lock guard(lock_);
        if (c->listening()) {
            c->listening(false);
            --idle_[c->endpoint()];
        }
        c->client(pid);
        c->deadline(GetTickCount64() + limits_.idle_ms);
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
        if (owns > limits_.max_per_process && own != nullptr)
            own->doom();
        else if (all > limits_.max_connections && any != nullptr)
            any->doom();
    }
    fill();
}

// A whole frame arrived: the connection may stay idle again.
void PipeServerImpl::served(Connection *c) {
    auto_lock guard(lock_);
    c->deadline(GetTickCount64() + limits_.idle_ms);
}

void PipeServerImpl::sweep() {
    {
        auto_lock guard(lock_);
        unsigned long long now = GetTickCount64();
        for (Connection *c : all_)
            if (!c->listening() && (c->doomed() || c->deadline() <= now))
                c->doom();
    }
    fill();
}

// A connection ended (its client went, or it broke a rule): the instance
// listens again if its name needs one, otherwise it goes.
void PipeServerImpl::closed(Connection *c, bool may_rebind) {
    bool rebind = false;
    {
        auto_lock guard(lock_);
        if (c->listening()) {
            c->listening(false);
            --idle_[c->endpoint()];
        }
        if (may_rebind && !stopping_ && idle_[c->endpoint()] < limits_.listening_per_name) {
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

// Starts the connect; the object belongs to the loop afterwards unless the
// start failed, in which case it is closed here.
bool PipeServerImpl::listen(Connection *c, bool rebinding) {
    std::string const &name = names_[c->endpoint()];
    if (c->begin_bind(name.c_str(), *this) != io_failed)
        return true;
    ZEM_LOG(7, "listen on " << name << " failed: " << GetLastError());
    // A rebind that fails gets one fresh instance instead.
    closed(c, false);
    if (rebinding)
        fill();
    return false;
}

void PipeServerImpl::stop() {
    {
        auto_lock guard(lock_);
        stopping_ = true;
    }
    for (std::size_t i = 0; i < loops_.size(); ++i)
        IOPoll::stop();
    for (auto &t : loops_)
        t.join();
    loops_.clear();
    std::set<Connection *> all;
    {
        auto_lock guard(lock_);
        all.swap(all_);
    }
    for (Connection *c : all)
        delete c; // cancels what is outstanding and waits for it
}

// ---------------------------------------------------------------------------
// PipeServer
// ---------------------------------------------------------------------------

PipeServer::PipeServer(FrameHandler &handler, char const *const *names, std::size_t count,
                       PipeServerLimits const &limits)
    : impl_(new PipeServerImpl(handler, names, count, limits)) {}

PipeServer::~PipeServer() {
    impl_->stop();
    delete impl_;
}

bool PipeServer::start() {
    return impl_->start();
}

void PipeServer::sweep() {
    impl_->sweep();
}

void PipeServer::stop() {
    impl_->stop();
}

} // namespace detail
} // namespace vfs
} // namespace zem

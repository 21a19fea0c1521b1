#include "NotifyRequest.h"

#include "../ipc/Lock.h"

#include <list>

namespace zem {
namespace vfs {

namespace {

// Built while the library loads (see below) and destroyed when it unloads,
// together with every notification still queued.
class NotifyQueue {
public:
    NotifyQueue() = default;
    NotifyQueue(NotifyQueue const &) = delete;
    NotifyQueue &operator=(NotifyQueue const &) = delete;
    ~NotifyQueue() {
        auto_lock guard(lock_);
        for (NotifyRequest *n : items_)
            n->release();
        items_.clear();
    }

    void push(NotifyRequest *n) {
        auto_lock guard(lock_);
        items_.push_back(n);
    }

    NotifyRequest *pop() {
        auto_lock guard(lock_);
        if (items_.empty())
            return nullptr;
        NotifyRequest *n = items_.front();
        items_.pop_front();
        return n;
    }

private:
    Lock lock_;
    std::list<NotifyRequest *> items_;
};

NotifyQueue &queue() {
    static NotifyQueue notifications;
    return notifications;
}

NotifyQueue &g_queue_at_load = queue();

} // namespace

char const *const NotifyRequest::detach_hook = "detach_hook";
char const *const NotifyRequest::reload_policy = "reload_policy";

NotifyRequest NotifyRequest::__protype(Protype(), true);

NotifyRequest::NotifyRequest(char const *notify) : Request("notify_request", -1) {
    distinguish("NotifyRequest");
    set_param("notify", notify);
}

NotifyRequest::NotifyRequest(Protype const &p, bool register_it) : Request(p, false) {
    distinguish("NotifyRequest");
    if (register_it)
        register_variable();
}

NotifyRequest::NotifyRequest(NotifyRequest const &other) : Request(other) {}

NotifyRequest &NotifyRequest::operator=(NotifyRequest const &other) {
    Request::operator=(other);
    return *this;
}

NotifyRequest::~NotifyRequest() = default;

Variable *NotifyRequest::clone() const {
    return new NotifyRequest(*this);
}

bool NotifyRequest::is_notify() const {
    return true;
}

void NotifyRequest::push_notify(NotifyRequest *n) {
    if (n != nullptr)
        queue().push(n);
}

NotifyRequest *NotifyRequest::pop_notify() {
    return queue().pop();
}

} // namespace vfs
} // namespace zem

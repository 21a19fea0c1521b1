// Notifications: one-way requests that are never answered, and the
// process-wide queue that keeps the ones a process has received until its own
// code takes them out.
#pragma once

#include "Request.h"

namespace zem {
namespace vfs {

// A request named "notify_request" whose text is the parameter "notify". It
// travels with the type name "NotifyRequest", so Stream::load recreates it as
// a NotifyRequest. Request::send writes it and returns null without reading.
class ZEM_VFS_API NotifyRequest : public Request {
public:
    static char const *const detach_hook;   // "detach_hook"
    static char const *const reload_policy; // "reload_policy"

    // A fresh id; "notify" is absent when `notify` is null.
    explicit NotifyRequest(char const *notify);
    NotifyRequest(NotifyRequest const &other);
    NotifyRequest &operator=(NotifyRequest const &other);
    ~NotifyRequest() override;

    char const *notify() const { return get_param("notify"); }

    Variable *clone() const override;
    bool is_notify() const override;

    // The queue, oldest first, guarded by its own lock. push_notify takes
    // ownership (null is ignored); pop_notify hands the oldest notification
    // to the caller, who ends it with release(), or returns null when the
    // queue is empty. Both may be called from any thread.
    static void push_notify(NotifyRequest *n);
    static NotifyRequest *pop_notify();

    static NotifyRequest __protype;

protected:
    NotifyRequest(Protype const &, bool register_it);
};

} // namespace vfs
} // namespace zem

// Bookkeeping of the overlapped operations whose completions are still on
// their way to a port, so that a completion for an object that has been
// destroyed is dropped instead of reaching freed memory.
#pragma once

namespace zem {
namespace vfs {
namespace detail {

// Before `owner` issues an operation that will complete through `port`.
void io_started(void *port, void const *owner);
// The operation started last did not start after all: no completion comes.
void io_not_started(void *port, void const *owner);
// A completion of an operation was dequeued from `port` for `owner`: false
// when the owner is gone and the completion must be dropped.
[[nodiscard]] bool io_arrived(void *port, void const *owner);
// `owner` is being destroyed and none of its operations can still write into
// it; completions already queued for it are dropped.
void io_owner_gone(void const *owner);
// `port` is closed: nothing more arrives through it.
void io_port_closed(void *port);

} // namespace detail
} // namespace vfs
} // namespace zem

// A Stream bound to its own handle buffer: what request senders and servers
// wrap around a pipe handle.
#pragma once

#include "Stream.h"
#include "StreamBuf.h"

namespace zem {
namespace vfs {

// Owns its handle as HandleStreamBuf does. A copy holds a duplicate of the
// source's handle and reads and writes through its own buffer.
class ZEM_VFS_API HandleStream : public Stream, public HandleStreamBuf {
public:
    HandleStream();
    explicit HandleStream(void *handle);
    HandleStream(HandleStream const &other);
    HandleStream &operator=(HandleStream const &other);
    virtual ~HandleStream();

    // The buffer's error, or the stream's own once a peer broke its limits or
    // the bytes ended inside a value.
    int error() const override;
};

} // namespace vfs
} // namespace zem
